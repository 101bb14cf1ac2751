// The application of the end-to-end tests: run under kestrix-launch, it
// makes the calls the firewall judges and prints one line per attempt on
// stdout, "ok" or "errno=N" (flushed at once), then exits 0. Commands, one
// after the other:
//   tcp IP PORT        blocking connect
//   udp IP PORT        sendto of "udp"
//   sendmsg IP PORT    sendmsg of "sendmsg" to an explicit address
//   nonblock IP PORT   non-blocking connect, completed with poll; the
//                      socket's flags must come back unchanged
//   threads N IP PORT  N threads connecting at once, one line each
//   lookup NAME PORT   getaddrinfo, then connect to the first address
//   unix PATH          connect to a local stream socket
//   asked FILE tcp IP PORT
//                      repeats the attempt (printing each) until FILE
//                      exists or 15 s have passed: SpringBoard answers the
//                      first question only once it has said it is ready
//   lines tcp IP PORT  one attempt per line read on stdin, until end of input
//   toggle MODE FILE A B N tcp|udp IP PORT
//                      N times: puts text A in FILE, one attempt, puts B,
//                      one attempt (each at once after the change); a text
//                      "-" means no file. MODE "edit" writes in place and
//                      deletes, "rename" renames a new file over FILE and
//                      FILE away, "folder" replaces FILE's folder by a new
//                      one (holding FILE or not). Prints "toggle PASSED_A PASSED_B": the
//                      attempts not refused (EPERM) after A and after B
//   fork               the rest of the commands run in a forked child; the
//                      parent waits for it and exits with its status
//   closefds           closes every descriptor above 2
//   closefds-raw       the same by the system call itself, past the C library
//   dupall             dup2()s an empty pipe over every open descriptor above 2
// Nothing here knows the firewall: it is an ordinary program.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex outputMutex;

void report(const std::string& what, int rc, int error) {
  std::lock_guard<std::mutex> lock(outputMutex);
  if (rc >= 0) {
    std::printf("%s ok\n", what.c_str());
  } else {
    std::printf("%s errno=%d\n", what.c_str(), error);
  }
  std::fflush(stdout);
}

bool makeAddress(const std::string& ip, const std::string& port, sockaddr_in* out) {
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(std::atoi(port.c_str())));
  return ::inet_pton(AF_INET, ip.c_str(), &out->sin_addr) == 1;
}

void tcpAttempt(const std::string& ip, const std::string& port) {
  sockaddr_in a;
  if (!makeAddress(ip, port, &a)) return report("tcp", -1, EINVAL);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  errno = 0;
  const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int error = errno;
  ::close(fd);
  report("tcp", rc, error);
}

void udpAttempt(const std::string& ip, const std::string& port, bool useSendmsg) {
  sockaddr_in a;
  if (!makeAddress(ip, port, &a)) return report("udp", -1, EINVAL);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string payload = useSendmsg ? "sendmsg" : "udp";
  ssize_t rc;
  errno = 0;
  if (useSendmsg) {
    iovec iov{payload.data(), payload.size()};
    msghdr msg{};
    msg.msg_name = &a;
    msg.msg_namelen = sizeof a;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    rc = ::sendmsg(fd, &msg, 0);
  } else {
    rc = ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  const int error = errno;
  ::close(fd);
  report(useSendmsg ? "sendmsg" : "udp", rc < 0 ? -1 : 0, error);
}

void nonblockAttempt(const std::string& ip, const std::string& port) {
  sockaddr_in a;
  if (!makeAddress(ip, port, &a)) return report("nonblock", -1, EINVAL);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int flagsBefore = ::fcntl(fd, F_GETFL);
  errno = 0;
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int error = errno;
  if (::fcntl(fd, F_GETFL) != flagsBefore) {
    ::close(fd);
    std::lock_guard<std::mutex> lock(outputMutex);
    std::printf("nonblock flags-changed\n");
    std::fflush(stdout);
    return;
  }
  if (rc < 0 && error == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 10000) == 1) {
      int soError = 0;
      socklen_t len = sizeof soError;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
      rc = soError == 0 ? 0 : -1;
      error = soError;
    } else {
      error = ETIMEDOUT;
    }
  }
  ::close(fd);
  report("nonblock", rc, error);
}

void threadsAttempt(int count, const std::string& ip, const std::string& port) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back([&] { tcpAttempt(ip, port); });
  for (auto& t : threads) t.join();
}

void lookupAttempt(const std::string& name, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int gai = ::getaddrinfo(name.c_str(), port.c_str(), &hints, &list);
  if (gai != 0 || list == nullptr) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::printf("lookup gai=%d\n", gai);
    std::fflush(stdout);
    return;
  }
  const int fd = ::socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
  errno = 0;
  const int rc = ::connect(fd, list->ai_addr, list->ai_addrlen);
  const int error = errno;
  ::close(fd);
  ::freeaddrinfo(list);
  report("lookup", rc, error);
}

void unixAttempt(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  errno = 0;
  const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int error = errno;
  ::close(fd);
  report("unix", rc, error);
}

