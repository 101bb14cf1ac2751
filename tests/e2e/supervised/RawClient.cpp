// A client that reaches the network without the C library's socket
// functions where it can: built twice, statically linked and dynamically
// linked, for the supervised end-to-end tests. Each command prints one line:
// "<name> ok" or "<name> errno=N" (or its own counts), written unbuffered so
// that forked processes' lines never mix.
//
//   tcp IP PORT | rawtcp IP PORT        connect (the C library's / syscall)
//   udp IP PORT | rawudp IP PORT        sendto with an address
//   sendmsg IP PORT                     sendmsg with msg_name
//   sendmmsg N IP1 PORT1 IP2 PORT2      N datagrams, the first half to IP1
//   threads N IP PORT                   N threads connecting at once
//   fork IP PORT                        a child and a grandchild connect
//   uring                               io_uring_setup
//   nonblock IP PORT                    a non-blocking connect, waited with epoll
//   bad                                 calls with unreadable or absurd arguments
//   unix PATH                           connect to a Unix socket
//   waiting IP PORT                     says "waiting", then connects
//   name HOST PORT                      getaddrinfo (its own resolver when
//                                       statically linked), then connect

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

constexpr int kWaitMs = 20000;
constexpr unsigned kMaxThreads = 256;

void say(const std::string& line) {
  const std::string text = line + "\n";
  [[maybe_unused]] ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
}

std::string result(const std::string& name, long rc, int err) {
  return rc < 0 ? name + " errno=" + std::to_string(err) : name + " ok";
}

sockaddr_in address(const char* ip, const char* port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(atoi(port)));
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

long tcp(const char* ip, const char* port, bool raw, int* err) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = address(ip, port);
  const long rc = raw ? ::syscall(SYS_connect, fd, &a, sizeof a)
                      : ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  *err = errno;
  ::close(fd);
  return rc;
}

long udp(const char* ip, const char* port, bool raw, int* err) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in a = address(ip, port);
  const char data[] = "udp";
  const long rc = raw ? ::syscall(SYS_sendto, fd, data, 3, 0, &a, sizeof a)
                      : ::sendto(fd, data, 3, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  *err = errno;
  ::close(fd);
  return rc;
}

struct ThreadCounts {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<int> ok{0};
  std::atomic<int> refused{0};
  std::atomic<int> other{0};
  const char* ip;
  const char* port;
};

void* connectingThread(void* arg) {
  auto* c = static_cast<ThreadCounts*>(arg);
  ++c->ready;
  while (!c->go.load()) {
  }
  int err = 0;
  const long rc = tcp(c->ip, c->port, true, &err);
  (rc == 0 ? c->ok : err == EPERM ? c->refused : c->other)++;
  return nullptr;
}

int threads(unsigned n, const char* ip, const char* port) {
  if (n == 0 || n > kMaxThreads) return 2;
  ThreadCounts c;
  c.ip = ip;
  c.port = port;
  std::vector<pthread_t> ids(n);
  for (auto& id : ids) pthread_create(&id, nullptr, connectingThread, &c);
  while (c.ready.load() < static_cast<int>(n)) {
  }
  c.go = true;
  for (auto& id : ids) pthread_join(id, nullptr);
  say("threads ok=" + std::to_string(c.ok.load()) + " refused=" + std::to_string(c.refused.load()) +
      " other=" + std::to_string(c.other.load()));
  return 0;
}

