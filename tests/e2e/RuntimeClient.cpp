// An application of the end-to-end tests that does what real programs do to
// the library living inside them: fork, close every descriptor, take signals
// on threads of its own. Run under kestrix-launch; prints one line per
// result on stdout (flushed at once) and exits 0. Nothing here knows the
// firewall. Commands (one on the command line, or, with "stdin", one per
// line read from standard input until its end):
//   tcp IP PORT                 one blocking connect: "tcp ok" / "tcp errno=N"
//   udp IP PORT                 one sendto: "udp ok" / "udp errno=N"
//   lookups N NAME              N getaddrinfo calls: "lookups done"
//   until-refused IP PORT       connects until one is refused (30 s at most),
//                               then prints that last attempt
//   fork-follows TRIGGER IP PORT
//                               forks; the child prints "child ready", waits
//                               for the file TRIGGER, then does until-refused
//                               and prints "child " and its result
//   fds-taken FILE TRIGGER IP PORT
//                               closes every descriptor above 2, creates FILE
//                               and dup2s it over every number that was open,
//                               prints "taken N", sleeps one second and prints
//                               "idle-cpu-ms M" (the process's CPU time in it),
//                               waits for TRIGGER, does until-refused, and
//                               prints "file size=S offset=O"
//   ping                        prints "pong" (nothing else)
//   fork-idle TRIGGER           forks; the child prints "child PID" and waits
//                               for the file TRIGGER, calling nothing of the
//                               library; the parent waits for it and prints
//                               "parent done"
//   signals N                   blocks SIGUSR1 on this thread, unblocks it on
//                               one thread of its own, sends N SIGUSR1 to the
//                               process; prints "foreign F handled H", F the
//                               handlers run on a thread that is not its own

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string result(const char* what, long rc, int error) {
  return std::string(what) + (rc >= 0 ? " ok" : " errno=" + std::to_string(error));
}

bool address(const std::string& ip, const std::string& port, sockaddr_in* out) {
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(std::atoi(port.c_str())));
  return ::inet_pton(AF_INET, ip.c_str(), &out->sin_addr) == 1;
}

std::string tcp(const std::string& ip, const std::string& port) {
  sockaddr_in a;
  if (!address(ip, port, &a)) return "tcp bad-address";
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  errno = 0;
  const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int error = errno;
  ::close(fd);
  return result("tcp", rc, error);
}

std::string udp(const std::string& ip, const std::string& port) {
  sockaddr_in a;
  if (!address(ip, port, &a)) return "udp bad-address";
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  errno = 0;
  const ssize_t rc = ::sendto(fd, "udp", 3, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int error = errno;
  ::close(fd);
  return result("udp", rc, error);
}

std::string lookups(int n, const std::string& name) {
  for (int i = 0; i < n; ++i) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name.c_str(), "80", &hints, &list) == 0) ::freeaddrinfo(list);
  }
  return "lookups done";
}

std::string untilRefused(const std::string& ip, const std::string& port) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::string last;
  do {
    last = tcp(ip, port);
    if (last != "tcp ok") break;
    std::this_thread::sleep_for(50ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return last;
}

bool waitForFile(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (::access(path.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

void forkFollows(const std::string& trigger, const std::string& ip, const std::string& port) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    say("child ready");
    if (!waitForFile(trigger)) ::_exit(3);
    say("child " + untilRefused(ip, port));
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  say("parent done");
}

void forkIdle(const std::string& trigger) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    say("child " + std::to_string(::getpid()));
    ::_exit(waitForFile(trigger) ? 0 : 3);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  say("parent done");
}

long cpuMillis() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void fdsTaken(const std::string& file, const std::string& trigger, const std::string& ip,
              const std::string& port) {
  std::vector<int> open;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(d)) {
      const int fd = std::atoi(e->d_name);
      if (fd > 2 && fd != ::dirfd(d)) open.push_back(fd);
    }
    ::closedir(d);
  }
  ::syscall(SYS_close_range, 3u, ~0u, 0u);
  const int own = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (own < 0 || ::write(own, "program", 7) != 7) return say("cannot make " + file);
  int taken = 0;
  for (int fd : open)
    if (fd != own && ::dup2(own, fd) == fd) ++taken;
  say("taken " + std::to_string(taken));
  const long before = cpuMillis();
  std::this_thread::sleep_for(1s);
  say("idle-cpu-ms " + std::to_string(cpuMillis() - before));
  if (!waitForFile(trigger)) return say("no trigger");
  say(untilRefused(ip, port));
  struct stat st {};
  ::fstat(own, &st);
  say("file size=" + std::to_string(st.st_size) + " offset=" + std::to_string(::lseek(own, 0, SEEK_CUR)));
}

