#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

namespace kst {

using Seconds = std::chrono::duration<double>;

// Monotonic time as the run loops and timers see it. The real clock is the
// steady clock; tests drive a ManualClock so that minute-long time-outs are
// tested in milliseconds. Safe for concurrent use.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // Registers a callback run whenever time jumps (only manual clocks jump),
  // so that a sleeping run loop can re-check its timers. Returns an id.
  virtual int onJump(std::function<void()> /*fn*/) { return 0; }
  virtual void removeJumpListener(int /*id*/) {}

  // The process's steady clock; never destroyed, so usable from hooks that
  // run after static destructors.
  static Clock& real();

  // `s` as a clock duration. Negative and NaN become zero and anything past
  // about thirty years is cut there, so adding it to a time point of any
  // clock never overflows.
  static Duration toDuration(Seconds s);
};

// A clock that moves only when told to. Starts at the clock's epoch.
class ManualClock final : public Clock {
 public:
  TimePoint now() const override;
  // Moves time forward (a negative step does nothing), then runs every jump
  // listener on the calling thread.
  void advance(Seconds by);
  int onJump(std::function<void()> fn) override;
  // Once this returns, the listener is not running on another thread and
  // will not be called again. A listener may remove itself or others.
  void removeJumpListener(int id) override;

 private:
  mutable std::mutex mu_;
  TimePoint now_{};
  int nextId_ = 1;
  std::vector<std::pair<int, std::function<void()>>> listeners_;
  // Held while listeners run, so that removal can wait for a call in flight.
  // Recursive because a listener may itself add or remove listeners.
  std::recursive_mutex notifyMu_;
};

}  // namespace kst
