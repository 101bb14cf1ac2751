// The program of the end-to-end tests for the ways around the rules and the
// ways of disturbing a program: run under kestrix-launch, it prints one line
// per command on stdout (flushed at once) and exits 0. It knows nothing of
// the firewall: "errno=1" (EPERM) is what a refused call looks like.
//   ctor-tcp IP PORT        (first on the command line) a connect made by a
//                           constructor, before main; main prints its result
//   tcp IP PORT             blocking connect
//   mapped IP PORT LEN      connect of a dual-stack IPv6 socket to
//                           ::ffff:IP, the address LEN bytes long
//   mappedudp IP PORT LEN   the same with a datagram
//   streamsendto IP PORT DIP DPORT
//                           connect to IP PORT, then sendto on that stream
//                           socket with the address DIP DPORT (ignored by
//                           the kernel)
//   handler-connect SECONDS IP PORT NAME
//                           for SECONDS, the main thread looks NAME up and
//                           connects to IP PORT while a 1 ms timer's handler
//                           connects to IP PORT; prints the handler's counts
//   handler-sendto SECONDS IP PORT
//                           the main thread connects to IP PORT once, then
//                           allocates and frees while the timer's handler
//                           sends datagrams to IP PORT
//   own-continue            installs a SIGCONT handler of its own (signal())
//   continues               prints how often that handler ran
//   sleep SECONDS           prints "sleeping", then sleep(3)'s result
//   wait-line               prints "waiting", reads one line of stdin
//   asked FILE IP PORT      connects until FILE exists (15 s at most)
//   until-refused IP PORT   connects until refused (15 s at most)
//   oom IP PORT             connects with the address space exhausted
//   storm SECONDS THREADS IP DIP PORT
//                           THREADS threads connect to IP (nothing listens
//                           on PORT: "connection refused" is a call let
//                           through) and send datagrams to it, while SIGUSR1
//                           hits them every 200 us; its handler connects to
//                           DIP and sends to IP

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <random>
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

std::string result(const std::string& what, long rc, int error) {
  return rc >= 0 ? what + " ok" : what + " errno=" + std::to_string(error);
}

sockaddr_in v4(const std::string& ip, const std::string& port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(std::atoi(port.c_str())));
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

sockaddr_in6 mapped(const std::string& ip, const std::string& port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(static_cast<uint16_t>(std::atoi(port.c_str())));
  ::inet_pton(AF_INET6, ("::ffff:" + ip).c_str(), &a.sin6_addr);
  return a;
}

int connectTo(const sockaddr* a, socklen_t len, int family = AF_INET, int* error = nullptr) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  errno = 0;
  const int rc = ::connect(fd, a, len);
  if (error != nullptr) *error = errno;
  ::close(fd);
  return rc;
}

std::string tcp(const std::string& ip, const std::string& port) {
  const sockaddr_in a = v4(ip, port);
  int error = 0;
  const int rc = connectTo(reinterpret_cast<const sockaddr*>(&a), sizeof a, AF_INET, &error);
  return result("tcp", rc, error);
}

// ---- before main (a plain buffer: the program's globals may not be
// constructed yet) ----
char gCtorResult[64] = "not run";

__attribute__((constructor)) void connectBeforeMain(int argc, char** argv, char**) {
  if (argc >= 4 && std::strcmp(argv[1], "ctor-tcp") == 0)
    std::snprintf(gCtorResult, sizeof gCtorResult, "%s", tcp(argv[2], argv[3]).c_str());
}

// ---- signal handlers: async-signal-safe counters only ----
sockaddr_in gHandlerTarget;
std::atomic<long> gHandlerPassed{0};
std::atomic<long> gHandlerRefused{0};
std::atomic<long> gHandlerOther{0};
std::atomic<int> gContinues{0};

void countResult(long rc, int error) {
  if (rc >= 0 || error == ECONNREFUSED) {
    ++gHandlerPassed;
  } else if (error == EPERM) {
    ++gHandlerRefused;
  } else {
    ++gHandlerOther;
  }
}

void connectingHandler(int) {
  const int saved = errno;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&gHandlerTarget), sizeof gHandlerTarget);
  countResult(rc, errno);
  ::close(fd);
  errno = saved;
}

void sendingHandler(int) {
  const int saved = errno;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const ssize_t rc =
      ::sendto(fd, "sig", 3, 0, reinterpret_cast<const sockaddr*>(&gHandlerTarget), sizeof gHandlerTarget);
  countResult(rc, errno);
  ::close(fd);
  errno = saved;
}

void onContinue(int) {
  ++gContinues;
}

void install(int sig, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(sig, &action, nullptr);
}

void startTimer(bool on) {
  itimerval t{};
  if (on) t.it_interval.tv_usec = t.it_value.tv_usec = 1000;
  ::setitimer(ITIMER_REAL, &t, nullptr);
}

