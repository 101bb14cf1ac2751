#pragma once

#include "platform/testing/ForkedProcess.h"

// Helpers shared by the messaging tests: a run loop on a thread of its own,
// a service in a process of its own, raw socket peers, child processes.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "platform/messaging/MessagingCenter.h"
#include "platform/messaging/UnixSocket.h"
#include "platform/runloop/PollRunLoop.h"

namespace kst::testing {

// A PollRunLoop run by a thread of its own until destruction.
class LoopThread {
 public:
  explicit LoopThread(Clock& clock = Clock::real()) : loop_(clock), thread_([this] { loop_.run(); }) {}
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;
  ~LoopThread() {
    loop_.stop();
    thread_.join();
  }

  PollRunLoop& loop() { return loop_; }

  // Starts a service with `handlers` on this loop; nullptr when it cannot.
  std::shared_ptr<MessagingCenter> serve(const DeviceRoot& root, const std::string& service,
                                         const std::map<std::string, MessagingCenter::Handler>& handlers) {
    auto center = MessagingCenter::centerNamed(service, root);
    for (const auto& [name, handler] : handlers) center->registerForMessageName(name, handler);
    bool ok = false;
    loop_.performAndWait([&] { ok = center->runServerOnCurrentThread(); });
    return ok ? center : nullptr;
  }

 private:
  PollRunLoop loop_;
  std::thread thread_;
};

// Waits for a child to exit, at most `limit` (then kills it); its exit
// status, or -1 when it did not exit normally.
inline int waitChild(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `body` in a forked child, which exits with its result.
inline pid_t forkChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

// A service served by the main thread of a child process, ready once
// constructed (ok() tells whether it started); killed on destruction.
class ServerProcess {
 public:
  ServerProcess(const DeviceRoot& root, const std::string& service,
                const std::map<std::string, MessagingCenter::Handler>& handlers)
      : process_([&](int readyFd) {
          PollRunLoop loop;
          auto center = MessagingCenter::centerNamed(service, root);
          for (const auto& [name, handler] : handlers) center->registerForMessageName(name, handler);
          loop.perform([&] { testing::ForkedProcess::signalReady(readyFd, center->runServerOnCurrentThread()); });
          loop.run();
        }) {}

  bool ok() const { return process_.ok(); }
  pid_t pid() const { return process_.pid(); }
  // Kills the server and reaps it; its socket file stays behind.
  void kill() { process_.kill(); }

 private:
  testing::ForkedProcess process_;
};

// A raw client connection with a generous receive time-out, so that a test
// expecting the server to hang up cannot hang itself.
inline messaging::UniqueFd rawConnect(const std::string& path) {
  messaging::UniqueFd fd = messaging::connectStream(path);
  if (fd.valid()) {
    timeval tv{30, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }
  return fd;
}

// True when the server closed the connection without sending anything
// (end of file, or a reset because our bytes were left unread).
inline bool closedWithoutReply(int fd) {
  char c;
  for (;;) {
    const ssize_t n = ::recv(fd, &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }
}

}  // namespace kst::testing
