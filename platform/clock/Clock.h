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
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // Registers a callback run whenever time jumps (only manual clocks jump),
  // so that a sleeping run loop can re-check its timers. Returns an id.
  virtual int onJump(std::function<void()> /*fn*/) { return 0; }
  virtual void removeJumpListener(int /*id*/) {}

  static Clock& real();
};

// A clock that moves only when told to.
class ManualClock final : public Clock {
 public:
  TimePoint now() const override;
  void advance(Seconds by);
  int onJump(std::function<void()> fn) override;
  void removeJumpListener(int id) override;

 private:
  mutable std::mutex mu_;
  TimePoint now_{};
  int nextId_ = 1;
  std::vector<std::pair<int, std::function<void()>>> listeners_;
};

}  // namespace kst
