// A program whose connections wait on prompts, for the end-to-end tests of
// what waits and what does not. It knows nothing of the firewall. Prints
// one line per result (flushed at once) and exits 0.
//   beside IP1 PORT1 IP2 PORT2
//       a thread connects (blocking) to IP1; once a line is read on stdin,
//       the main thread connects to IP2 and prints "beside ok MS" (MS: how
//       long that connect took), then the thread's "waiting ok" or
//       "waiting errno=N".
//   connect-nb WAY IP PORT
//       a non-blocking connect, completed with WAY (epoll-et, epoll-lt,
//       poll or select). Prints "connect errno=E MS" for the call itself,
//       then, 200 ms later, "pending soerror=E peer=E" (what SO_ERROR and
//       getpeername say meanwhile) and "again errno=E" (a second connect),
//       then "done ok" or "done errno=E" when the connect has ended (a wake
//       without an error while still connecting waits on), at most 90 s.
//   burst-nb N IP PORT
//       N non-blocking connects at once; prints "parked N" when all
//       returned EINPROGRESS, then "done ok" or "done errno=E" for each as
//       it ends (polled together), at most 90 s.
//   udp-nonblock IP PORT
//       sends "ping" on a non-blocking UDP socket and prints "udp sent N MS"
//       (N: what sendto returned, or "errno=E"; MS: how long it took), then
//       waits for a line on stdin and prints "reply TEXT" for the datagram
//       the server sent back, or "reply none" after 5 s.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex outputMutex;

void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(outputMutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

bool makeAddress(const char* ip, const char* port, sockaddr_in* out) {
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
  return ::inet_pton(AF_INET, ip, &out->sin_addr) == 1;
}

// A blocking connect; 0 or the errno.
int connectTo(const char* ip, const char* port) {
  sockaddr_in a;
  if (!makeAddress(ip, port, &a)) return EINVAL;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int error = rc == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

std::string result(const std::string& what, int error) {
  return error == 0 ? what + " ok" : what + " errno=" + std::to_string(error);
}

int beside(char** argv) {
  std::thread waiting([&] { say(result("waiting", connectTo(argv[0], argv[1]))); });
  std::string line;
  std::getline(std::cin, line);
  const auto start = std::chrono::steady_clock::now();
  const int error = connectTo(argv[2], argv[3]);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  say(result("beside", error) + " " + std::to_string(ms));
  waiting.join();
  return 0;
}

constexpr int kDoneWithinMs = 90000;

int soError(int fd) {
  int error = -1;
  socklen_t length = sizeof error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
  return error;
}

// 0 when connected, ENOTCONN while still connecting.
int peerError(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 ? 0 : errno;
}

// Waits for one readiness of `fd` for writing the given way; false when
// the wait ran out.
class Waiter {
 public:
  Waiter(const std::string& way, int fd) : way_(way), fd_(fd) {
    if (way_.rfind("epoll", 0) == 0) {
      ep_ = ::epoll_create1(EPOLL_CLOEXEC);
      epoll_event ev{};
      ev.events = EPOLLOUT | (way_ == "epoll-et" ? EPOLLET : 0u);
      ::epoll_ctl(ep_, EPOLL_CTL_ADD, fd_, &ev);
    }
  }
  ~Waiter() {
    if (ep_ >= 0) ::close(ep_);
  }
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;
  bool wait(int ms) {
    if (ep_ >= 0) {
      epoll_event out{};
      return ::epoll_wait(ep_, &out, 1, ms) == 1;
    }
    if (way_ == "poll") {
      pollfd p{fd_, POLLOUT, 0};
      return ::poll(&p, 1, ms) == 1;
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(fd_, &writable);
    FD_SET(fd_, &failed);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return ::select(fd_ + 1, nullptr, &writable, &failed, &tv) == 1;
  }

 private:
  std::string way_;
  int fd_;
  int ep_ = -1;
};

int connectNonBlocking(char** argv) {
  const std::string way = argv[0];
  sockaddr_in a;
  if (!makeAddress(argv[1], argv[2], &a)) return 2;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  Waiter waiter(way, fd);
  const auto start = std::chrono::steady_clock::now();
  const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int error = rc == 0 ? 0 : errno;
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  say("connect errno=" + std::to_string(error) + " " + std::to_string(ms));
  if (error == 0) say("done ok");
  if (error != EINPROGRESS) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int pendingError = soError(fd);
  say("pending soerror=" + std::to_string(pendingError) + " peer=" + std::to_string(peerError(fd)));
  const int again = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
  say("again errno=" + std::to_string(again));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDoneWithinMs);
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!waiter.wait(static_cast<int>(left.count()))) break;
    const int e = soError(fd);
    if (e != 0) {
      say("done errno=" + std::to_string(e));
      return 0;
    }
    if (peerError(fd) == 0) {
      say("done ok");
      return 0;
    }
    // Woken while still connecting: wait on, as an event loop does.
    if (way == "poll" || way == "select" || way == "epoll-lt")
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  say("done timeout");
  return 0;
}

int burstNonBlocking(char** argv) {
  const int n = std::atoi(argv[0]);
  sockaddr_in a;
  if (n <= 0 || !makeAddress(argv[1], argv[2], &a)) return 2;
  std::vector<pollfd> fds;
  for (int i = 0; i < n; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 || errno != EINPROGRESS) {
      say("connect errno=" + std::to_string(errno));
      return 0;
    }
    fds.push_back(pollfd{fd, POLLOUT, 0});
  }
  say("parked " + std::to_string(n));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDoneWithinMs);
  int left = n;
  while (left > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::poll(fds.data(), fds.size(), 1000) <= 0) continue;
    for (pollfd& p : fds) {
      if (p.fd < 0 || p.revents == 0) continue;
      const int e = soError(p.fd);
      if (e == 0 && peerError(p.fd) != 0) continue;  // still connecting
      say(e == 0 ? "done ok" : "done errno=" + std::to_string(e));
      ::close(p.fd);
      p.fd = -1;
      --left;
    }
  }
  return 0;
}

int udpNonBlock(char** argv) {
  sockaddr_in a;
  if (!makeAddress(argv[0], argv[1], &a)) return 2;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const std::string ping = "ping";
  const auto start = std::chrono::steady_clock::now();
  const ssize_t sent = ::sendto(fd, ping.data(), ping.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int error = errno;
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  say("udp sent " + (sent >= 0 ? std::to_string(sent) : "errno=" + std::to_string(error)) + " " +
      std::to_string(ms));
  // The exchange's answer, if the server sent one by the time the test says
  // so.
  std::string line;
  std::getline(std::cin, line);
  pollfd p{fd, POLLIN, 0};
  char reply[64];
  const ssize_t n = ::poll(&p, 1, 5000) == 1 ? ::recv(fd, reply, sizeof reply, 0) : -1;
  say(n > 0 ? "reply " + std::string(reply, static_cast<std::size_t>(n)) : std::string("reply none"));
  ::close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "beside") == 0) return beside(argv + 2);
  if (argc == 4 && std::strcmp(argv[1], "udp-nonblock") == 0) return udpNonBlock(argv + 2);
  if (argc == 5 && std::strcmp(argv[1], "connect-nb") == 0) return connectNonBlocking(argv + 2);
  if (argc == 5 && std::strcmp(argv[1], "burst-nb") == 0) return burstNonBlocking(argv + 2);
  std::fprintf(stderr,
               "usage: %s beside IP1 PORT1 IP2 PORT2 | udp-nonblock IP PORT | connect-nb WAY IP PORT | "
               "burst-nb N IP PORT\n",
               argv[0]);
  return 2;
}