std::string handlerCounts(const std::string& what) {
  return what + " passed=" + std::to_string(gHandlerPassed.load()) +
         " refused=" + std::to_string(gHandlerRefused.load()) +
         " other=" + std::to_string(gHandlerOther.load());
}

void resetCounts() {
  gHandlerPassed = gHandlerRefused = gHandlerOther = 0;
}

using Clock = std::chrono::steady_clock;

void handlerConnect(double seconds, const std::string& ip, const std::string& port, const std::string& name) {
  gHandlerTarget = v4(ip, port);
  resetCounts();
  install(SIGALRM, connectingHandler);
  startTimer(true);
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name.c_str(), port.c_str(), &hints, &list) == 0) ::freeaddrinfo(list);
    connectTo(reinterpret_cast<const sockaddr*>(&gHandlerTarget), sizeof gHandlerTarget);
  }
  startTimer(false);
  say(handlerCounts("handler-connect"));
}

void handlerSendto(double seconds, const std::string& ip, const std::string& port) {
  gHandlerTarget = v4(ip, port);
  // One ordinary call first: the library judges handlers' calls from the
  // process's first call outside a handler on.
  tcp(ip, port);
  resetCounts();
  install(SIGALRM, sendingHandler);
  startTimer(true);
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  std::vector<void*> blocks(64, nullptr);
  unsigned i = 0;
  while (Clock::now() < end) {
    for (int k = 0; k < 1000; ++k, ++i) {
      void*& b = blocks[i % blocks.size()];
      std::free(b);
      b = std::malloc(16 + (i * 7919) % 4096);
    }
  }
  startTimer(false);
  for (void* b : blocks) std::free(b);
  say(handlerCounts("handler-sendto"));
}

std::string mappedConnect(const std::string& ip, const std::string& port, socklen_t len, bool udp) {
  const sockaddr_in6 a = mapped(ip, port);
  const int fd = ::socket(AF_INET6, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
  errno = 0;
  const long rc = udp ? ::sendto(fd, "mapped", 6, 0, reinterpret_cast<const sockaddr*>(&a), len)
                      : ::connect(fd, reinterpret_cast<const sockaddr*>(&a), len);
  const int error = errno;
  ::close(fd);
  return result(udp ? "mappedudp" : "mapped", rc, error);
}

std::string streamSendto(const std::string& ip, const std::string& port, const std::string& dip,
                         const std::string& dport) {
  const sockaddr_in a = v4(ip, port);
  const sockaddr_in d = v4(dip, dport);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return "streamsendto no-connection";
  }
  errno = 0;
  const long rc = ::sendto(fd, "stream", 6, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&d), sizeof d);
  const int error = errno;
  ::close(fd);
  return result("streamsendto", rc, error);
}

// Exhausts the address space (a limit a little above what is in use, then
// allocations until none succeeds), connects, and gives everything back.
std::string outOfMemoryConnect(const std::string& ip, const std::string& port) {
  rlimit old{};
  ::getrlimit(RLIMIT_AS, &old);
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  rlimit tight = old;
  tight.rlim_cur = used + (64u << 20);
  if (::setrlimit(RLIMIT_AS, &tight) != 0) return "oom no-limit";
  std::vector<void*> held;
  held.reserve(1 << 20);
  for (std::size_t size : {std::size_t{1} << 20, std::size_t{4096}, std::size_t{64}, std::size_t{8}}) {
    while (held.size() < held.capacity()) {
      void* p = std::malloc(size);
      if (p == nullptr) break;
      held.push_back(p);
    }
  }
  const sockaddr_in a = v4(ip, port);
  int error = 0;
  const int rc = connectTo(reinterpret_cast<const sockaddr*>(&a), sizeof a, AF_INET, &error);
  for (void* p : held) std::free(p);
  ::setrlimit(RLIMIT_AS, &old);
  return result("oom", rc, error);
}

// ---- the storm ----
sockaddr_in gStormAllowed;
sockaddr_in gStormDenied;
std::atomic<long> gStormHandlerConnectPassed{0};
std::atomic<long> gStormHandlerConnectRefused{0};
std::atomic<long> gStormHandlerSendOk{0};
std::atomic<long> gStormHandlerSendRefused{0};
std::atomic<long> gStormWorkerRefused{0};
std::atomic<long> gStormWorkerCalls{0};

void stormHandler(int) {
  const int saved = errno;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&gStormDenied), sizeof gStormDenied) == 0 ||
      errno != EPERM) {
    ++gStormHandlerConnectPassed;
  } else {
    ++gStormHandlerConnectRefused;
  }
  ::close(fd);
  fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (::sendto(fd, "h", 1, 0, reinterpret_cast<const sockaddr*>(&gStormAllowed), sizeof gStormAllowed) >= 0) {
    ++gStormHandlerSendOk;
  } else {
    ++gStormHandlerSendRefused;
  }
  ::close(fd);
  errno = saved;
}

