#include <pthread.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/runloop/LibraryThread.h"
#include "platform/runloop/PollRunLoop.h"
#include "platform/runloop/RunLoop.h"

// The library's own main queue: one PollRunLoop served forever by a thread
// of its own, started on first use. Nothing here is ever destroyed, since
// hooks may reach the queue after static destructors have run. After a
// fork the child has only the forking thread, so the queue is made afresh
// there on its next use; the parent's loop is left untouched (its wake-up
// descriptor is shared with the parent).

namespace kst {

namespace {

struct OwnQueue {
  std::mutex mu;
  PollRunLoop* loop = nullptr;  // guarded by mu
  bool serving = false;         // guarded by mu: its thread is started
  // Loops of the parent processes, kept reachable so leak checkers in a
  // child do not report them.
  std::vector<PollRunLoop*> abandoned;  // guarded by mu
};

// Set only once a loop's thread runs it; read without locking.
constinit std::atomic<PollRunLoop*> gOwnLoop{nullptr};
constinit std::atomic<RunLoop*> gInstalled{nullptr};

OwnQueue& ownQueue() {
  static OwnQueue* const queue = new OwnQueue;
  return *queue;
}

void lockBeforeFork() {
  ownQueue().mu.lock();
}
void unlockInParent() {
  ownQueue().mu.unlock();
}

void forgetInChild() {
  OwnQueue& q = ownQueue();
  if (q.loop != nullptr) {
    q.abandoned.push_back(q.loop);
    q.loop = nullptr;
    q.serving = false;
    gOwnLoop.store(nullptr);
  }
  q.mu.unlock();
}

void* serveForever(void* arg) {
  ::pthread_setname_np(::pthread_self(), "kst-main-queue");
  auto* loop = static_cast<PollRunLoop*>(arg);
  for (;;) loop->run();  // nobody should stop it; if someone does, go on serving
  return nullptr;
}

bool startThread(PollRunLoop* loop) {
  AllSignalsBlocked blocked;  // inherited by the queue's thread
  pthread_t thread;
  if (::pthread_create(&thread, nullptr, serveForever, loop) != 0) return false;
  ::pthread_detach(thread);
  return true;
}

RunLoop& ownLoop() {
  if (PollRunLoop* loop = gOwnLoop.load(std::memory_order_acquire)) return *loop;
  OwnQueue& q = ownQueue();
  // Holding the lock across fork() keeps the child from inheriting it
  // locked by a thread that does not exist there.
  static const bool handlersInstalled = ::pthread_atfork(lockBeforeFork, unlockInParent, forgetInChild) == 0;
  (void)handlersInstalled;
  std::lock_guard lock(q.mu);
  if (q.loop == nullptr) q.loop = new PollRunLoop(Clock::real());
  // A thread that cannot be started now (resources exhausted) is tried
  // again on the next use; work queued meanwhile waits for it.
  if (!q.serving && startThread(q.loop)) {
    q.serving = true;
    gOwnLoop.store(q.loop, std::memory_order_release);
  }
  return *q.loop;
}

}  // namespace

RunLoop& mainQueue() {
  if (RunLoop* installed = gInstalled.load(std::memory_order_acquire)) return *installed;
  return ownLoop();
}

// An installed loop stays installed in a forked child: the program that
// owns its main thread owns that decision too. nullptr goes back to the
// library's own queue (tests use this).
void installMainQueue(RunLoop* loop) {
  gInstalled.store(loop, std::memory_order_release);
}

}  // namespace kst
