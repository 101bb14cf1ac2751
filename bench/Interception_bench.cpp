// The interception's cost in real processes.
//
//  - connect() to a loopback listener: bare, under the substrate with
//    nothing installed, and hooked by the firewall with the destination
//    allowed by an application rule on its name (the device hosts file
//    names it, so the reverse lookup answers from there). The measuring
//    loop runs in a child (this program again, "--connect-child"), started
//    bare, preloaded, or under kestrix-launch; it prints the median and the
//    90th percentile of one connect() in microseconds.
//  - start-up of a trivial program bare and under kestrix-launch.
//  - VmRSS of the child after its loop, bare and hooked.
// Counters: median_us, p90_us, rss_kb.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSpawn.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"

extern char** environ;

namespace {

constexpr const char* kBenchIp = "127.0.0.12";
constexpr const char* kBenchName = "bench.example";
constexpr const char* kBenchApp = "com.example.bench";
constexpr int kConnects = 2000;

// ---- the child: the measuring loop ----

long rssKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

int connectChild() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, kBenchIp, &a.sin_addr);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 1024) != 0)
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
    const auto start = std::chrono::steady_clock::now();
    const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const auto end = std::chrono::steady_clock::now();
    if (rc != 0) ++failures;
    ::close(fd);
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  done = true;
  ::shutdown(listener, SHUT_RDWR);
  acceptor.join();
  std::sort(micros.begin(), micros.end());
  std::printf("median_us=%.3f p90_us=%.3f rss_kb=%ld failures=%d\n", micros[micros.size() / 2],
              micros[micros.size() * 9 / 10], rssKb(), failures);
  return 0;
}

// ---- the parent ----

using kst::bench::field;
using kst::bench::selfPath;
using kst::bench::spawnAndWait;

// A device root with the system installed, a hosts file naming the bench
// listener and an allow rule for it. Made once, removed at exit.
class BenchRoot {
 public:
  BenchRoot() {
    char tmpl[] = "/tmp/kst-bench-root-XXXXXX";
    dir_ = ::mkdtemp(tmpl) != nullptr ? tmpl : "";
    if (dir_.empty() || spawnAndWait({KST_INSTALL, "--root", dir_}, {}) != 0) {
      ok_ = false;
      return;
    }
    kst::DeviceRoot root(dir_);
    kst::FileSystem& fs = kst::FileSystem::real();
    fs.writeFileAtomic(root.path("/etc/hosts"), std::string(kBenchIp) + " " + kBenchName + "\n", true);
    const kst::plist::Dictionary rule{{"rule", kst::plist::Value(kBenchName)},
                                      {"date", kst::plist::Value(kst::plist::Date{0})}};
    const kst::plist::Dictionary app{
        {"allow", kst::plist::Value(kst::plist::Array{kst::plist::Value(rule)})}};
    ok_ = kst::plist::writeDictionaryFile(
        fs, root.path("/var/mobile/Library/Preferences/com.Dovrane.FirewallRules2.plist"),
        kst::plist::Dictionary{{"150", kst::plist::Value(true)}, {kBenchApp, kst::plist::Value(app)}}, true);
  }
  ~BenchRoot() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  bool ok() const { return ok_; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  bool ok_ = true;
};

BenchRoot& benchRoot() {
  static BenchRoot root;
  return root;
}

enum class Mode { kBare, kSubstrate, kHooked };

std::vector<std::string> childCommand(Mode mode, std::vector<std::string> program,
                                      std::vector<std::string>* env) {
  if (mode == Mode::kSubstrate) {
    // Preloaded on an empty root: nothing is injected, no hook installed.
    env->push_back(std::string("LD_PRELOAD=") + KST_SUBSTRATE_LIBRARY);
    env->push_back("KESTRIX_ROOT=/nonexistent-kst-bench-root");
  }
  if (mode == Mode::kHooked) {
    std::vector<std::string> argv = {KST_LAUNCH, kBenchApp, "--root", benchRoot().dir(), "--"};
    argv.insert(argv.end(), program.begin(), program.end());
    return argv;
  }
  return program;
}

void BM_ConnectLoopback(benchmark::State& state) {
  const Mode mode = static_cast<Mode>(state.range(0));
  if (!benchRoot().ok()) return state.SkipWithError("cannot lay out the bench root");
  std::string out;
  for (auto _ : state) {
    std::vector<std::string> env;
    const auto argv = childCommand(mode, {selfPath(), "--connect-child"}, &env);
    if (spawnAndWait(argv, env, &out) != 0 || field(out, "failures") != 0)
      return state.SkipWithError(("child failed: " + out).c_str());
  }
  state.counters["median_us"] = field(out, "median_us");
  state.counters["p90_us"] = field(out, "p90_us");
  state.counters["rss_kb"] = field(out, "rss_kb");
}
BENCHMARK(BM_ConnectLoopback)
    ->ArgName("bare0_substrate1_hooked2")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_StartTrivialProgram(benchmark::State& state) {
  const Mode mode = static_cast<Mode>(state.range(0));
  if (!benchRoot().ok()) return state.SkipWithError("cannot lay out the bench root");
  for (auto _ : state) {
    std::vector<std::string> env;
    if (spawnAndWait(childCommand(mode, {"/bin/true"}, &env), env) != 0)
      return state.SkipWithError("/bin/true failed");
  }
}
BENCHMARK(BM_StartTrivialProgram)
    ->ArgName("bare0_hooked2")
    ->Arg(0)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--connect-child") == 0) return connectChild();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
