#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/clock/Clock.h"

namespace kst {

// An event loop bound to one thread: timers, file-descriptor sources and
// queued work, run one at a time on that thread. Every member may be called
// from any thread unless it says otherwise; callbacks always run on the
// loop's thread.
class RunLoop {
 public:
  using Callback = std::function<void()>;
  using TimerId = std::uint64_t;
  using SourceId = std::uint64_t;

  virtual ~RunLoop() = default;

  // A timer that fires once after `delay`, or every `repeat` after that.
  virtual TimerId addTimer(Seconds delay, Callback fn, std::optional<Seconds> repeat = std::nullopt) = 0;
  // Cancelling a timer that has fired (one-shot) or is unknown does nothing.
  virtual void cancelTimer(TimerId id) = 0;

  // Runs `onReadable` on the loop's thread whenever `fd` is readable (or hung
  // up). The loop does not own the descriptor.
  virtual SourceId addFdSource(int fd, Callback onReadable) = 0;
  virtual void removeFdSource(SourceId id) = 0;

  // Queues `fn` to run on the loop's thread, in submission order.
  virtual void perform(Callback fn) = 0;
  // Runs `fn` on the loop's thread and returns when it has finished; runs it
  // directly when called on that thread.
  virtual void performAndWait(Callback fn) = 0;

  // Loop thread only: runs timers, sources and queued work for `duration`
  // of the loop's clock, then returns. May be nested inside a callback (the
  // prompt waits for a person this way while other messages are served).
  virtual void runFor(Seconds duration) = 0;

  virtual bool isLoopThread() const = 0;
  virtual const Clock& clock() const = 0;

  // The loop running on the calling thread, if any.
  static RunLoop* current();

 protected:
  // Makes `loop` the calling thread's current() for the scope's lifetime and
  // restores the previous one after; an implementation holds one while it
  // runs on a thread.
  class CurrentScope {
   public:
    explicit CurrentScope(RunLoop* loop);
    ~CurrentScope();
    CurrentScope(const CurrentScope&) = delete;
    CurrentScope& operator=(const CurrentScope&) = delete;

   private:
    RunLoop* previous_;
  };
};

// The process's main queue: where settings reloads, services and timers of
// the system run. A program that owns its main thread (the Qt shell)
// installs its own loop before anything uses the queue; in every other
// process the library serves it with one serial thread of its own, started
// with the first work that must run later (a perform, a timer, a source),
// and again in the child after a fork. Until then performAndWait() runs its
// work on the calling thread, one caller at a time, as the queue's thread.
RunLoop& mainQueue();
// Installs `loop` as the main queue. Only before the first use of mainQueue().
void installMainQueue(RunLoop* loop);

}  // namespace kst