// Puts `text` ("-": no file) in `path`: in place, by a rename, or by
// replacing its whole folder with a new one.
bool put(const std::string& mode, const std::string& path, const std::string& text) {
  const std::string aside = path + ".aside";
  if (mode == "folder") {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    const std::string next = folder.string() + ".next";
    const std::string gone = folder.string() + ".gone";
    std::error_code ec;
    std::filesystem::create_directory(next, ec);
    if (text != "-" && !put("edit", next + "/" + std::filesystem::path(path).filename().string(), text))
      return false;
    if (::rename(folder.c_str(), gone.c_str()) != 0 || ::rename(next.c_str(), folder.c_str()) != 0)
      return false;
    std::filesystem::remove_all(gone, ec);
    return true;
  }
  if (text == "-") {
    if (mode == "rename") return ::rename(path.c_str(), aside.c_str()) == 0 || errno == ENOENT;
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
  }
  const std::string line = text + "\n";
  const std::string target = mode == "rename" ? path + ".new" : path;
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  return written && (mode != "rename" || ::rename(target.c_str(), path.c_str()) == 0);
}

// One attempt, quietly: whether the call went ahead (succeeded, or failed
// otherwise than refused with EPERM, as a connect to a closed port does).
bool attempt(const std::string& proto, const std::string& ip, const std::string& port) {
  sockaddr_in a;
  if (!makeAddress(ip, port, &a)) return false;
  const bool tcp = proto == "tcp";
  const int fd = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  const char byte = 'x';
  const bool ok = tcp ? ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
                      : ::sendto(fd, &byte, 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == 1;
  const int error = errno;
  ::close(fd);
  return ok || error != EPERM;
}

void toggleAttempts(const std::vector<std::string>& a) {
  const std::string &mode = a[0], &file = a[1], &textA = a[2], &textB = a[3];
  const int times = std::atoi(a[4].c_str());
  int okA = 0;
  int okB = 0;
  for (int n = 0; n < times; ++n) {
    if (!put(mode, file, textA)) break;
    okA += attempt(a[5], a[6], a[7]) ? 1 : 0;
    if (!put(mode, file, textB)) break;
    okB += attempt(a[5], a[6], a[7]) ? 1 : 0;
  }
  std::lock_guard<std::mutex> lock(outputMutex);
  std::printf("toggle %d %d\n", okA, okB);
  std::fflush(stdout);
}

int highestDescriptor() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur == RLIM_INFINITY ? 65536 : static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536));
}

// An empty pipe's read end over every open number: asked how much it
// holds, each says nothing, as an inotify instance that has been read does.
void dupOverAll() {
  int empty[2];
  if (::pipe2(empty, O_CLOEXEC) != 0) return;
  for (int fd = 3; fd < highestDescriptor(); ++fd) {
    if (fd != empty[0] && fd != empty[1] && ::fcntl(fd, F_GETFD) >= 0) ::dup2(empty[0], fd);
  }
  ::close(empty[0]);
  // The write end stays open (and the pipe empty) for the program's life.
}

bool exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

int usage() {
  std::fprintf(stderr, "kst_e2e_client: bad command line\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::size_t i = 0;
  auto has = [&](std::size_t n) { return i + n <= args.size(); };
  while (i < args.size()) {
    const std::string cmd = args[i++];
    if ((cmd == "tcp" || cmd == "udp" || cmd == "sendmsg" || cmd == "nonblock" || cmd == "lookup") &&
        has(2)) {
      const std::string a = args[i], b = args[i + 1];
      i += 2;
      if (cmd == "tcp") tcpAttempt(a, b);
      if (cmd == "udp") udpAttempt(a, b, false);
      if (cmd == "sendmsg") udpAttempt(a, b, true);
      if (cmd == "nonblock") nonblockAttempt(a, b);
      if (cmd == "lookup") lookupAttempt(a, b);
    } else if (cmd == "threads" && has(3)) {
      threadsAttempt(std::atoi(args[i].c_str()), args[i + 1], args[i + 2]);
      i += 3;
    } else if (cmd == "unix" && has(1)) {
      unixAttempt(args[i++]);
    } else if (cmd == "asked" && has(4) && args[i + 1] == "tcp") {
      const std::string file = args[i], ip = args[i + 2], port = args[i + 3];
      i += 4;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
      do {
        tcpAttempt(ip, port);
        if (exists(file)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      } while (std::chrono::steady_clock::now() < deadline);
    } else if (cmd == "lines" && has(3) && args[i] == "tcp") {
      const std::string ip = args[i + 1], port = args[i + 2];
      i += 3;
      for (std::string line; std::getline(std::cin, line);) tcpAttempt(ip, port);
    } else if (cmd == "toggle" && has(8)) {
      toggleAttempts(std::vector<std::string>(args.begin() + static_cast<long>(i),
                                              args.begin() + static_cast<long>(i) + 8));
      i += 8;
    } else if (cmd == "fork") {
      std::fflush(stdout);
      const pid_t child = ::fork();
      if (child < 0) return 1;
      if (child > 0) {
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
      }
    } else if (cmd == "closefds") {
      ::close_range(3, ~0U, 0);
    } else if (cmd == "closefds-raw") {
      ::syscall(SYS_close_range, 3U, ~0U, 0U);
    } else if (cmd == "dupall") {
      dupOverAll();
    } else {
      return usage();
    }
  }
  return 0;
}
