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

// Makes a pipe, watches its read end on the main queue and publishes its
// write end. Not under any lock the queue takes.
bool watchNewPipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct stat st;
  if (::fstat(fds[1], &st) != 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  const int readFd = fds[0];
  const RunLoop::SourceId id = mainQueue().addFdSource(readFd, [readFd] {
    char buf[64];
    bool woken = false;
    ssize_t n;
    while ((n = ::read(readFd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) woken = woken || n > 0;
    if (woken) UIApplication::shared().applicationDidResume();
  });
  if (id == 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  gReadFd.store(readFd, std::memory_order_relaxed);
  gPipeInode.store(st.st_ino, std::memory_order_relaxed);
  gWriteFd.store(fds[1], std::memory_order_release);
  return true;
}

void lockBeforeFork() {
  startMutex().lock();
}
void unlockInParent() {
  startMutex().unlock();
}

// The inherited pipe is shared with the parent, whose queue would read our
// wake-ups; the child gets a pipe and a queue of its own.
void renewInChild() {
  if (gRunning.load(std::memory_order_acquire)) {
    // The parent's queue, which watched the old read end, is gone here.
    for (std::atomic<int>* fd : {&gWriteFd, &gReadFd}) {
      const int old = fd->exchange(-1, std::memory_order_acq_rel);
      if (old >= 0) ::close(old);
    }
    try {
      watchNewPipe();
    } catch (...) {
      // Out of memory in the child: it runs without the resume.
    }
  }
  startMutex().unlock();
}

}  // namespace

bool ResumeWatch::start() {
  std::lock_guard lock(startMutex());
  if (gRunning.load(std::memory_order_acquire)) return true;
  if (!watchNewPipe()) return false;
  if (!substrate::watchContinue(&wake)) return false;
  // After mainQueue()'s own fork handler, which runs first in the child.
  static const bool registered = ::pthread_atfork(lockBeforeFork, unlockInParent, renewInChild) == 0;
  (void)registered;
  gRunning.store(true, std::memory_order_release);
  return true;
}

bool ResumeWatch::running() {
  return gRunning.load(std::memory_order_acquire);
}

}  // namespace kst::objc
