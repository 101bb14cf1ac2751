#include "platform/objc/ResumeWatch.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/objc/UIApplication.h"
#include "platform/runloop/RunLoop.h"
#include "platform/substrate/SignalTable.h"

namespace kst::objc {

namespace {

// The write end and its pipe's inode: the handler writes only when the
// descriptor is still our pipe, since an application may close every
// descriptor or dup2() another file over ours.
constinit std::atomic<int> gWriteFd{-1};
constinit std::atomic<int> gReadFd{-1};
constinit std::atomic<ino_t> gPipeInode{0};
// Set once the watch is installed.
constinit std::atomic<bool> gRunning{false};

std::mutex& startMutex() {
  static std::mutex* const mu = new std::mutex;
  return *mu;
}

// Runs first in the substrate's dispatcher on every SIGCONT, whatever the
// program does with the signal; the program's own handler runs after it.
void wake() {
  const int savedErrno = errno;
  const int fd = gWriteFd.load(std::memory_order_acquire);
  struct stat st;
  if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) &&
      st.st_ino == gPipeInode.load(std::memory_order_relaxed)) {
    const char byte = 1;
    // A full pipe already holds a pending wake-up.
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

// Makes a pipe and publishes its ends; the handler may write from then on.
// Async-signal-safe: also used in a forked child.
bool makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct stat st;
  if (::fstat(fds[1], &st) != 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  gReadFd.store(fds[0], std::memory_order_relaxed);
  gPipeInode.store(st.st_ino, std::memory_order_relaxed);
  gWriteFd.store(fds[1], std::memory_order_release);
  return true;
}

// Watches the pipe's read end on the main queue. Not under any lock the
// queue takes.
bool watchReadEnd() {
  const int readFd = gReadFd.load(std::memory_order_acquire);
  if (readFd < 0) return false;
  const RunLoop::SourceId id = mainQueue().addFdSource(readFd, [readFd] {
    char buf[64];
    bool woken = false;
    ssize_t n;
    while ((n = ::read(readFd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) woken = woken || n > 0;
    if (woken) UIApplication::shared().applicationDidResume();
  });
  return id != 0;
}

// The pipe waits here until the process first needs it watched.
constinit std::atomic<bool> gWatchPending{false};

void lockBeforeFork() {
  startMutex().lock();
}
void unlockInParent() {
  startMutex().unlock();
}

// The inherited pipe is shared with the parent, whose queue would read our
// wake-ups; the child gets a pipe of its own at once, so no SIGCONT is lost
// or taken for the parent's. Watching it needs the main queue's thread,
// which is never started here: between fork and exec a thread of ours would
// race the program's own descriptor work (a browser dup2()s its channels
// over low descriptors and the queue's wake-ups then went into them). It is
// started by watch() when the child first needs it.
void renewInChild() {
  if (gRunning.load(std::memory_order_acquire)) {
    for (std::atomic<int>* fd : {&gWriteFd, &gReadFd}) {
      const int old = fd->exchange(-1, std::memory_order_acq_rel);
      if (old >= 0) ::close(old);
    }
    gWatchPending.store(makePipe(), std::memory_order_release);
  }
  startMutex().unlock();
}

}  // namespace

void ResumeWatch::watch() {
  if (!gWatchPending.load(std::memory_order_acquire)) return;
  std::lock_guard lock(startMutex());
  if (gWatchPending.exchange(false, std::memory_order_acq_rel)) watchReadEnd();
}

bool ResumeWatch::start() {
  std::lock_guard lock(startMutex());
  if (gRunning.load(std::memory_order_acquire)) return true;
  if (!makePipe()) return false;
  if (!substrate::watchContinue(&wake)) {
    for (std::atomic<int>* fd : {&gWriteFd, &gReadFd}) {
      const int old = fd->exchange(-1, std::memory_order_acq_rel);
      if (old >= 0) ::close(old);
    }
    return false;
  }
  static const bool registered = ::pthread_atfork(lockBeforeFork, unlockInParent, renewInChild) == 0;
  (void)registered;
  gWatchPending.store(true, std::memory_order_release);
  gRunning.store(true, std::memory_order_release);
  return true;
}

bool ResumeWatch::running() {
  return gRunning.load(std::memory_order_acquire);
}

}  // namespace kst::objc
