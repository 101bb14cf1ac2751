// What kestrix-launch's system-call filter and supervisor cost, in real
// processes on this machine. Each benchmark runs this program again as a
// measuring child, in two ways alternating, one pair per iteration:
//
//  - BM_HookedConnect: 1,000 connects through the C library (the hook
//    library judges them) under `kestrix-launch --libc-only` and under
//    kestrix-launch with the filter, which passes the hook library's
//    already-judged calls at once;
//  - BM_SupervisedConnect: 1,000 connects made as raw system calls (as a
//    static or Go program makes them) bare, and under kestrix-launch, where
//    the supervisor judges and performs each;
//  - BM_NotificationFloor: 10,000 getppid bare and handed to a listener
//    that only answers "continue": what any supervisor adds at least;
//  - BM_FilteredGetpid, BM_FilteredRead: 100,000 getpid / 1-byte reads of
//    /dev/zero under `kestrix-launch --libc-only` and under the filter
//    (which passes them).
//
// The connects go to a loopback listener named in the device's hosts file
// and allowed by an application rule. Counters: base and filtered medians
// (microseconds per connect, nanoseconds per getpid/read; the median over
// the iterations of each child's median) with their difference and ratio.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSpawn.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kBenchIp = "127.0.0.14";
constexpr const char* kHostsName = "supervised.example";
constexpr const char* kBenchApp = "com.example.supervised";
constexpr int kConnects = 1000;
constexpr int kCalls = 100000;
constexpr int kBatch = 1000;

double medianOf(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// ---- the children ----

int connectChild(bool raw) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, kBenchIp, &a.sin_addr);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 4096) != 0)
    return 1;
  socklen_t len = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  std::atomic<bool> done{false};
  std::thread acceptor([&] {
    while (!done) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) ::close(fd);
    }
  });
  std::vector<double> micros;
  int failures = 0;
  for (int i = 0; i < kConnects; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto start = Clock::now();
    const long rc = raw ? ::syscall(SYS_connect, fd, &a, sizeof a)
                        : ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    const auto end = Clock::now();
    if (rc != 0) ++failures;
    ::close(fd);
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  done = true;
  ::shutdown(listener, SHUT_RDWR);
  acceptor.join();
  std::printf("median=%.4f failures=%d\n", medianOf(micros), failures);
  return 0;
}

int callsChild(bool reads) {
  const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  char byte = 0;
  std::vector<double> nanos;
  for (int b = 0; b < kCalls / kBatch; ++b) {
    const auto start = Clock::now();
    for (int i = 0; i < kBatch; ++i) {
      if (reads) {
        [[maybe_unused]] const ssize_t n = ::read(zero, &byte, 1);
      } else {
        ::syscall(SYS_getpid);
      }
    }
    nanos.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kBatch);
  }
  std::printf("median=%.4f failures=0\n", medianOf(nanos));
  return 0;
}

// 10,000 getppid calls; prints their median in microseconds per call.
int getppidChild() {
  std::vector<double> micros;
  for (int b = 0; b < kCalls / kBatch / 10; ++b) {
    const auto start = Clock::now();
    for (int i = 0; i < kBatch; ++i) ::syscall(SYS_getppid);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kBatch);
  }
  std::printf("median=%.4f failures=0\n", medianOf(micros));
  std::fflush(stdout);
  return 0;
}

// The floor of any supervisor on this machine: getppidChild() in a child
// process whose getppid goes to a listener here that answers "continue" at
// once, doing nothing else. A process of its own, as the supervisor is: a
// thread of this one would spare the switch of address space.
int floorChild() {
  int numbers[2], go[2];
  if (::pipe2(numbers, O_CLOEXEC) != 0 || ::pipe2(go, O_CLOEXEC) != 0) return 1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getppid, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    const int fd = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
                       ? static_cast<int>(::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                                                    SECCOMP_FILTER_FLAG_NEW_LISTENER, &program))
                       : -1;
    // The listener's number; the parent takes it with pidfd_getfd.
    if (::write(numbers[1], &fd, sizeof fd) != sizeof fd || fd < 0) ::_exit(1);
    // Held until the parent has it: no getppid before it listens.
    char byte = 0;
    if (::read(go[0], &byte, 1) != 1) ::_exit(1);
    ::_exit(getppidChild());
  }
  int childFd = -1;
  const bool got = pid > 0 && ::read(numbers[0], &childFd, sizeof childFd) == sizeof childFd && childFd >= 0;
  const long pidfd = got ? ::syscall(SYS_pidfd_open, pid, 0) : -1;
  const long listener = pidfd >= 0 ? ::syscall(SYS_pidfd_getfd, pidfd, childFd, 0) : -1;
  if (pid > 0 && ::write(go[1], "g", 1) != 1) ::kill(pid, SIGKILL);
  if (listener >= 0) {
    // Answered on the caller's processor where the kernel can.
    std::uint64_t syncWakeUp = 1;
    ::ioctl(static_cast<int>(listener), SECCOMP_IOW(4, __u64), &syncWakeUp);
    for (;;) {
      pollfd p{static_cast<int>(listener), POLLIN, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) break;
      if ((p.revents & POLLHUP) != 0) break;  // the child is gone
      if ((p.revents & POLLIN) == 0) continue;
      seccomp_notif request{};
      if (::ioctl(static_cast<int>(listener), SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) continue;
      seccomp_notif_resp response{};
      response.id = request.id;
      response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
      ::ioctl(static_cast<int>(listener), SECCOMP_IOCTL_NOTIF_SEND, &response);
    }
  } else if (pid > 0) {
    ::kill(pid, SIGKILL);
  }
  for (int fd : {numbers[0], numbers[1], go[0], go[1], static_cast<int>(pidfd), static_cast<int>(listener)}) {
    if (fd >= 0) ::close(fd);
  }
  int status = 0;
  if (pid > 0) ::waitpid(pid, &status, 0);
  return listener >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// ---- the parent ----

double field(const std::string& text, const std::string& name) {
  const std::size_t at = text.find(name + "=");
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + name.size() + 1);
}

