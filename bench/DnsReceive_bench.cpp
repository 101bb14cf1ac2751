// The receive path on ordinary sockets: recv() and read() on a loopback TCP
// connection, bare, under the substrate with nothing installed, and in a
// process hooked by the firewall (whose receive replacements look for DNS
// answers, on DNS sockets only). And, for scale, recv() of a DNS answer on a
// DNS socket in the hooked process, where the answer is parsed and
// recorded. The measuring loop runs in a child (this program again,
// "--recv-child KIND"), started bare, preloaded, or under kestrix-launch:
// each round writes 64 bytes into the connection and times the one call
// that reads them. Counters: median_ns and p90_ns of one call.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
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
constexpr int kRounds = 20000;

// ---- the child: the measuring loop ----

// A response to an A question for bench.example with one address.
std::vector<unsigned char> dnsAnswer() {
  std::vector<unsigned char> m = {0x12, 0x34, 0x81, 0x80, 0,   1,   0, 1,    0,   0,   0,   0,
                                  5,    'b',  'e',  'n',  'c', 'h', 7, 'e',  'x', 'a', 'm', 'p',
                                  'l',  'e',  0,    0,    1,   0,   1, 0xc0, 12,  0,   1,   0,
                                  1,    0,    0,    0,    60,  0,   4, 127,  0,   0,   12};
  return m;
}

int recvChild(const std::string& kind) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, kBenchIp, &a.sin_addr);
  const bool dns = kind == "dns";
  int reader = -1;
  int writer = -1;
  if (dns) {
    // A UDP socket that sent to port 53 (nothing listens there) is a DNS
    // socket; the answers come from a socket of our own.
    reader = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (::bind(reader, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
    socklen_t len = sizeof a;
    ::getsockname(reader, reinterpret_cast<sockaddr*>(&a), &len);
    sockaddr_in port53 = a;
    port53.sin_port = htons(53);
    ::sendto(reader, "q", 1, 0, reinterpret_cast<sockaddr*>(&port53), sizeof port53);
    writer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (::connect(writer, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
  } else {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 4) != 0)
      return 1;
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    writer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(writer, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
    reader = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
  }
  const std::vector<unsigned char> payload = dns ? dnsAnswer() : std::vector<unsigned char>(64, 'x');
  std::vector<double> nanos;
  nanos.reserve(kRounds);
  unsigned char buf[512];
  int failures = 0;
  for (int i = 0; i < kRounds; ++i) {
    if (::write(writer, payload.data(), payload.size()) != static_cast<ssize_t>(payload.size())) ++failures;
    const auto start = std::chrono::steady_clock::now();
    const ssize_t n =
        kind == "read" ? ::read(reader, buf, payload.size()) : ::recv(reader, buf, payload.size(), 0);
    const auto end = std::chrono::steady_clock::now();
    if (n != static_cast<ssize_t>(payload.size())) ++failures;
    nanos.push_back(std::chrono::duration<double, std::nano>(end - start).count());
  }
  std::sort(nanos.begin(), nanos.end());
  std::printf("median_ns=%.1f p90_ns=%.1f failures=%d\n", nanos[nanos.size() / 2],
              nanos[nanos.size() * 9 / 10], failures);
  return 0;
}

// ---- the parent ----

using kst::bench::field;
using kst::bench::selfPath;
using kst::bench::spawnAndWait;

// A device root with the system installed, the bench address named in its
// hosts file and allowed by name, and a resolver configuration without
// nameservers. Made once, removed at exit.
class BenchRoot {
 public:
  BenchRoot() {
    char tmpl[] = "/tmp/kst-bench-root-XXXXXX";
    dir_ = ::mkdtemp(tmpl) != nullptr ? tmpl : "";
    if (dir_.empty() || spawnAndWait({KST_INSTALL, "--root", dir_}, {}) != 0) return;
    kst::DeviceRoot root(dir_);
    kst::FileSystem& fs = kst::FileSystem::real();
    fs.writeFileAtomic(root.path("/etc/hosts"), std::string(kBenchIp) + " " + kBenchName + "\n", true);
    fs.writeFileAtomic(root.path("/etc/resolv.conf"), "# none\n", true);
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
  bool ok_ = false;
};

BenchRoot& benchRoot() {
  static BenchRoot root;
  return root;
}

enum class Mode { kBare, kSubstrate, kHooked };

std::vector<std::string> childCommand(Mode mode, const std::string& kind, std::vector<std::string>* env) {
  std::vector<std::string> program = {selfPath(), "--recv-child", kind};
  if (mode == Mode::kSubstrate) {
    env->push_back(std::string("LD_PRELOAD=") + KST_SUBSTRATE_LIBRARY);
    env->push_back("KESTRIX_ROOT=/nonexistent-kst-bench-root");
  }
  if (mode != Mode::kHooked) return program;
  std::vector<std::string> argv = {KST_LAUNCH, kBenchApp, "--root", benchRoot().dir(), "--"};
  argv.insert(argv.end(), program.begin(), program.end());
  return argv;
}

void runChild(benchmark::State& state, const std::string& kind) {
  const Mode mode = static_cast<Mode>(state.range(0));
  if (!benchRoot().ok()) return state.SkipWithError("cannot lay out the bench root");
  std::string out;
  for (auto _ : state) {
    std::vector<std::string> env;
    if (spawnAndWait(childCommand(mode, kind, &env), env, &out) != 0 || field(out, "failures") != 0)
      return state.SkipWithError(("child failed: " + out).c_str());
  }
  state.counters["median_ns"] = field(out, "median_ns");
  state.counters["p90_ns"] = field(out, "p90_ns");
}

void BM_RecvOrdinaryTcp(benchmark::State& state) {
  runChild(state, "recv");
}
void BM_ReadOrdinaryTcp(benchmark::State& state) {
  runChild(state, "read");
}
void BM_RecvDnsAnswer(benchmark::State& state) {
  runChild(state, "dns");
}

BENCHMARK(BM_RecvOrdinaryTcp)
    ->ArgName("bare0_substrate1_hooked2")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadOrdinaryTcp)
    ->ArgName("bare0_substrate1_hooked2")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecvDnsAnswer)
    ->ArgName("bare0_hooked2")
    ->Arg(0)
    ->Arg(2)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--recv-child") == 0) return recvChild(argv[2]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