int forkTree(const char* ip, const char* port) {
  const pid_t child = ::fork();
  if (child == 0) {
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      int err = 0;
      const long rc = tcp(ip, port, true, &err);
      say(result("grandchild", rc, err));
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(grandchild, &status, 0);
    int err = 0;
    const long rc = tcp(ip, port, true, &err);
    say(result("child", rc, err));
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return 0;
}

int sendmmsgMixed(unsigned n, const char* ip1, const char* port1, const char* ip2, const char* port2) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in first = address(ip1, port1);
  sockaddr_in second = address(ip2, port2);
  std::vector<mmsghdr> messages(n);
  std::vector<iovec> data(n);
  static char payload[] = "mmsg";
  for (unsigned i = 0; i < n; ++i) {
    data[i] = {payload, 4};
    messages[i].msg_hdr.msg_iov = &data[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = i < n / 2 ? &first : &second;
    messages[i].msg_hdr.msg_namelen = sizeof first;
  }
  const long rc = ::syscall(SYS_sendmmsg, fd, messages.data(), n, 0);
  const int err = errno;
  unsigned lengths = 0;
  for (unsigned i = 0; i < n; ++i) lengths += messages[i].msg_len;
  say(rc < 0 ? "sendmmsg errno=" + std::to_string(err)
             : "sendmmsg sent=" + std::to_string(rc) + " bytes=" + std::to_string(lengths));
  ::close(fd);
  return 0;
}

int sendmsgTo(const char* ip, const char* port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = address(ip, port);
  char payload[] = "msg";
  iovec data{payload, 3};
  msghdr h{};
  h.msg_name = &a;
  h.msg_namelen = sizeof a;
  h.msg_iov = &data;
  h.msg_iovlen = 1;
  const long rc = ::syscall(SYS_sendmsg, fd, &h, 0);
  say(result("sendmsg", rc, errno));
  ::close(fd);
  return 0;
}

int uring() {
  char params[120] = {};  // struct io_uring_params
  const long rc = ::syscall(SYS_io_uring_setup, 4, params);
  say(result("uring", rc, errno));
  if (rc >= 0) ::close(static_cast<int>(rc));
  return 0;
}

int nonblock(const char* ip, const char* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const sockaddr_in a = address(ip, port);
  long rc = ::syscall(SYS_connect, fd, &a, sizeof a);
  int err = errno;
  if (rc < 0 && err == EINPROGRESS) {
    const int ep = ::epoll_create1(0);
    epoll_event e{};
    e.events = EPOLLOUT;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
    epoll_event got{};
    if (::epoll_wait(ep, &got, 1, kWaitMs) == 1) {
      int soError = 0;
      socklen_t len = sizeof soError;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
      rc = soError == 0 ? 0 : -1;
      err = soError;
    } else {
      rc = -1;
      err = ETIMEDOUT;
    }
    ::close(ep);
  }
  say(result("nonblock", rc, err));
  ::close(fd);
  return 0;
}

int bad() {
  const int tcpFd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int udpFd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in a = address("127.0.0.1", "9");
  void* unmapped = reinterpret_cast<void*>(16);
  std::string line = "bad";
  auto note = [&](const char* key, long rc) {
    line += std::string(" ") + key + "=" + (rc < 0 ? std::to_string(errno) : "ok");
  };
  note("addr", ::syscall(SYS_connect, tcpFd, unmapped, sizeof a));
  note("len", ::syscall(SYS_connect, tcpFd, &a, 0x80000000UL));
  note("huge", ::syscall(SYS_connect, tcpFd, &a, 4096));
  note("header", ::syscall(SYS_sendmsg, udpFd, unmapped, 0));
  msghdr h{};
  h.msg_name = unmapped;
  h.msg_namelen = sizeof a;
  note("name", ::syscall(SYS_sendmsg, udpFd, &h, 0));
  h.msg_name = const_cast<sockaddr_in*>(&a);
  h.msg_iov = static_cast<iovec*>(unmapped);
  h.msg_iovlen = 1;
  note("iov", ::syscall(SYS_sendmsg, udpFd, &h, 0));
  note("vector", ::syscall(SYS_sendmmsg, udpFd, unmapped, 1024, 0));
  note("fd", ::syscall(SYS_connect, 1000, &a, sizeof a));
  say(line);
  ::close(tcpFd);
  ::close(udpFd);
  return 0;
}

// "name ok", "name errno=N", or "name unresolved (TEXT)".
int nameConnect(const char* host, const char* port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host, port, &hints, &found);
  if (rc != 0) {
    say(std::string("name unresolved (") + ::gai_strerror(rc) + ")");
    return 0;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int connected = ::connect(fd, found->ai_addr, found->ai_addrlen);
  say(result("name", connected, errno));
  ::close(fd);
  ::freeaddrinfo(found);
  return 0;
}

int unixConnect(const char* path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, path, sizeof a.sun_path - 1);
  const long rc = ::syscall(SYS_connect, fd, &a, sizeof a);
  say(result("unix", rc, errno));
  ::close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc;) {
    const std::string c = argv[i];
    const int left = argc - i - 1;
    int err = 0;
    if ((c == "tcp" || c == "rawtcp") && left >= 2) {
      const long rc = tcp(argv[i + 1], argv[i + 2], c == "rawtcp", &err);
      say(result(c, rc, err));
      i += 3;
    } else if ((c == "udp" || c == "rawudp") && left >= 2) {
      const long rc = udp(argv[i + 1], argv[i + 2], c == "rawudp", &err);
      say(result(c, rc, err));
      i += 3;
    } else if (c == "sendmsg" && left >= 2) {
      sendmsgTo(argv[i + 1], argv[i + 2]);
      i += 3;
    } else if (c == "sendmmsg" && left >= 5) {
      sendmmsgMixed(static_cast<unsigned>(atoi(argv[i + 1])), argv[i + 2], argv[i + 3], argv[i + 4],
                    argv[i + 5]);
      i += 6;
    } else if (c == "threads" && left >= 3) {
      if (threads(static_cast<unsigned>(atoi(argv[i + 1])), argv[i + 2], argv[i + 3]) != 0) return 2;
      i += 4;
    } else if (c == "fork" && left >= 2) {
      forkTree(argv[i + 1], argv[i + 2]);
      i += 3;
    } else if (c == "uring") {
      uring();
      i += 1;
    } else if (c == "nonblock" && left >= 2) {
      nonblock(argv[i + 1], argv[i + 2]);
      i += 3;
    } else if (c == "bad") {
      bad();
      i += 1;
    } else if (c == "name" && left >= 2) {
      nameConnect(argv[i + 1], argv[i + 2]);
      i += 3;
    } else if (c == "unix" && left >= 1) {
      unixConnect(argv[i + 1]);
      i += 2;
    } else if (c == "waiting" && left >= 2) {
      say("waiting");
      const long rc = tcp(argv[i + 1], argv[i + 2], true, &err);
      say(result("tcp", rc, err));
      i += 3;
    } else {
      fprintf(stderr, "raw-client: bad command %s\n", c.c_str());
      return 2;
    }
  }
  return 0;
}
