#pragma once

#include <QObject>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/runloop/RunLoop.h"

class QEventLoop;
class QSocketNotifier;
class QTimer;

namespace kst {

// The run loop of a Qt program's main thread: timers, descriptor sources and
// performs are served by Qt's own event loop, so the system's services, the
// prompt's timers and the widgets share one thread and one loop.
//
// The loop may be made before the QCoreApplication exists (the shell makes
// it in a library constructor, before the hook library starts its
// services); until attach() is called on the main thread, everything is
// kept and nothing runs, except performAndWait() on the main thread, which
// runs at once. The thread that constructs the loop is its thread.
//
// Timers run on the loop's clock: a ManualClock's jumps are noticed at once.
// A timer or source callback is never re-entered by a nested run; a
// source's notifier is switched off while its callback runs.
class QtRunLoop final : public RunLoop {
 public:
  explicit QtRunLoop(Clock& clock = Clock::real());
  ~QtRunLoop() override;
  QtRunLoop(const QtRunLoop&) = delete;
  QtRunLoop& operator=(const QtRunLoop&) = delete;

  // Main thread, once a QCoreApplication exists: starts serving.
  void attach();

  TimerId addTimer(Seconds delay, Callback fn, std::optional<Seconds> repeat = std::nullopt) override;
  void cancelTimer(TimerId id) override;
  SourceId addFdSource(int fd, Callback onReadable) override;
  void removeFdSource(SourceId id) override;
  void perform(Callback fn) override;
  void performAndWait(Callback fn) override;
  // Runs Qt's event loop (nested) until `duration` of the loop's clock has
  // passed. Before attach() it serves what is queued and returns.
  void runFor(Seconds duration) override;
  bool isLoopThread() const override;
  const Clock& clock() const override { return clock_; }

 private:
  struct Timer {
    Clock::TimePoint due;
    Clock::Duration repeat{};  // zero: one-shot
    std::shared_ptr<Callback> fn;
    bool running = false;
  };
  struct Source {
    int fd = -1;
    std::shared_ptr<Callback> fn;
    QSocketNotifier* notifier = nullptr;  // main thread only
  };

  // Main thread only.
  void serve();
  void adoptPendingNotifiers();
  void runPerforms();
  void fireDueTimers();
  void armTimer();
  void makeNotifier(SourceId id);
  // Asks the main thread to serve(): a write to the wake-up descriptor,
  // which any thread may do before or after attach().
  void post();

  Clock& clock_;
  const std::thread::id thread_;
  int wakeFd_ = -1;
  int jumpListener_ = 0;
  QObject* context_ = nullptr;  // lives on the main thread once attached
  QTimer* timerWake_ = nullptr;
  // Main thread only: the deadlines of the runFor() calls on the stack,
  // innermost last, and their event loops.
  std::vector<std::pair<Clock::TimePoint, QEventLoop*>> runs_;

  std::mutex mu_;
  std::deque<Callback> performs_;
  std::map<TimerId, Timer> timers_;
  std::map<SourceId, Source> sources_;
  std::vector<SourceId> needNotifier_;     // added from other threads
  std::vector<QSocketNotifier*> retired_;  // removed from other threads
  std::uint64_t nextId_ = 1;
  bool attached_ = false;
};

}  // namespace kst
