#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/runloop/LibraryThread.h"
#include "platform/runloop/PollRunLoop.h"
#include "platform/runloop/RunLoop.h"

// The library's own main queue: a PollRunLoop served forever by a thread of
// its own. A process that never needs the queue runs no thread of ours: the
// thread starts with the first work that must run later (a perform, a timer,
// a descriptor source). Until then performAndWait() runs its work on the
// calling thread, which is the queue's thread for that time: one such run at
// a time, and anything queued meanwhile waits for the thread, started when
// the run ends. So a program that must stay single-threaded (one that forks
// helpers and checks it has no other thread) keeps that until it needs us.
//
// Nothing here is ever destroyed, since hooks may reach the queue after
// static destructors have run. After a fork the child has only the forking
// thread: its queue has no thread and no loop, and gets both afresh the same
// way on its first need; the parent's loop is left untouched there (its
// wake-up descriptor is shared with the parent). The queue object itself
// stays the same, so references taken before the fork still work.

namespace kst {

namespace {

class OwnMainQueue final : public RunLoop {
 public:
  TimerId addTimer(Seconds delay, Callback fn, std::optional<Seconds> repeat) override {
    const TimerId id = loop().addTimer(delay, wrap(std::move(fn)), repeat);
    serve();
    return id;
  }
  void cancelTimer(TimerId id) override { loop().cancelTimer(id); }
  SourceId addFdSource(int fd, Callback onReadable) override {
    const SourceId id = loop().addFdSource(fd, wrap(std::move(onReadable)));
    if (id != 0) serve();
    return id;
  }
  void removeFdSource(SourceId id) override { loop().removeFdSource(id); }
  void perform(Callback fn) override {
    loop().perform(wrap(std::move(fn)));
    serve();
  }
  void performAndWait(Callback fn) override;
  void runFor(Seconds duration) override {
    CurrentScope scope(this);
    loop().runFor(duration);
  }
  bool isLoopThread() const override;
  const Clock& clock() const override { return Clock::real(); }

  void lockBeforeFork() { mu_.lock(); }
  void unlockInParent() { mu_.unlock(); }
  void forgetInChild();

 private:
  // The loop, made on first need; never destroyed.
  PollRunLoop& loop();
  // Starts the serving thread unless it runs; while another thread runs
  // work inline, asks that thread to start it when done.
  void serve();
  // Requires mu_.
  void startLocked();
  static void* serveForever(void* arg);
  Callback wrap(Callback fn) {
    return [this, fn = std::move(fn)] {
      CurrentScope scope(this);
      fn();
    };
  }

  std::mutex mu_;  // never held while work runs
  std::condition_variable inlineDone_;
  std::atomic<PollRunLoop*> loop_{nullptr};  // written under mu_
  std::atomic<bool> serving_{false};         // written under mu_
  // The thread running work inline now, if any; written under mu_.
  std::atomic<std::thread::id> inlineRunner_{};
  bool startWanted_ = false;  // guarded by mu_
  // Loops of the parent processes, kept reachable so leak checkers in a
  // child do not report them.
  std::vector<PollRunLoop*> abandoned_;  // guarded by mu_
};

PollRunLoop& OwnMainQueue::loop() {
  if (PollRunLoop* l = loop_.load(std::memory_order_acquire)) return *l;
  std::lock_guard lock(mu_);
  if (loop_.load(std::memory_order_relaxed) == nullptr) loop_.store(new PollRunLoop(Clock::real()));
  return *loop_.load(std::memory_order_relaxed);
}

bool OwnMainQueue::isLoopThread() const {
  if (inlineRunner_.load(std::memory_order_acquire) == std::this_thread::get_id()) return true;
  // Not waiting for serving_: the new thread may run work before its
  // starter has marked it serving.
  const PollRunLoop* l = loop_.load(std::memory_order_acquire);
  return l != nullptr && l->isLoopThread();
}

void OwnMainQueue::performAndWait(Callback fn) {
  if (isLoopThread()) {
    fn();
    return;
  }
  std::unique_lock lock(mu_);
  inlineDone_.wait(lock, [&] { return serving_.load() || inlineRunner_.load() == std::thread::id(); });
  if (serving_.load()) {
    lock.unlock();
    loop().performAndWait(wrap(std::move(fn)));
    return;
  }
  // No thread yet: this caller is the queue's thread while the work runs.
  inlineRunner_.store(std::this_thread::get_id(), std::memory_order_release);
  lock.unlock();
  struct Finish {
    OwnMainQueue& q;
    ~Finish() {
      std::lock_guard lock(q.mu_);
      q.inlineRunner_.store(std::thread::id(), std::memory_order_release);
      if (q.startWanted_) q.startLocked();
      q.inlineDone_.notify_all();
    }
  } finish{*this};
  CurrentScope scope(this);
  fn();
}

void OwnMainQueue::serve() {
  if (serving_.load(std::memory_order_acquire)) return;
  std::lock_guard lock(mu_);
  if (inlineRunner_.load() != std::thread::id()) {
    startWanted_ = true;  // the work queued now runs after the inline run, on the thread
    return;
  }
  startLocked();
}

void OwnMainQueue::startLocked() {
  startWanted_ = false;
  if (serving_.load()) return;
  if (loop_.load() == nullptr) loop_.store(new PollRunLoop(Clock::real()));
  AllSignalsBlocked blocked;  // inherited by the queue's thread
  pthread_t thread;
  // A thread that cannot be started now (resources exhausted) is tried
  // again on the next use; work queued meanwhile waits for it.
  if (::pthread_create(&thread, nullptr, serveForever, loop_.load()) != 0) return;
  ::pthread_detach(thread);
  serving_.store(true, std::memory_order_release);
}

void* OwnMainQueue::serveForever(void* arg) {
  ::pthread_setname_np(::pthread_self(), "kst-main-queue");
  auto* loop = static_cast<PollRunLoop*>(arg);
  for (;;) loop->run();  // nobody should stop it; if someone does, go on serving
  return nullptr;
}

void OwnMainQueue::forgetInChild() {
  if (PollRunLoop* l = loop_.load()) abandoned_.push_back(l);
  loop_.store(nullptr);
  serving_.store(false);
  startWanted_ = false;
  // Work running inline on another thread did not come over.
  if (inlineRunner_.load() != std::this_thread::get_id()) inlineRunner_.store(std::thread::id());
  mu_.unlock();
}

OwnMainQueue& ownQueue() {
  static OwnMainQueue* const queue = [] {
    auto* q = new OwnMainQueue;
    // Holding the lock across fork() keeps the child from inheriting it
    // locked by a thread that does not exist there.
    ::pthread_atfork([] { ownQueue().lockBeforeFork(); }, [] { ownQueue().unlockInParent(); },
                     [] { ownQueue().forgetInChild(); });
    return q;
  }();
  return *queue;
}

constinit std::atomic<RunLoop*> gInstalled{nullptr};

}  // namespace

RunLoop& mainQueue() {
  if (RunLoop* installed = gInstalled.load(std::memory_order_acquire)) return *installed;
  return ownQueue();
}

// An installed loop stays installed in a forked child: the program that
// owns its main thread owns that decision too. nullptr goes back to the
// library's own queue (tests use this).
void installMainQueue(RunLoop* loop) {
  gInstalled.store(loop, std::memory_order_release);
}

}  // namespace kst