void storm(double seconds, int threads, const std::string& ip, const std::string& dip,
           const std::string& port) {
  gStormAllowed = v4(ip, port);
  gStormDenied = v4(dip, port);
  install(SIGUSR1, stormHandler);
  std::atomic<bool> stop{false};
  std::vector<pthread_t> ids(static_cast<std::size_t>(threads));
  std::vector<std::thread> workers;
  std::atomic<int> started{0};
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      ids[static_cast<std::size_t>(t)] = ::pthread_self();
      ++started;
      const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      while (!stop.load()) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&gStormAllowed), sizeof gStormAllowed) != 0 &&
            errno == EPERM)
          ++gStormWorkerRefused;
        ::close(fd);
        if (::sendto(udp, "w", 1, 0, reinterpret_cast<const sockaddr*>(&gStormAllowed),
                     sizeof gStormAllowed) < 0 &&
            errno == EPERM)
          ++gStormWorkerRefused;
        gStormWorkerCalls += 2;
      }
      ::close(udp);
    });
  }
  while (started.load() < threads) std::this_thread::yield();
  std::mt19937 random(static_cast<unsigned>(::getpid()));
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  long signals = 0;
  while (Clock::now() < end) {
    ::pthread_kill(ids[random() % ids.size()], SIGUSR1);
    ++signals;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  stop = true;
  for (auto& w : workers) w.join();
  say("storm signals=" + std::to_string(signals) +
      " workerCalls=" + std::to_string(gStormWorkerCalls.load()) +
      " workerRefused=" + std::to_string(gStormWorkerRefused.load()) +
      " handlerConnectPassed=" + std::to_string(gStormHandlerConnectPassed.load()) +
      " handlerConnectRefused=" + std::to_string(gStormHandlerConnectRefused.load()) +
      " handlerSendOk=" + std::to_string(gStormHandlerSendOk.load()) +
      " handlerSendRefused=" + std::to_string(gStormHandlerSendRefused.load()));
}

bool exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::size_t i = 0;
  auto has = [&](std::size_t n) { return i + n <= args.size(); };
  auto arg = [&](std::size_t k) { return args[i + k]; };
  while (i < args.size()) {
    const std::string cmd = args[i++];
    if (cmd == "ctor-tcp" && has(2)) {
      say(std::string("ctor-") + gCtorResult);
      i += 2;
    } else if (cmd == "tcp" && has(2)) {
      say(tcp(arg(0), arg(1)));
      i += 2;
    } else if ((cmd == "mapped" || cmd == "mappedudp") && has(3)) {
      say(mappedConnect(arg(0), arg(1), static_cast<socklen_t>(std::atoi(arg(2).c_str())),
                        cmd == "mappedudp"));
      i += 3;
    } else if (cmd == "streamsendto" && has(4)) {
      say(streamSendto(arg(0), arg(1), arg(2), arg(3)));
      i += 4;
    } else if (cmd == "handler-connect" && has(4)) {
      handlerConnect(std::atof(arg(0).c_str()), arg(1), arg(2), arg(3));
      i += 4;
    } else if (cmd == "handler-sendto" && has(3)) {
      handlerSendto(std::atof(arg(0).c_str()), arg(1), arg(2));
      i += 3;
    } else if (cmd == "own-continue") {
      ::signal(SIGCONT, onContinue);
    } else if (cmd == "continues") {
      say("continues=" + std::to_string(gContinues.load()));
    } else if (cmd == "sleep" && has(1)) {
      say("sleeping");
      const unsigned left = ::sleep(static_cast<unsigned>(std::atoi(arg(0).c_str())));
      say("slept left=" + std::to_string(left));
      i += 1;
    } else if (cmd == "wait-line") {
      say("waiting");
      std::string line;
      std::getline(std::cin, line);
    } else if (cmd == "asked" && has(3)) {
      const auto end = Clock::now() + std::chrono::seconds(15);
      std::string last;
      do {
        last = tcp(arg(1), arg(2));
        if (exists(arg(0))) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      } while (Clock::now() < end);
      say(last);
      i += 3;
    } else if (cmd == "until-refused" && has(2)) {
      const auto end = Clock::now() + std::chrono::seconds(15);
      std::string last;
      do {
        last = tcp(arg(0), arg(1));
        if (last != "tcp ok") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      } while (Clock::now() < end);
      say(last);
      i += 2;
    } else if (cmd == "oom" && has(2)) {
      say(outOfMemoryConnect(arg(0), arg(1)));
      i += 2;
    } else if (cmd == "storm" && has(5)) {
      storm(std::atof(arg(0).c_str()), std::atoi(arg(1).c_str()), arg(2), arg(3), arg(4));
      i += 5;
    } else {
      std::fprintf(stderr, "kst_e2e_escape_client: bad command line at %s\n", cmd.c_str());
      return 2;
    }
  }
  return 0;
}