// A device root with the system installed, the hosts file naming the bench
// listener and an application rule allowing it. Removed at exit.
class Device {
 public:
  Device() {
    char tmpl[] = "/tmp/kst-supervised-root-XXXXXX";
    dir_ = ::mkdtemp(tmpl) != nullptr ? tmpl : "";
    if (dir_.empty() || kst::bench::spawnAndWait({KST_INSTALL, "--root", dir_}, {}) != 0) return;
    const kst::DeviceRoot root(dir_);
    kst::FileSystem& fs = kst::FileSystem::real();
    fs.writeFileAtomic(root.path("/etc/hosts"), std::string(kBenchIp) + " " + kHostsName + "\n", true);
    const kst::plist::Value rule(kst::plist::Dictionary{{"rule", kst::plist::Value(kHostsName)},
                                                        {"date", kst::plist::Value(kst::plist::Date{0})}});
    const kst::plist::Dictionary app{{"allow", kst::plist::Value(kst::plist::Array{rule})}};
    ok_ = kst::plist::writeDictionaryFile(
        fs, root.path("/var/mobile/Library/Preferences/com.Dovrane.FirewallRules2.plist"),
        kst::plist::Dictionary{{"150", kst::plist::Value(true)}, {kBenchApp, kst::plist::Value(app)}}, true);
  }
  ~Device() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  bool ok() const { return ok_; }
  std::vector<std::string> launched(const std::string& mode, bool libcOnly) const {
    std::vector<std::string> argv = {KST_LAUNCH, kBenchApp, "--root", dir_};
    if (libcOnly) argv.push_back("--libc-only");
    argv.insert(argv.end(), {"--", kst::bench::selfPath(), "--child", mode});
    return argv;
  }

 private:
  std::string dir_;
  bool ok_ = false;
};

Device& device() {
  static Device d;
  return d;
}

std::string kernel() {
  utsname u{};
  return ::uname(&u) == 0 ? std::string(u.release) : std::string("?");
}

// Runs `base` and `filtered` alternately, one pair per iteration; reports
// their medians.
void compare(benchmark::State& state, const std::vector<std::string>& base,
             const std::vector<std::string>& filtered) {
  if (!device().ok()) {
    state.SkipWithError("cannot lay out a device root");
    return;
  }
  std::vector<double> baseRuns, filteredRuns;
  for (auto _ : state) {
    std::string out;
    for (int which = 0; which < 2; ++which) {
      const auto& argv = which == 0 ? base : filtered;
      if (kst::bench::spawnAndWait(argv, {}, &out) != 0 || field(out, "failures") != 0) {
        state.SkipWithError(("the child failed: " + out).c_str());
        return;
      }
      (which == 0 ? baseRuns : filteredRuns).push_back(field(out, "median"));
    }
  }
  const double b = medianOf(baseRuns);
  const double f = medianOf(filteredRuns);
  state.counters["base"] = b;
  state.counters["filtered"] = f;
  state.counters["added"] = f - b;
  state.counters["ratio"] = b > 0 ? f / b : 0;
  state.SetLabel("kernel " + kernel());
}

void BM_HookedConnect(benchmark::State& state) {
  compare(state, device().launched("connect", true), device().launched("connect", false));
}

void BM_SupervisedConnect(benchmark::State& state) {
  compare(state, {kst::bench::selfPath(), "--child", "rawconnect"}, device().launched("rawconnect", false));
}

// Both sides under kestrix-launch, with and without the filter: started
// the same way, so only the filter differs (the hook library's read
// replacement, and where the launcher leaves the child, are on both sides;
// a bare child against a launched one measured those instead).
void BM_FilteredGetpid(benchmark::State& state) {
  compare(state, device().launched("getpid", true), device().launched("getpid", false));
}

void BM_FilteredRead(benchmark::State& state) {
  compare(state, device().launched("read", true), device().launched("read", false));
}

// No supervisor can add less per call than this round trip: a getppid,
// bare and handed to a listener that only answers "continue".
void BM_NotificationFloor(benchmark::State& state) {
  compare(state, {kst::bench::selfPath(), "--child", "getppid"},
          {kst::bench::selfPath(), "--child", "floor"});
}

BENCHMARK(BM_HookedConnect)->Iterations(9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SupervisedConnect)->Iterations(9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilteredGetpid)->Iterations(9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilteredRead)->Iterations(9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NotificationFloor)->Iterations(9)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
    const std::string mode = argv[2];
    if (mode == "connect") return connectChild(false);
    if (mode == "rawconnect") return connectChild(true);
    if (mode == "getpid") return callsChild(false);
    if (mode == "read") return callsChild(true);
    if (mode == "getppid") return getppidChild();
    if (mode == "floor") return floorChild();
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
