// What a judged connect adds to a bare one, and what kestrix-launch adds to
// the start-up of a trivial program, in real processes on this machine.
//
// The same measuring loop (this program again, "--connect-child": 1,000
// connects to a loopback listener named in the device's hosts file and
// allowed by an application rule) runs bare and under kestrix-launch,
// alternating, one pair per iteration, in three set-ups:
//
//  - no shell running: the name comes from the hosts file (reverse lookup);
//  - the shell (`springboard`, headless) running, its host-name map knowing
//    the address under a name of its own ("mapped.example");
//  - as the second, with 100,000 global rules that do not match.
//
// BM_Datagram does the same with 1,000 sendto() datagrams, decided by the
// same rule (no shell, and the shell running).
//
// BM_PythonLoop is the loop a new user would write: Python's socket(),
// connect() and close() to a loopback listener, 1,000 times a round, the
// median round's time per connect, bare and hooked (no shell, and the
// shell running).
//
// BM_StartTrue runs /bin/true bare and under kestrix-launch, alternating,
// in the same three set-ups.
//
// Counters: bare_us and hooked_us (the medians over the iterations of each
// run's median), added_us (their difference), paired_added_us (the median of
// each iteration's hooked minus bare, steadier on a noisy machine) and ratio
// (hooked / bare); for
// start-up also the same of the processor time used (cpu_*), which a
// loaded machine disturbs less than the wall time.
//
// To compare with an earlier build in the same run, set KST_COST_BEFORE to
// a copy of that build's folder (its bin/ and lib/, with their run paths
// pointing at the copy): every iteration then also runs the loop under its
// kestrix-launch, on a device of its own, and before_us, before_added_us
// and before_ratio are reported too.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hook/rules/KstMessageNames.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/hosttable/HostNameTable.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/plist/PlistFile.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kBenchIp = "127.0.0.13";
constexpr const char* kHostsName = "bench.example";
constexpr const char* kMapName = "mapped.example";
constexpr const char* kBenchApp = "com.example.connectcost";
constexpr int kConnects = 1000;
constexpr int kGlobalRules = 100000;
constexpr int kDiscardPort = 9;

// ---- the child: the measuring loop ----

