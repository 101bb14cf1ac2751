// What the substrate costs an application:
// - connect() to a loopback listener, bare (the C library's own) and through
//   the substrate's trampoline with nothing installed; and connect() on a bad
//   descriptor, which isolates the trampoline's own cost from the kernel's;
// - starting a trivial program bare, with libsubstrate.so preloaded, and
//   under kestrix-launch (one more exec): the child's CPU time, and its
//   wall time as the counter wall_us.
// The trampoline is measured in this process: libsubstrate.so is opened
// privately, so its exported connect() is the trampoline and the process's
// own connect() stays the C library's.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using ConnectFn = int (*)(int, const sockaddr*, socklen_t);

// A listener that accepts and closes every connection, so the backlog never fills.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr_.sin_family = AF_INET;
    addr_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_);
    socklen_t len = sizeof addr_;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr_), &len);
    ::listen(fd_, 4096);
    std::thread([fd = fd_] {
      for (;;) {
        const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) ::close(c);
      }
    }).detach();
  }
  const sockaddr* addr() const { return reinterpret_cast<const sockaddr*>(&addr_); }

 private:
  int fd_ = -1;
  sockaddr_in addr_{};
};

Listener& listener() {
  static Listener* const l = new Listener;
  return *l;
}

ConnectFn libcConnect() {
  static const auto fn =
      reinterpret_cast<ConnectFn>(::dlsym(::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD), "connect"));
  return fn;
}

ConnectFn trampolineConnect() {
  static const auto fn = [] {
    // An empty device root: no library of the user's gets loaded here.
    static std::string root = (std::filesystem::temp_directory_path() / "kst-bench-root").string();
    std::filesystem::create_directories(root);
    ::setenv("KESTRIX_ROOT", root.c_str(), 1);
    void* lib = ::dlopen(KST_SUBSTRATE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    return lib != nullptr ? reinterpret_cast<ConnectFn>(::dlsym(lib, "connect")) : nullptr;
  }();
  return fn;
}

void connectLoop(benchmark::State& state, ConnectFn connectFn) {
  if (connectFn == nullptr) {
    state.SkipWithError("connect not found");
    return;
  }
  const sockaddr* to = listener().addr();
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connectFn(fd, to, sizeof(sockaddr_in)) != 0) state.SkipWithError("connect failed");
    ::close(fd);
  }
}

void BM_ConnectLoopbackBare(benchmark::State& state) {
  connectLoop(state, libcConnect());
}
void BM_ConnectLoopbackSubstrateNothingInstalled(benchmark::State& state) {
  connectLoop(state, trampolineConnect());
}

void badDescriptorLoop(benchmark::State& state, ConnectFn connectFn) {
  if (connectFn == nullptr) {
    state.SkipWithError("connect not found");
    return;
  }
  const sockaddr* to = listener().addr();
  for (auto _ : state) benchmark::DoNotOptimize(connectFn(-1, to, sizeof(sockaddr_in)));
}

void BM_ConnectBadDescriptorBare(benchmark::State& state) {
  badDescriptorLoop(state, libcConnect());
}
void BM_ConnectBadDescriptorTrampoline(benchmark::State& state) {
  badDescriptorLoop(state, trampolineConnect());
}

double cpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Starts argv with the environment plus `extra` and waits for it.
void startLoop(benchmark::State& state, const std::vector<std::string>& argv,
               const std::vector<std::string>& extra) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (!entry.starts_with("LD_PRELOAD=")) envStrings.push_back(entry);
  }
  envStrings.insert(envStrings.end(), extra.begin(), extra.end());
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);
  double wallSeconds = 0;
  for (auto _ : state) {
    // The time reported is the child's own CPU time (user + system), which
    // a loaded machine disturbs far less than the wall clock.
    rusage before{};
    ::getrusage(RUSAGE_CHILDREN, &before);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (::posix_spawn(&pid, argp[0], nullptr, nullptr, argp.data(), envp.data()) != 0) {
      state.SkipWithError("cannot start");
      break;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage after{};
    ::getrusage(RUSAGE_CHILDREN, &after);
    state.SetIterationTime(cpuSeconds(after) - cpuSeconds(before));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("program failed");
  }
  state.counters["wall_us"] = benchmark::Counter(wallSeconds * 1e6 / static_cast<double>(state.iterations()));
}

std::string emptyRoot() {
  static const std::string root = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "kst-bench-root").string();
    std::filesystem::create_directories(dir);
    return dir;
  }();
  return root;
}

void BM_StartTrivialProgramBare(benchmark::State& state) {
  startLoop(state, {"/bin/true"}, {});
}
void BM_StartTrivialProgramPreloaded(benchmark::State& state) {
  startLoop(state, {"/bin/true"},
            {std::string("LD_PRELOAD=") + KST_SUBSTRATE_LIBRARY, "KESTRIX_ROOT=" + emptyRoot(),
             "KESTRIX_BUNDLE_ID=com.example.bench"});
}
void BM_StartTrivialProgramUnderLaunch(benchmark::State& state) {
  startLoop(state, {KST_LAUNCH, "com.example.bench", "--root", emptyRoot(), "--", "/bin/true"}, {});
}

BENCHMARK(BM_ConnectLoopbackBare)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ConnectLoopbackSubstrateNothingInstalled)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ConnectBadDescriptorBare)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ConnectBadDescriptorTrampoline)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_StartTrivialProgramBare)->Repetitions(5)->ReportAggregatesOnly(true)->UseManualTime();
BENCHMARK(BM_StartTrivialProgramPreloaded)->Repetitions(5)->ReportAggregatesOnly(true)->UseManualTime();
BENCHMARK(BM_StartTrivialProgramUnderLaunch)->Repetitions(5)->ReportAggregatesOnly(true)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
