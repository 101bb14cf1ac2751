#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/messaging/KeptFd.h"
#include "platform/runloop/RunLoop.h"

namespace kst {

// The Linux run loop: one poll() over a pipe that wakes the loop and the
// registered descriptors, a timer queue on the loop's clock, and a FIFO
// queue of performs.
//
// The loop belongs to the thread that last ran it (run() or runFor()); that
// thread is isLoopThread() and runs performAndWait() inline, also between
// two slices of runFor(). Only one thread runs the loop at a time: run() or
// runFor() called while another thread runs it return at once. Runs may be
// nested inside a callback on the loop's thread; a nested run serves the
// other timers, sources and performs to completion, but never re-enters a
// timer or source callback that is still running further up the stack.
//
// The loop lives inside programs that may close every descriptor or dup2
// their own files over the loop's: its wake-up pipe sits at high numbers and
// is checked by identity before each use (renewed when lost, never read or
// written again), an idle poll ends at least every kDescriptorCheck to look,
// and a source whose descriptor was closed or now names another file is
// dropped before its callback could read the wrong file.
//
// Callbacks must not throw. Cancelling a timer or removing a source from
// another thread stops future calls; a call already running on the loop's
// thread finishes. The clock must outlive the loop; destroy the loop only
// when no thread runs it. Performs still queued then are dropped, and their
// performAndWait() callers return.
class PollRunLoop final : public RunLoop {
 public:
  explicit PollRunLoop(Clock& clock = Clock::real());
  ~PollRunLoop() override;
  PollRunLoop(const PollRunLoop&) = delete;
  PollRunLoop& operator=(const PollRunLoop&) = delete;

  // Ids are never 0. A delay or repeat that is negative or NaN counts as 0;
  // a repeating timer fires at most every 0.1 ms, and after a stall it fires
  // once and keeps its phase rather than catching up on every missed beat.
  TimerId addTimer(Seconds delay, Callback fn, std::optional<Seconds> repeat = std::nullopt) override;
  void cancelTimer(TimerId id) override;

  // Level-triggered: the callback runs on each pass while `fd` stays
  // readable or hung up, so it must read, or remove the source. A negative
  // descriptor is refused with id 0; a descriptor closed while still
  // registered is dropped from the loop.
  SourceId addFdSource(int fd, Callback onReadable) override;
  void removeFdSource(SourceId id) override;

  void perform(Callback fn) override;
  // From another thread this blocks until the loop runs `fn`, so some thread
  // must be running (or about to run) the loop.
  void performAndWait(Callback fn) override;

  // runFor(0) serves what is ready without waiting.
  void runFor(Seconds duration) override;
  // Runs until stop(). Any thread may call stop(); a stop that finds no
  // run() going is kept for the next one. A stop ends one run() (the
  // innermost, when nested); runFor() does not heed it.
  void run();
  void stop();

  bool isLoopThread() const override;
  const Clock& clock() const override { return clock_; }

 private:
  using TimePoint = Clock::TimePoint;
  using Duration = Clock::Duration;

  struct Timer {
    TimePoint due;
    Duration repeat;  // zero: one-shot
    std::shared_ptr<Callback> fn;
    bool running = false;
  };
  struct Source {
    int fd;
    std::shared_ptr<Callback> fn;
    bool running = false;
    // The descriptor's file when it was added.
    dev_t dev = 0;
    ino_t ino = 0;
  };

  // Marks the calling thread as running the loop; false when another thread
  // runs it.
  bool enter();
  void leave();
  bool takeStop();

  // A pass is serveQueued() (queued performs, then due timers), then
  // waitAndDispatch(): a poll of at most until `deadline` (TimePoint::max():
  // no limit) and the callbacks of the ready sources.
  void serveQueued();
  void waitAndDispatch(TimePoint deadline, bool heedStop);
  void runPerforms();
  void fireDueTimers();
  void pollAndDispatch(std::optional<Duration> wait);
  void wake();
  // The wake-up pipe's read end to poll, renewed first when lost; -1 when
  // none can be had (the loop then polls at kWakelessPoll).
  int wakeReadFd();
  // After a poll that found `fd` ready: drains it while it is still ours.
  void drainWake(int fd);
  bool renewWakeLocked();

  Clock& clock_;
  std::mutex wakeMu_;  // guards the two ends below; never held with mu_
  messaging::KeptFd wakeRead_;
  messaging::KeptFd wakeWrite_;
  int jumpListener_ = 0;

  // The thread running the loop now (empty when none), and the thread that
  // ran it last, which stays the loop's thread between runs.
  std::atomic<std::thread::id> runner_{};
  std::atomic<std::thread::id> bound_{};
  // Loop thread only.
  int depth_ = 0;
  // Loop thread only: counts polls, so that a pass notices a nested run made
  // its own poll results stale.
  std::uint64_t polls_ = 0;

  mutable std::mutex mu_;
  // All guarded by mu_.
  std::deque<Callback> performs_;
  std::unordered_map<TimerId, Timer> timers_;
  std::set<std::pair<TimePoint, TimerId>> timerQueue_;  // pending timers, soonest first
  std::map<SourceId, Source> sources_;
  std::uint64_t nextId_ = 1;
  bool stopRequested_ = false;
};

}  // namespace kst