int connectChild() {
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
  micros.reserve(kConnects);
  int failures = 0;
  for (int i = 0; i < kConnects; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto start = Clock::now();
    const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const auto end = Clock::now();
    if (rc != 0) ++failures;
    ::close(fd);
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  done = true;
  ::shutdown(listener, SHUT_RDWR);
  acceptor.join();
  std::sort(micros.begin(), micros.end());
  std::printf("median_us=%.3f failures=%d\n", micros[micros.size() / 2], failures);
  return 0;
}

// The same for datagrams: 1,000 sendto() calls of one byte from one UDP
// socket to a loopback port nobody reads, decided by the same rule.
int datagramChild() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, kBenchIp, &a.sin_addr);
  a.sin_port = htons(kDiscardPort);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::vector<double> micros;
  micros.reserve(kConnects);
  int failures = 0;
  for (int i = 0; i < kConnects; ++i) {
    const char byte = 'x';
    const auto start = Clock::now();
    const ssize_t n = ::sendto(fd, &byte, 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const auto end = Clock::now();
    if (n != 1) ++failures;
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  ::close(fd);
  std::sort(micros.begin(), micros.end());
  std::printf("median_us=%.3f failures=%d\n", micros[micros.size() / 2], failures);
  return 0;
}

// Python's own loop: seven rounds of 1,000 socket/connect/close against a
// listener nobody accepts from (its backlog holds them all), the median
// round's time per pass.
constexpr const char* kPythonLoop = R"(
import socket, time
rounds, n = 7, 1000
per = []
for _ in range(rounds):
    listener = socket.socket()
    listener.bind(("127.0.0.13", 0))
    listener.listen(n + 64)
    address = listener.getsockname()
    start = time.perf_counter()
    for _ in range(n):
        s = socket.socket()
        s.connect(address)
        s.close()
    per.append((time.perf_counter() - start) / n * 1e6)
    listener.close()
per.sort()
print("median_us=%.3f failures=0" % per[len(per) // 2])
)";

// ---- the parent ----

std::string selfPath() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

// Starts argv with `extraEnv` added (LD_PRELOAD and KESTRIX_* of this
// process removed); stdout to `outFd` when given, stderr to /dev/null.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, int outFd = -1) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0 && std::strncmp(*e, "KESTRIX_", 8) != 0) env.push_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (outFd >= 0) ::posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  ::posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Runs argv to its end; its stdout into `out` when given, the processor
// time it used (user and system, microseconds) into `cpuUs`. The exit
// status, or -1.
int run(const std::vector<std::string>& argv, std::string* out = nullptr, double* cpuUs = nullptr) {
  char outPath[] = "/tmp/kst-cost-out-XXXXXX";
  const int outFd = ::mkstemp(outPath);
  const pid_t pid = spawn(argv, {}, outFd);
  int status = 0;
  rusage usage{};
  if (pid > 0) ::wait4(pid, &status, 0, &usage);
  if (cpuUs != nullptr)
    *cpuUs = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  if (out != nullptr) {
    std::ifstream in(outPath);
    std::stringstream s;
    s << in.rdbuf();
    *out = s.str();
  }
  ::close(outFd);
  ::unlink(outPath);
  return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double field(const std::string& text, const std::string& name) {
  const std::size_t at = text.find(name + "=");
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + name.size() + 1);
}

kst::plist::Value ruleEntry(const std::string& text) {
  return kst::plist::Value(kst::plist::Dictionary{{"rule", kst::plist::Value(text)},
                                                  {"date", kst::plist::Value(kst::plist::Date{0})}});
}

enum class SetUp { kNoShell = 0, kShell = 1, kShellGlobalRules = 2 };

// The programs of one build.
struct Build {
  std::string install;
  std::string launch;
  std::string springboard;
};

const Build& currentBuild() {
  static const Build build{KST_INSTALL, KST_LAUNCH, KST_SPRINGBOARD};
  return build;
}

// The earlier build to compare with, when KST_COST_BEFORE names one.
const Build* beforeBuild() {
  static const std::optional<Build> build = []() -> std::optional<Build> {
    const char* dir = std::getenv("KST_COST_BEFORE");
    if (dir == nullptr || *dir == '\0') return std::nullopt;
    const std::string bin = std::string(dir) + "/bin/";
    return Build{bin + "kestrix-install", bin + "kestrix-launch", bin + "springboard"};
  }();
  return build ? &*build : nullptr;
}

// A device root with the system installed, the hosts file naming the bench
// listener, an allow rule for both its names, and for the shell set-ups the
// shell running with the map's name published. Removed at exit.
class Device {
 public:
  Device(SetUp setUp, const Build& build) : build_(build) {
    char tmpl[] = "/tmp/kst-cost-root-XXXXXX";
    dir_ = ::mkdtemp(tmpl) != nullptr ? tmpl : "";
    if (dir_.empty() || run({build_.install, "--root", dir_}) != 0) {
      fail("cannot install a device root");
      return;
    }
    const kst::DeviceRoot root(dir_);
    kst::FileSystem& fs = kst::FileSystem::real();
    fs.writeFileAtomic(root.path("/etc/hosts"),
                       std::string(kBenchIp) + " " + kHostsName + " " + kMapName + "\n", true);
    // Dated an hour back, as a hosts file nobody edits today is.
    const timespec anHourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ::utimensat(AT_FDCWD, root.path("/etc/hosts").c_str(), anHourAgo, 0);
    const kst::plist::Dictionary app{
        {"allow", kst::plist::Value(kst::plist::Array{ruleEntry(kHostsName), ruleEntry(kMapName)})}};
    if (!kst::plist::writeDictionaryFile(
            fs, root.path("/var/mobile/Library/Preferences/com.Dovrane.FirewallRules2.plist"),
            kst::plist::Dictionary{{"150", kst::plist::Value(true)}, {kBenchApp, kst::plist::Value(app)}},
            true)) {
      fail("cannot write the rules");
      return;
    }
    if (setUp == SetUp::kShellGlobalRules && !writeGlobalRules(root)) {
      fail("cannot write global rules");
      return;
    }
    if (setUp != SetUp::kNoShell && !startShell(root)) return;
    ok_ = true;
  }
  ~Device() {
    if (shell_ > 0) {
      ::kill(shell_, SIGTERM);
      ::waitpid(shell_, nullptr, 0);
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::string& dir() const { return dir_; }

  std::vector<std::string> launched(std::vector<std::string> program) const {
    std::vector<std::string> argv = {build_.launch, kBenchApp, "--root", dir_, "--"};
    argv.insert(argv.end(), program.begin(), program.end());
    return argv;
  }

 private:
  void fail(std::string why) { error_ = std::move(why); }

  static bool writeGlobalRules(const kst::DeviceRoot& root) {
    kst::plist::Array deny;
    deny.reserve(kGlobalRules);
    for (int i = 0; i < kGlobalRules; ++i)
      deny.push_back(ruleEntry("blocked" + std::to_string(i) + ".example"));
    return kst::plist::writeDictionaryFile(
        kst::FileSystem::real(),
        root.path("/var/mobile/Library/Preferences/com.Dovrane.FirewallGlobalRules2.plist"),
        kst::plist::Dictionary{{"150", kst::plist::Value(true)},
                               {"globalDeny", kst::plist::Value(std::move(deny))}},
        true);
  }

  // Starts the shell and has its map learn the name; true once the shared
  // table publishes it.
  bool startShell(const kst::DeviceRoot& root) {
    shell_ = spawn({build_.springboard, "--root", dir_}, {"QT_QPA_PLATFORM=offscreen"});
    if (shell_ <= 0) return fail("cannot start the shell"), false;
    const auto center = kst::MessagingCenter::centerNamed(std::string(kst::msg::kHostStuffService), root);
    kst::HostNameTableReader table(root.path(kst::kHostNameTablePath));
    const kst::plist::Dictionary info{
        {std::string(kst::msg::kHostStuffHostKey), kst::plist::Value(kMapName)}};
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
      center->sendMessage(std::string(kst::msg::kHostStuffSend), &info);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      table.reset();
      if (table.lookup(kBenchIp) == std::optional<std::string>(kMapName)) return true;
    }
    return fail("the shell's map never published the name"), false;
  }

  const Build build_;
  std::string dir_;
  std::string error_;
  pid_t shell_ = -1;
  bool ok_ = false;
};

// One device per set-up and build, made on first use, removed at exit.
Device& device(SetUp setUp, const Build& build) {
  static std::map<std::pair<SetUp, const Build*>, std::unique_ptr<Device>> devices;
  auto& d = devices[{setUp, &build}];
  if (!d) d = std::make_unique<Device>(setUp, build);
  return *d;
}

// The current build's device, and the earlier build's when there is one.
struct Devices {
  Device* now = nullptr;
  Device* before = nullptr;
  const char* error = nullptr;
};

Devices devicesFor(SetUp setUp) {
  Devices d;
  d.now = &device(setUp, currentBuild());
  if (!d.now->ok()) d.error = d.now->error().c_str();
  if (const Build* b = beforeBuild()) {
    d.before = &device(setUp, *b);
    if (!d.before->ok()) d.error = d.before->error().c_str();
  }
  return d;
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The median of hooked[i] - bare[i]: each pair ran one after the other, so
// the machine's slow swings cancel out of it.
double pairedAdded(const std::vector<double>& bare, const std::vector<double>& hooked) {
  std::vector<double> differences;
  for (std::size_t i = 0; i < bare.size() && i < hooked.size(); ++i)
    differences.push_back(hooked[i] - bare[i]);
  return median(differences);
}

void report(benchmark::State& state, const std::vector<double>& bare, const std::vector<double>& hooked,
            const std::vector<double>& before, const std::string& prefix = "") {
  const double b = median(bare);
  const double h = median(hooked);
  state.counters[prefix + "bare_us"] = b;
  state.counters[prefix + "hooked_us"] = h;
  state.counters[prefix + "added_us"] = h - b;
  state.counters[prefix + "paired_added_us"] = pairedAdded(bare, hooked);
  state.counters[prefix + "ratio"] = b > 0 ? h / b : 0;
  if (before.empty()) return;
  const double e = median(before);
  state.counters[prefix + "before_us"] = e;
  state.counters[prefix + "before_added_us"] = e - b;
  state.counters[prefix + "before_paired_added_us"] = pairedAdded(bare, before);
  state.counters[prefix + "before_ratio"] = b > 0 ? e / b : 0;
}

// Runs `child` (which prints median_us= and failures=) bare, hooked and
// under the earlier build, one of each per iteration.
void measureLoop(benchmark::State& state, const std::vector<std::string>& child) {
  const Devices d = devicesFor(static_cast<SetUp>(state.range(0)));
  if (d.error != nullptr) return state.SkipWithError(d.error);
  std::vector<double> bare, hooked, before;
  std::string out;
  auto measure = [&](const std::vector<std::string>& argv, std::vector<double>& into) {
    if (run(argv, &out) != 0 || field(out, "failures") != 0) return false;
    into.push_back(field(out, "median_us"));
    return true;
  };
  struct Side {
    std::vector<std::string> argv;
    std::vector<double>* into;
    const char* name;
  };
  std::vector<Side> sides = {{child, &bare, "bare"}, {d.now->launched(child), &hooked, "hooked"}};
  if (d.before != nullptr) sides.push_back({d.before->launched(child), &before, "earlier build's"});
  std::size_t iteration = 0;
  for (auto _ : state) {
    // Each iteration starts with the next side, so that none always runs
    // first (or right after another).
    for (std::size_t k = 0; k < sides.size(); ++k) {
      const Side& side = sides[(iteration + k) % sides.size()];
      if (!measure(side.argv, *side.into))
        return state.SkipWithError((std::string(side.name) + " child failed: " + out).c_str());
    }
    ++iteration;
  }
  report(state, bare, hooked, before);
}

void BM_Connect(benchmark::State& state) {
  measureLoop(state, {selfPath(), "--connect-child"});
}
BENCHMARK(BM_Connect)
    ->ArgName("noShell0_shell1_shell100kGlobal2")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(21)
    ->Unit(benchmark::kMillisecond);

void BM_Datagram(benchmark::State& state) {
  measureLoop(state, {selfPath(), "--datagram-child"});
}
BENCHMARK(BM_Datagram)
    ->ArgName("noShell0_shell1_shell100kGlobal2")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(21)
    ->Unit(benchmark::kMillisecond);

void BM_PythonLoop(benchmark::State& state) {
  measureLoop(state, {"/usr/bin/python3", "-c", kPythonLoop});
}
BENCHMARK(BM_PythonLoop)
    ->ArgName("noShell0_shell1_shell100kGlobal2")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(31)
    ->Unit(benchmark::kMillisecond);

void BM_StartTrue(benchmark::State& state) {
  const Devices d = devicesFor(static_cast<SetUp>(state.range(0)));
  if (d.error != nullptr) return state.SkipWithError(d.error);
  // Wall time, and processor time (less at the mercy of a loaded machine).
  std::vector<double> bare, hooked, before, bareCpu, hookedCpu, beforeCpu;
  auto timed = [](const std::vector<std::string>& argv, std::vector<double>& wall, std::vector<double>& cpu) {
    const auto start = Clock::now();
    double used = 0;
    const int rc = run(argv, nullptr, &used);
    wall.push_back(rc == 0 ? std::chrono::duration<double, std::micro>(Clock::now() - start).count() : -1.0);
    cpu.push_back(used);
    return rc == 0;
  };
  for (auto _ : state) {
    bool ok = timed({"/bin/true"}, bare, bareCpu);
    ok = timed(d.now->launched({"/bin/true"}), hooked, hookedCpu) && ok;
    if (d.before != nullptr) ok = timed(d.before->launched({"/bin/true"}), before, beforeCpu) && ok;
    if (!ok) return state.SkipWithError("/bin/true failed");
  }
  report(state, bare, hooked, before);
  report(state, bareCpu, hookedCpu, beforeCpu, "cpu_");
}
BENCHMARK(BM_StartTrue)
    ->ArgName("noShell0_shell1_shell100kGlobal2")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(41)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--connect-child") == 0) return connectChild();
  if (argc > 1 && std::strcmp(argv[1], "--datagram-child") == 0) return datagramChild();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