std::atomic<pid_t> gOwnThread{0};
std::atomic<int> gHandled{0};
std::atomic<int> gForeign{0};

void onUsr1(int) {
  const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
  if (tid == gOwnThread.load()) {
    ++gHandled;
  } else {
    ++gForeign;
  }
}

void signals(int n) {
  struct sigaction sa {};
  sa.sa_handler = onUsr1;
  ::sigaction(SIGUSR1, &sa, nullptr);
  sigset_t usr1;
  ::sigemptyset(&usr1);
  ::sigaddset(&usr1, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
  std::atomic<bool> done{false};
  std::thread own([&] {
    gOwnThread = static_cast<pid_t>(::syscall(SYS_gettid));
    ::pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
    while (!done.load()) std::this_thread::sleep_for(1ms);
  });
  while (gOwnThread.load() == 0) std::this_thread::sleep_for(1ms);
  for (int i = 0; i < n; ++i) {
    // One at a time, so that none is merged into a pending one.
    const int seen = gHandled.load() + gForeign.load();
    ::kill(::getpid(), SIGUSR1);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (gHandled.load() + gForeign.load() == seen && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(100us);
  }
  done = true;
  own.join();
  say("foreign " + std::to_string(gForeign.load()) + " handled " + std::to_string(gHandled.load()));
}

// Runs one command from `args` starting at `i`; false when it is not one.
bool run(const std::vector<std::string>& args, std::size_t& i) {
  auto has = [&](std::size_t n) { return i + n <= args.size(); };
  const std::string cmd = args[i++];
  if (cmd == "tcp" && has(2)) {
    say(tcp(args[i], args[i + 1]));
    i += 2;
  } else if (cmd == "udp" && has(2)) {
    say(udp(args[i], args[i + 1]));
    i += 2;
  } else if (cmd == "lookups" && has(2)) {
    say(lookups(std::atoi(args[i].c_str()), args[i + 1]));
    i += 2;
  } else if (cmd == "until-refused" && has(2)) {
    say(untilRefused(args[i], args[i + 1]));
    i += 2;
  } else if (cmd == "fork-follows" && has(3)) {
    forkFollows(args[i], args[i + 1], args[i + 2]);
    i += 3;
  } else if (cmd == "fds-taken" && has(4)) {
    fdsTaken(args[i], args[i + 1], args[i + 2], args[i + 3]);
    i += 4;
  } else if (cmd == "ping") {
    say("pong");
  } else if (cmd == "fork-idle" && has(1)) {
    forkIdle(args[i++]);
  } else if (cmd == "signals" && has(1)) {
    signals(std::atoi(args[i++].c_str()));
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "stdin") {
    std::string line;
    while (std::getline(std::cin, line)) {
      std::istringstream words(line);
      std::vector<std::string> command;
      for (std::string w; words >> w;) command.push_back(w);
      std::size_t i = 0;
      if (!command.empty() && !run(command, i)) say("bad command: " + line);
    }
    return 0;
  }
  std::size_t i = 0;
  while (i < args.size()) {
    if (!run(args, i)) {
      std::fprintf(stderr, "kst_e2e_runtime_client: bad command line\n");
      return 2;
    }
  }
  return 0;
}
