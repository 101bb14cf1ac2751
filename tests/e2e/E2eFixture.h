#pragma once

// The end-to-end fixture: a fresh device root laid out by kestrix-install,
// with the scripted prompt, the SpringBoard class tweak, a device hosts file
// and a test/ folder; helpers that write the rule files; programs started
// under kestrix-launch with their stdout captured; loopback servers on
// addresses of the hosts file; the test SpringBoard. Everything a test
// starts is killed when the test ends.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hook/rules/KstFiles.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"
#include "platform/plist/PlistValue.h"
#include "platform/substrate/testing/ProcessRunner.h"
#include "platform/testing/TempRoot.h"

namespace kst::e2e {

using Env = std::map<std::string, std::optional<std::string>>;
using Lines = std::vector<std::string>;

// Addresses of the device hosts file (all loopback, none "localhost").
inline constexpr const char* kTrackerIp = "127.0.0.9";
inline constexpr const char* kTrackerName = "ads.tracker.example";
inline constexpr const char* kShopIp = "127.0.0.10";
inline constexpr const char* kShopName = "shop.example";
inline constexpr const char* kAliasIp = "127.0.0.11";
inline constexpr const char* kAliasReverseName = "first.example";
inline constexpr const char* kAliasLookupName = "second.example";
inline constexpr const char* kApp = "com.example.browser";

inline std::string hostsFileText() {
  return std::string(kTrackerIp) + " " + kTrackerName + "\n" + kShopIp + " " + kShopName + "\n" + kAliasIp +
         " " + kAliasReverseName + "\n" + kAliasIp + " " + kAliasLookupName + "\n";
}

// Waits up to `seconds` for `condition`; never a correctness sleep, only a bound.
inline bool waitFor(const std::function<bool()>& condition, double seconds = 15) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

using testing::launchedProgram;

// A program started with posix_spawn: stdout and stderr to files, stdin
// from a pipe the test may write to.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const Env& env, const std::string& outFile,
          const std::string& errFile) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<std::string> envStrings = testing::environmentWith(env);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0600);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0600);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    stdin_ = fds[1];
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() {
    closeInput();
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }

  void writeLine(const std::string& line) {
    const std::string text = line + "\n";
    if (stdin_ >= 0) [[maybe_unused]]
      ssize_t n = ::write(stdin_, text.data(), text.size());
  }
  void closeInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  // The exit status, 1000 + signal when killed, -1 when never started.
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
  pid_t pid() const { return pid_; }
  // Whether the program has ended (reaping it if so); never blocks.
  bool ended() {
    if (pid_ <= 0 || waited_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    waited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return true;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  bool waited_ = false;
  int status_ = -1;
};

// A TCP listener and a UDP receiver bound to one loopback address.
class Server {
 public:
  explicit Server(const std::string& ip) : ip_(ip) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ok_ = ::bind(tcp_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(tcp_, 512) == 0;
    a.sin_port = htons(static_cast<uint16_t>(portOf(tcp_)));
    // The same port number for both, so one rule with a port covers either.
    ok_ = ok_ && ::bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    timeval tv{10, 0};
    ::setsockopt(udp_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server() {
    ::close(tcp_);
    ::close(udp_);
  }
  bool ok() const { return ok_; }
  const std::string& ip() const { return ip_; }
  std::string port() const { return std::to_string(portOf(tcp_)); }
  // The next datagram, or "" after 10 seconds.
  std::string receive() {
    char buf[256];
    lastPeerLength_ = sizeof lastPeer_;
    const ssize_t n =
        ::recvfrom(udp_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&lastPeer_), &lastPeerLength_);
    if (n <= 0) lastPeerLength_ = 0;
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
  // Answers the sender of the last datagram received.
  bool reply(const std::string& text) {
    return lastPeerLength_ != 0 &&
           ::sendto(udp_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&lastPeer_),
                    lastPeerLength_) == static_cast<ssize_t>(text.size());
  }

 private:
  static int portOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  }
  std::string ip_;
  int tcp_ = -1;
  int udp_ = -1;
  bool ok_ = false;
  sockaddr_storage lastPeer_{};
  socklen_t lastPeerLength_ = 0;
};

inline plist::Array ruleEntries(const std::vector<std::string>& rules) {
  plist::Array out;
  for (const auto& r : rules)
    out.emplace_back(plist::Dictionary{{std::string(files::kRuleKey), plist::Value(r)},
                                       {std::string(files::kDateKey), plist::Value(plist::Date{0})}});
  return out;
}

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef KST_E2E_SANITIZED
    GTEST_SKIP() << "the preloaded libraries of a sanitizer build cannot run in uninstrumented programs";
#endif
    ASSERT_FALSE(temp_.dir().empty());
    ASSERT_EQ(run({KST_INSTALL, "--root", temp_.dir()}, "install"), 0) << text("install.err");
    // The scripted prompt stands in for both prompt libraries.
    for (const char* lib : {"/usr/lib/KestrixHook9Prompt.dylib", "/usr/lib/KestrixHook7Prompt.dylib"})
      copy(KST_E2E_PROMPT, temp_.path(lib));
    const std::string tweaks = temp_.path("/Library/MobileSubstrate/DynamicLibraries");
    copy(KST_E2E_SPRINGBOARD_CLASSES, tweaks + "/A_SpringBoardClasses.dylib");
    const plist::Dictionary filter{
        {"Filter", plist::Dictionary{{"Bundles", plist::Array{plist::Value("com.apple.springboard")}}}}};
    ASSERT_TRUE(
        plist::writeDictionaryFile(FileSystem::real(), tweaks + "/A_SpringBoardClasses.plist", filter, true));
    std::filesystem::create_directories(temp_.dir() + "/test");
    writeText("/etc/hosts", hostsFileText());
  }

  void TearDown() override {
    springBoard_.reset();
  }

  // ---- the device's files ----
  void copy(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(to).parent_path(), ec);
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << from << " -> " << to << ": " << ec.message();
  }
  void writeText(std::string_view devicePath, const std::string& text) {
    ASSERT_TRUE(FileSystem::real().writeFileAtomic(temp_.path(devicePath), text, true));
  }
  void writePlist(std::string_view devicePath, const plist::Dictionary& dict) {
    ASSERT_TRUE(plist::writeDictionaryFile(FileSystem::real(), temp_.path(devicePath), dict, true));
  }
  // The rules file with one application entry (the "150" marker included).
  void writeApp(const std::string& bundleId, plist::Dictionary entry) {
    writePlist(files::kRulesPath, plist::Dictionary{{std::string(files::kMarkerKey), plist::Value(true)},
                                                    {bundleId, plist::Value(std::move(entry))}});
  }
  void writeGlobal(const std::vector<std::string>& deny, const std::vector<std::string>& allow = {},
                   bool log = false) {
    writePlist(files::kGlobalRulesPath,
               plist::Dictionary{{std::string(files::kMarkerKey), plist::Value(true)},
                                 {std::string(files::kGlobalDenyKey), plist::Value(ruleEntries(deny))},
                                 {std::string(files::kGlobalAllowKey), plist::Value(ruleEntries(allow))},
                                 {std::string(files::kLogKey), plist::Value(log)}});
  }
  void writeWhiteList(const std::vector<std::string>& hosts) {
    plist::Array a;
    for (const auto& h : hosts) a.emplace_back(h);
    writePlist(files::kWhiteListPath,
               plist::Dictionary{{std::string(files::kWhiteListKey), plist::Value(a)}});
  }
  void setProductVersion(const std::string& version) {
    writePlist("/System/Library/CoreServices/SystemVersion.plist",
               plist::Dictionary{{"ProductVersion", plist::Value(version)}});
  }
  std::optional<plist::Dictionary> readPlist(std::string_view devicePath) {
    return plist::readDictionaryFile(FileSystem::real(), temp_.path(devicePath));
  }
  std::string text(const std::string& name) const {
    return testing::readText(temp_.dir() + "/" + name);
  }
  Lines lines(const std::string& name) const {
    return testing::readLines(temp_.dir() + "/" + name);
  }

  // ---- programs ----
  Env env() const {
    Env e{{"LD_PRELOAD", std::nullopt}, {"KESTRIX_BUNDLE_ID", std::nullopt}, {"KESTRIX_ROOT", std::nullopt}};
    return e;
  }
  std::vector<std::string> launchArgs(const std::string& bundle, std::vector<std::string> program) const {
    std::vector<std::string> argv = {KST_LAUNCH, bundle, "--root", temp_.dir(), "--"};
    argv.insert(argv.end(), program.begin(), program.end());
    return argv;
  }
  // Runs a program to its end; its stdout and stderr land in `name`.out/.err.
  int run(const std::vector<std::string>& argv, const std::string& name) {
    Process p(argv, env(), temp_.dir() + "/" + name + ".out", temp_.dir() + "/" + name + ".err");
    p.closeInput();
    return p.wait();
  }
  // The test client as `bundle`: its result lines ("tcp ok", "udp errno=1").
  Lines client(const std::string& bundle, const std::vector<std::string>& commands) {
    std::vector<std::string> program = {KST_E2E_CLIENT};
    program.insert(program.end(), commands.begin(), commands.end());
    const int status = run(launchArgs(bundle, program), "client");
    EXPECT_EQ(status, 0) << text("client.err");
    return lines("client.out");
  }
  // Any program under kestrix-launch; its exit status.
  int launch(const std::string& bundle, const std::vector<std::string>& program, const std::string& name) {
    return run(launchArgs(bundle, program), name);
  }
  void notify(const std::string& name) {
    ASSERT_EQ(run({KST_NOTIFY, "post", name, "--root", temp_.dir()}, "notify"), 0) << text("notify.err");
  }

  // Starts the test SpringBoard and waits until it has finished launching
  // and its question and host-name services listen.
  void startSpringBoard() {
    springBoard_ =
        std::make_unique<Process>(launchArgs("com.apple.springboard", {KST_E2E_SPRINGBOARD}), env(),
                                  temp_.dir() + "/springboard.out", temp_.dir() + "/springboard.err");
    const std::string run = temp_.path("/var/run/kestrix/");
    const bool ready = waitFor([&] {
      return std::filesystem::exists(temp_.dir() + "/test/springboard.ready") &&
             std::filesystem::exists(run + "com.Dovrane.Radazira.Service.Window") &&
             std::filesystem::exists(run + "com.Dovrane.Radazira.Service.WindowUDP") &&
             std::filesystem::exists(run + "com.Dovrane.Radazira.Service") &&
             std::filesystem::exists(run + "com.Dovrane.Radazira.HostStuff");
    });
    ASSERT_TRUE(ready) << "SpringBoard not ready: " << text("springboard.err");
  }
  void answers(const Lines& list) {
    std::string all;
    for (const auto& l : list) all += l + "\n";
    std::ofstream(temp_.dir() + "/test/answers") << all;
  }
  Lines questions() const {
    return lines("test/questions");
  }

  testing::TempRoot temp_;
  std::unique_ptr<Process> springBoard_;
};

inline const std::string kOk = " ok";
inline const std::string kRefused = " errno=1";  // EPERM

}  // namespace kst::e2e
