// A small application for the process tests. It runs its arguments as a
// list of commands and writes one line per result to the file named by
// KST_TEST_LOG (appending, one write per line, so the tweak's lines and
// its own interleave in order):
//   tcp PORT         blocking connect to 127.0.0.1:PORT
//   nonblock PORT    non-blocking connect
//   udp PORT         sendto;  udpmsg PORT: sendmsg
//   resolve NAME     getaddrinfo
//   badaddr          connect/sendto with null and short addresses
//   curl             curl_easy_setopt without libcurl in the process
//   fork CMD...      the rest in a forked child (no exec); waits for it
//   forkexec CMD...  the rest in a forked child that execs this program
//   wait-resume      waits (up to 30 s) until the tweak logs a resume
//   exit N           exits with status N
// It starts by logging "main" and its identity.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* logPath() {
  return std::getenv("KST_TEST_LOG");
}

void logLine(const char* format, ...) {
  const char* path = logPath();
  if (path == nullptr) return;
  char line[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0) return;
  if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
  line[n++] = '\n';
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = ::write(fd, line, static_cast<size_t>(n));
  ::close(fd);
}

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "(none)";
}

sockaddr_in loopback(const char* port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

const char* errnoName(int e) {
  switch (e) {
    case 0:
      return "0";
    case EINPROGRESS:
      return "EINPROGRESS";
    case EINVAL:
      return "EINVAL";
    case EFAULT:
      return "EFAULT";
    case EAFNOSUPPORT:
      return "EAFNOSUPPORT";
    case EDESTADDRREQ:
      return "EDESTADDRREQ";
    case ECONNREFUSED:
      return "ECONNREFUSED";
    case EPERM:
      return "EPERM";
    default:
      return "other";
  }
}

bool logHas(const char* needle) {
  const char* path = logPath();
  FILE* f = path != nullptr ? std::fopen(path, "r") : nullptr;
  if (f == nullptr) return false;
  char line[512];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f) != nullptr) found = std::strstr(line, needle) != nullptr;
  std::fclose(f);
  return found;
}

int run(std::vector<char*> cmds);

int runForked(std::vector<char*> rest, bool exec) {
  const pid_t child = ::fork();
  if (child < 0) return 1;
  if (child == 0) {
    if (!exec) ::_exit(run(std::move(rest)));
    std::vector<char*> argv;
    char self[] = "substrate_test_client";
    argv.push_back(self);
    argv.insert(argv.end(), rest.begin(), rest.end());
    argv.push_back(nullptr);
    ::execv("/proc/self/exe", argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  logLine("child pid=%d status=%d", child, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

int run(std::vector<char*> cmds) {
  for (std::size_t i = 0; i < cmds.size(); ++i) {
    const std::string cmd = cmds[i];
    const char* arg = i + 1 < cmds.size() ? cmds[i + 1] : "0";
    if (cmd == "tcp" || cmd == "nonblock") {
      ++i;
      const int fd =
          ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (cmd == "nonblock" ? SOCK_NONBLOCK : 0), 0);
      const sockaddr_in to = loopback(arg);
      errno = 0;
      const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      const int e = errno;
      const int stillNonBlocking = (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
      logLine("%s pid=%d rc=%d errno=%s nonblocking=%d", cmd.c_str(), ::getpid(), rc, errnoName(e),
              stillNonBlocking);
      ::close(fd);
    } else if (cmd == "udp" || cmd == "udpmsg") {
      ++i;
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in to = loopback(arg);
      ssize_t rc;
      if (cmd == "udp") {
        rc = ::sendto(fd, "udp", 3, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      } else {
        char payload[] = "udpmsg";
        iovec iov{payload, 6};
        msghdr message{};
        message.msg_name = &to;
        message.msg_namelen = sizeof to;
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        rc = ::sendmsg(fd, &message, 0);
      }
      logLine("%s pid=%d rc=%zd", cmd.c_str(), ::getpid(), rc);
      ::close(fd);
    } else if (cmd == "resolve") {
      ++i;
      addrinfo hints{};
      hints.ai_family = AF_INET;
      addrinfo* result = nullptr;
      const int rc = ::getaddrinfo(arg, nullptr, &hints, &result);
      char text[INET_ADDRSTRLEN] = "-";
      if (rc == 0 && result != nullptr) {
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr, text, sizeof text);
      }
      if (result != nullptr) ::freeaddrinfo(result);
      logLine("resolve pid=%d rc=%d address=%s", ::getpid(), rc, text);
    } else if (cmd == "badaddr") {
      const sockaddr_in in = loopback("9");
      const auto* addr = reinterpret_cast<const sockaddr*>(&in);
      const struct {
        const sockaddr* addr;
        socklen_t len;
      } cases[] = {{nullptr, 0}, {nullptr, sizeof in}, {addr, 1}, {addr, 2}, {addr, sizeof in - 1}};
      for (const auto& c : cases) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        errno = 0;
        int rc = ::connect(fd, c.addr, c.len);
        logLine("badaddr connect len=%u rc=%d errno=%s", c.len, rc, errnoName(errno));
        ::close(fd);
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        errno = 0;
        rc = static_cast<int>(::sendto(fd, "x", 1, 0, c.addr, c.len));
        logLine("badaddr sendto len=%u rc=%d errno=%s", c.len, rc, errnoName(errno));
        ::close(fd);
      }
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      errno = 0;
      const ssize_t rc = ::sendmsg(fd, nullptr, 0);
      logLine("badaddr sendmsg-null rc=%zd errno=%s", rc, errnoName(errno));
      ::close(fd);
    } else if (cmd == "curl") {
      auto setopt = reinterpret_cast<int (*)(void*, int, ...)>(::dlsym(RTLD_DEFAULT, "curl_easy_setopt"));
      const int rc = setopt != nullptr ? setopt(nullptr, 10002, "http://example.invalid/") : -1;
      logLine("curl pid=%d rc=%d", ::getpid(), rc);
    } else if (cmd == "fork" || cmd == "forkexec") {
      return runForked(std::vector<char*>(cmds.begin() + static_cast<std::ptrdiff_t>(i) + 1, cmds.end()),
                       cmd == "forkexec");
    } else if (cmd == "wait-resume") {
      logLine("waiting pid=%d", ::getpid());
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!logHas("resume pid=")) {
        if (std::chrono::steady_clock::now() > until) return 3;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    } else if (cmd == "exit") {
      return std::atoi(arg);
    } else {
      logLine("unknown command %s", cmd.c_str());
      return 2;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  logLine("main pid=%d bundle=%s display=%s executable=%s root=%s", ::getpid(), env("KESTRIX_BUNDLE_ID"),
          env("KESTRIX_DISPLAY_NAME"), env("KESTRIX_EXECUTABLE"), env("KESTRIX_ROOT"));
  return run(std::vector<char*>(argv + 1, argv + argc));
}
