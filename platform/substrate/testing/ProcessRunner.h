#pragma once

// Helpers for tests that run real programs: spawning with a changed
// environment, reading a log of lines, a loopback TCP listener and UDP
// receiver.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

#if defined(__has_feature)
#define KST_HAS_FEATURE(x) __has_feature(x)
#else
#define KST_HAS_FEATURE(x) 0
#endif

namespace kst::testing {

// The environment of this process with `changes` applied (nullopt: unset).
inline std::vector<std::string> environmentWith(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (changes.count(name) == 0) env.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) env.push_back(name + "=" + *value);
  }
  return env;
}

// In the sanitizer builds, the changes that let a sanitized program run
// with libsubstrate.so (itself sanitized) preloaded: the address
// sanitizer's runtime then is not first among the libraries, which is fine
// since the program links it; the thread sanitizer must allow the thread
// that the substrate starts in a forked child.
inline void allowSanitizedPreload(std::map<std::string, std::optional<std::string>>& env) {
  auto append = [&env](const char* name, const char* option) {
    const char* current = std::getenv(name);
    env[name] =
        (current != nullptr && *current != '\0' ? std::string(current) + ":" : std::string()) + option;
  };
#if defined(__SANITIZE_ADDRESS__) || KST_HAS_FEATURE(address_sanitizer)
  append("ASAN_OPTIONS", "verify_asan_link_order=0");
#endif
#if defined(__SANITIZE_THREAD__) || KST_HAS_FEATURE(thread_sanitizer)
  append("TSAN_OPTIONS", "die_after_fork=0");
#endif
  (void)append;
}

// The first child of `pid` (from /proc), or -1.
inline pid_t firstChildOf(pid_t pid) {
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  pid_t child = -1;
  return children >> child ? child : -1;
}

// The program kestrix-launch started: the launcher's supervisor's child
// (the launcher itself when it execs in place, as with --libc-only).
inline pid_t launchedProgram(pid_t launcher) {
  const pid_t supervisor = firstChildOf(launcher);
  const pid_t program = supervisor > 0 ? firstChildOf(supervisor) : -1;
  return program > 0 ? program : launcher;
}

// A program started with posix_spawn, its stderr going to a file.
class Spawned {
 public:
  Spawned(const std::vector<std::string>& argv, const std::map<std::string, std::optional<std::string>>& env,
          const std::string& stderrFile) {
    std::vector<std::string> envStrings = environmentWith(env);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    ::posix_spawn_file_actions_destroy(&actions);
  }
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;
  ~Spawned() {
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }

  pid_t pid() const { return pid_; }
  // The exit status, or 1000 + signal number when killed; -1 when never started.
  int wait() {
    if (pid_ <= 0) return -1;
    if (!waited_) {
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      waited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  bool waited_ = false;
  int status_ = -1;
};

inline std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The value of "name=value" in a log line, "" when absent.
inline std::string field(const std::string& line, const std::string& name) {
  const std::string key = name + "=";
  std::size_t at = 0;
  while ((at = line.find(key, at)) != std::string::npos) {
    if (at == 0 || line[at - 1] == ' ') {
      const std::size_t start = at + key.size();
      return line.substr(start, line.find(' ', start) - start);
    }
    at += key.size();
  }
  return "";
}

// A TCP listener and a UDP receiver on 127.0.0.1 for the test's lifetime.
class Loopback {
 public:
  Loopback() {
    tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(tcp_, reinterpret_cast<sockaddr*>(&any), sizeof any);
    ::listen(tcp_, 128);
    ::bind(udp_, reinterpret_cast<sockaddr*>(&any), sizeof any);
    tcpPort_ = portOf(tcp_);
    udpPort_ = portOf(udp_);
    timeval tv{20, 0};
    ::setsockopt(udp_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  Loopback(const Loopback&) = delete;
  Loopback& operator=(const Loopback&) = delete;
  ~Loopback() {
    ::close(tcp_);
    ::close(udp_);
  }

  std::string tcpPort() const { return std::to_string(tcpPort_); }
  std::string udpPort() const { return std::to_string(udpPort_); }
  // The next datagram, or "" after 20 seconds.
  std::string receive() {
    char buf[256];
    const ssize_t n = ::recv(udp_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  static int portOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  }

  int tcp_ = -1;
  int udp_ = -1;
  int tcpPort_ = 0;
  int udpPort_ = 0;
};

}  // namespace kst::testing
