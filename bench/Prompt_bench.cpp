// The prompt's latency in real processes: the shell (`springboard`,
// headless) with its prompt library, and a program under kestrix-launch
// making undecided connections to a loopback server.
//
//  - BM_UndecidedConnectToPromptOnScreen: from the program's connect() to
//    the shell reporting the prompt window on screen (polled on the control
//    socket every 0.2 ms).
//  - BM_TapToConnectReturns: from the tap on "Once" (sent on the control
//    socket) to the program's connect() having returned (its result line
//    read from a pipe).
// Counters: median_ms, p90_ms over the iterations.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/springboard/ControlProtocol.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kServerIp = "127.0.0.10";

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, int in, int out) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("KESTRIX_", 0) == 0) continue;
    env.push_back(entry);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// A device root with the shell running, a loopback server and one client
// that connects once per line it reads.
struct Rig {
  std::string root;
  int listener = -1;
  pid_t shell = -1;
  pid_t client = -1;
  int clientIn = -1;
  int clientOut = -1;
  std::shared_ptr<kst::MessagingCenter> control;

  Rig() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kst-prompt-bench-XXXXXX").string();
    root = ::mkdtemp(tmpl.data()) != nullptr ? tmpl : std::string();
    const pid_t install = spawn({KST_INSTALL, "--root", root}, {}, -1, open("/dev/null", O_WRONLY));
    int status = 0;
    waitpid(install, &status, 0);
    kst::FileSystem::real().writeFileAtomic(root + "/etc/hosts", std::string(kServerIp) + " shop.example\n",
                                            true);

    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, kServerIp, &a.sin_addr);
    socklen_t len = sizeof a;
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), len);
    ::listen(listener, 1024);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);

    shell = spawn({KST_SPRINGBOARD, "--root", root}, {"QT_QPA_PLATFORM=offscreen"}, -1,
                  open("/dev/null", O_WRONLY));
    control = kst::MessagingCenter::centerNamed(kst::springboard::kControlService, kst::DeviceRoot(root));
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::exists(root + "/var/run/kestrix/com.Dovrane.Radazira.Service.Window") &&
           Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    client = spawn({KST_LAUNCH, "com.example.bench", "--root", root, "--", KST_E2E_CLIENT, "lines", "tcp",
                    kServerIp, std::to_string(ntohs(a.sin_port))},
                   {}, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    clientIn = in[1];
    clientOut = out[0];
  }
  ~Rig() {
    if (clientIn >= 0) close(clientIn);
    for (pid_t p : {client, shell})
      if (p > 0) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
      }
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  bool ok() const { return client > 0 && shell > 0 && control; }

  bool promptShown() const {
    const kst::plist::Dictionary reply =
        control->sendMessageAndReceiveReply(kst::springboard::kStateCommand, nullptr);
    const std::string* out = reply.string(kst::springboard::kOutputKey);
    return out != nullptr && out->rfind(kst::springboard::kPromptShownLine, 0) == 0;
  }
  void connectOnce() { [[maybe_unused]] ssize_t n = write(clientIn, "go\n", 3); }
  bool waitForPrompt() {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!promptShown()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  void tapOnce() {
    kst::plist::Dictionary info{{kst::springboard::kArgumentKey, "Once"}};
    control->sendMessageAndReceiveReply(kst::springboard::kTapCommand, &info);
  }
  // The client's next result line.
  std::string readResult() {
    std::string line;
    char c = 0;
    while (read(clientOut, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  // The server's pending connections are taken so the backlog never fills.
  void drain() {
    for (;;) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) break;
      close(fd);
    }
  }
};

// Made on first use; destroyed at exit, which stops the shell and the client.
Rig& rig() {
  static Rig r;
  return r;
}

void report(benchmark::State& state, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p90_ms"] = ms[std::min(ms.size() - 1, ms.size() * 9 / 10)];
}

double since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void BM_UndecidedConnectToPromptOnScreen(benchmark::State& state) {
  Rig& r = rig();
  if (!r.ok()) {
    state.SkipWithError("the shell or the client did not start");
    return;
  }
  std::vector<double> ms;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    r.connectOnce();
    if (!r.waitForPrompt()) {
      state.SkipWithError("no prompt");
      return;
    }
    const double elapsed = since(t0);
    state.SetIterationTime(elapsed / 1000);
    ms.push_back(elapsed);
    r.tapOnce();
    r.readResult();
    r.drain();
    // Let the shell finish the clean-up before the next question.
    while (r.promptShown()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  report(state, ms);
}
BENCHMARK(BM_UndecidedConnectToPromptOnScreen)
    ->UseManualTime()
    ->Iterations(25)
    ->Unit(benchmark::kMillisecond);

void BM_TapToConnectReturns(benchmark::State& state) {
  Rig& r = rig();
  if (!r.ok()) {
    state.SkipWithError("the shell or the client did not start");
    return;
  }
  std::vector<double> ms;
  for (auto _ : state) {
    r.connectOnce();
    if (!r.waitForPrompt()) {
      state.SkipWithError("no prompt");
      return;
    }
    const auto t0 = Clock::now();
    r.tapOnce();
    const std::string result = r.readResult();
    const double elapsed = since(t0);
    if (result != "tcp ok") {
      state.SkipWithError(("unexpected result " + result).c_str());
      return;
    }
    state.SetIterationTime(elapsed / 1000);
    ms.push_back(elapsed);
    r.drain();
    while (r.promptShown()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  report(state, ms);
}
BENCHMARK(BM_TapToConnectReturns)->UseManualTime()->Iterations(25)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
