#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

namespace kst::testing {

// A forked child that tells its parent when it is ready: `child` runs in the
// child with the write end of a pipe and writes '1' there once it serves
// (anything else, or an exit, means it failed); the constructor waits for
// that. The child is killed and reaped on destruction.
class ForkedProcess {
 public:
  explicit ForkedProcess(const std::function<void(int readyFd)>& child) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      child(ready[1]);
      ::_exit(0);
    }
    ::close(ready[1]);
    char c = 0;
    ssize_t n = 0;
    do {
      n = ::read(ready[0], &c, 1);
    } while (n < 0 && errno == EINTR);
    ::close(ready[0]);
    ok_ = pid_ > 0 && n == 1 && c == '1';
  }
  ForkedProcess(const ForkedProcess&) = delete;
  ForkedProcess& operator=(const ForkedProcess&) = delete;
  ~ForkedProcess() { kill(); }

  bool ok() const { return ok_; }
  pid_t pid() const { return pid_; }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

  // For the child: reports readiness (or failure) to the parent.
  static void signalReady(int readyFd, bool ready) {
    const char c = ready ? '1' : '0';
    if (::write(readyFd, &c, 1) != 1 || !ready) ::_exit(3);
  }

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

}  // namespace kst::testing
