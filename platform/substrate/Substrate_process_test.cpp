// The substrate in real processes: a test client started by kestrix-launch
// on a temporary device root whose injection folder holds a test tweak
// (testing/TestTweak.cpp) that hooks the socket functions and the launch
// and resume entries and logs what it sees.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/plist/PlistFile.h"
#include "platform/substrate/TweakLoader.h"
#include "platform/substrate/testing/ProcessRunner.h"
#include "platform/testing/TempRoot.h"

namespace kst::substrate {
namespace {

using testing::field;
using testing::Loopback;
using testing::Spawned;
using testing::TempRoot;
using Env = std::map<std::string, std::optional<std::string>>;

constexpr const char* kClientBundle = "com.example.client";

plist::Dictionary filter(plist::Array bundles, plist::Array executables = {}) {
  plist::Dictionary f;
  if (!bundles.empty()) f.set(kFilterBundlesKey, std::move(bundles));
  if (!executables.empty()) f.set(kFilterExecutablesKey, std::move(executables));
  return plist::Dictionary{{kFilterKey, std::move(f)}};
}

class SubstrateProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = temp_.dir() + "/log.txt";
    const std::string folder = temp_.path(kDynamicLibrariesPath);
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(KST_TEST_TWEAK, folder + "/TestTweak.dylib");
    setFilter(filter({kClientBundle}));
  }

  void setFilter(const plist::Dictionary& dict) {
    ASSERT_TRUE(plist::writeDictionaryFile(
        FileSystem::real(), temp_.path(kDynamicLibrariesPath) + "/TestTweak.plist", dict, false));
  }

  Env env(Env more = {}) const {
    more.emplace("KST_TEST_LOG", log_);
    more.emplace("LD_PRELOAD", std::nullopt);
    more.emplace("KESTRIX_BUNDLE_ID", std::nullopt);
    testing::allowSanitizedPreload(more);
    return more;
  }

  std::vector<std::string> launchArgs(const std::string& bundle,
                                      const std::vector<std::string>& commands) const {
    std::vector<std::string> argv = {KST_LAUNCH, bundle, "--root", temp_.dir(), "--", KST_TEST_CLIENT};
    argv.insert(argv.end(), commands.begin(), commands.end());
    return argv;
  }

  // Runs the client as `bundle` under kestrix-launch; its exit status.
  int launch(const std::string& bundle, const std::vector<std::string>& commands, Env more = {}) {
    Spawned child(launchArgs(bundle, commands), env(std::move(more)), temp_.dir() + "/stderr.txt");
    return child.wait();
  }

  // Runs the client without the launcher (preloaded by hand when asked).
  int runBare(const std::vector<std::string>& commands, Env more = {}) {
    std::vector<std::string> argv = {KST_TEST_CLIENT};
    argv.insert(argv.end(), commands.begin(), commands.end());
    Env e = env();
    for (auto& [k, v] : more) e[k] = v;
    e.emplace("KESTRIX_ROOT", temp_.dir());
    Spawned child(argv, e, temp_.dir() + "/stderr.txt");
    return child.wait();
  }

  std::vector<std::string> lines(const std::string& prefix = "") const {
    std::vector<std::string> out;
    for (const std::string& line : testing::readLines(log_)) {
      if (line.starts_with(prefix)) out.push_back(line);
    }
    return out;
  }
  std::string stderrText() const { return testing::readText(temp_.dir() + "/stderr.txt"); }
  void clearLog() { std::filesystem::remove(log_); }

  TempRoot temp_;
  std::string log_;
  Loopback net_;
};

TEST_F(SubstrateProcessTest, HookSeesTheApplicationsCalls) {
  ASSERT_EQ(launch(kClientBundle, {"tcp", net_.tcpPort(), "udp", net_.udpPort(), "udpmsg", net_.udpPort()}),
            0)
      << stderrText();
  const auto main = lines("main ");
  ASSERT_EQ(main.size(), 1u);
  const std::string pid = field(main[0], "pid");
  EXPECT_EQ(field(main[0], "bundle"), kClientBundle);

  const auto loaded = lines("loaded ");
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(field(loaded[0], "pid"), pid);
  EXPECT_EQ(field(loaded[0], "inside"), "1");  // a tweak's start-up calls are its own

  const auto connects = lines("connect ");
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(field(connects[0], "pid"), pid);
  EXPECT_EQ(field(connects[0], "port"), net_.tcpPort());
  EXPECT_EQ(field(connects[0], "inside"), "1");
  ASSERT_EQ(lines("tcp ").size(), 1u);
  EXPECT_EQ(field(lines("tcp ")[0], "rc"), "0");

  ASSERT_EQ(lines("sendto ").size(), 1u);
  EXPECT_EQ(field(lines("sendto ")[0], "port"), net_.udpPort());
  ASSERT_EQ(lines("sendmsg ").size(), 1u);
  EXPECT_EQ(field(lines("sendmsg ")[0], "port"), net_.udpPort());
  // The calls went through for real.
  EXPECT_EQ(net_.receive(), "udp");
  EXPECT_EQ(net_.receive(), "udpmsg");
}

TEST_F(SubstrateProcessTest, FilterLeavesOtherBundlesAlone) {
  ASSERT_EQ(launch("com.example.other", {"tcp", net_.tcpPort()}), 0) << stderrText();
  EXPECT_EQ(lines("main ").size(), 1u);
  EXPECT_TRUE(lines("loaded ").empty());
  EXPECT_TRUE(lines("connect ").empty());
  EXPECT_EQ(field(lines("tcp ").at(0), "rc"), "0");
}

TEST_F(SubstrateProcessTest, EveryBundleFilterStillNeedsABundle) {
  setFilter(filter({"*"}));
  ASSERT_EQ(launch("com.example.anything", {"tcp", net_.tcpPort()}), 0) << stderrText();
  EXPECT_EQ(lines("loaded ").size(), 1u);
  EXPECT_EQ(lines("connect ").size(), 1u);

  // Preloaded by hand, without an identity: no bundle, not loaded.
  clearLog();
  ASSERT_EQ(runBare({"tcp", net_.tcpPort()}, {{"LD_PRELOAD", KST_SUBSTRATE_LIBRARY}}), 0) << stderrText();
  EXPECT_EQ(lines("main ").size(), 1u);
  EXPECT_EQ(field(lines("main ").at(0), "bundle"), "(none)");
  EXPECT_TRUE(lines("loaded ").empty());

  // An executable filter matches it by name.
  setFilter(filter({}, {"substrate_test_client"}));
  clearLog();
  ASSERT_EQ(runBare({"tcp", net_.tcpPort()}, {{"LD_PRELOAD", KST_SUBSTRATE_LIBRARY}}), 0) << stderrText();
  EXPECT_EQ(lines("loaded ").size(), 1u);
  EXPECT_EQ(lines("connect ").size(), 1u);
}

TEST_F(SubstrateProcessTest, ForkedChildKeepsTheHooks) {
  ASSERT_EQ(launch(kClientBundle, {"fork", "tcp", net_.tcpPort()}), 0) << stderrText();
  const std::string parent = field(lines("main ").at(0), "pid");
  const auto tcp = lines("tcp ");
  ASSERT_EQ(tcp.size(), 1u);
  const std::string child = field(tcp[0], "pid");
  EXPECT_NE(child, parent);
  ASSERT_EQ(lines("connect ").size(), 1u);
  EXPECT_EQ(field(lines("connect ")[0], "pid"), child);
  EXPECT_EQ(lines("loaded ").size(), 1u);  // no exec: the parent's hooks
}

TEST_F(SubstrateProcessTest, ExecedChildIsTheSameApplication) {
  ASSERT_EQ(launch(kClientBundle, {"forkexec", "tcp", net_.tcpPort()}), 0) << stderrText();
  const auto main = lines("main ");
  ASSERT_EQ(main.size(), 2u);
  const std::string child = field(main[1], "pid");
  EXPECT_EQ(field(main[1], "bundle"), kClientBundle);
  const auto loaded = lines("loaded ");
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_EQ(field(loaded[1], "pid"), child);
  ASSERT_EQ(lines("connect ").size(), 1u);
  EXPECT_EQ(field(lines("connect ")[0], "pid"), child);
  EXPECT_EQ(field(lines("tcp ").at(0), "rc"), "0");
}

TEST_F(SubstrateProcessTest, CallFromInsideAReplacementGoesToTheRealFunction) {
  ASSERT_EQ(launch(kClientBundle, {"tcp", net_.tcpPort()}, {{"KST_TEST_NESTED_UDP", net_.udpPort()}}), 0)
      << stderrText();
  EXPECT_EQ(lines("connect ").size(), 1u);
  EXPECT_EQ(net_.receive(), "nested");    // sent by the real sendto...
  EXPECT_TRUE(lines("sendto ").empty());  // ...without reaching its replacement
}

TEST_F(SubstrateProcessTest, LookupOfLocalhostWorksUnderTheHooks) {
  ASSERT_EQ(launch(kClientBundle, {"resolve", "localhost"}), 0) << stderrText();
  const auto lookups = lines("getaddrinfo ");
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_EQ(field(lookups[0], "name"), "localhost");
  EXPECT_EQ(field(lookups[0], "inside"), "1");
  const auto resolved = lines("resolve ");
  ASSERT_EQ(resolved.size(), 1u);
  EXPECT_EQ(field(resolved[0], "rc"), "0");
  EXPECT_EQ(field(resolved[0], "address"), "127.0.0.1");
  EXPECT_TRUE(lines("connect ").empty());
  EXPECT_TRUE(lines("sendto ").empty());
}

TEST_F(SubstrateProcessTest, NonBlockingConnectKeepsItsErrnoAndFlags) {
  ASSERT_EQ(launch(kClientBundle, {"nonblock", net_.tcpPort()}), 0) << stderrText();
  const auto result = lines("nonblock ");
  ASSERT_EQ(result.size(), 1u);
  const std::string rc = field(result[0], "rc");
  const std::string err = field(result[0], "errno");
  EXPECT_TRUE((rc == "-1" && err == "EINPROGRESS") || (rc == "0" && err == "0")) << result[0];
  EXPECT_EQ(field(result[0], "nonblocking"), "1");
  EXPECT_EQ(lines("connect ").size(), 1u);
}

TEST_F(SubstrateProcessTest, BadAddressesBehaveAsWithoutTheSubstrate) {
  ASSERT_EQ(runBare({"badaddr"}), 0) << stderrText();
  const auto bare = lines("badaddr ");
  ASSERT_EQ(bare.size(), 11u);
  clearLog();
  ASSERT_EQ(launch(kClientBundle, {"badaddr"}), 0) << stderrText();
  EXPECT_EQ(lines("badaddr "), bare);
  const auto connects = lines("connect ");
  ASSERT_EQ(connects.size(), 5u);
  for (const std::string& line : connects) EXPECT_EQ(field(line, "port"), "-1") << line;
}

TEST_F(SubstrateProcessTest, CurlWithoutLibcurlFailsWithoutForwarding) {
  ASSERT_EQ(launch(kClientBundle, {"curl"}), 0) << stderrText();
  EXPECT_EQ(field(lines("curl ").at(0), "rc"), "2");  // CURLE_FAILED_INIT
}

TEST_F(SubstrateProcessTest, LaunchEntryRunsOnceBeforeMain) {
  struct Case {
    const char* mode;
    std::size_t functions;
    std::size_t methods;
  };
  for (const Case& c :
       {Case{"function", 1, 0}, Case{"method", 0, 1}, Case{"both", 1, 1}, Case{"none", 0, 0}}) {
    clearLog();
    ASSERT_EQ(launch(kClientBundle, {"exit", "0"}, {{"KST_TEST_LAUNCH", c.mode}}), 0) << stderrText();
    const auto all = lines();
    const auto mainAt =
        std::find_if(all.begin(), all.end(), [](const std::string& l) { return l.starts_with("main "); });
    ASSERT_NE(mainAt, all.end()) << c.mode;
    EXPECT_EQ(lines("launch function ").size(), c.functions) << c.mode;
    EXPECT_EQ(lines("launch method ").size(), c.methods) << c.mode;
    for (auto it = mainAt; it != all.end(); ++it)
      EXPECT_FALSE(it->starts_with("launch ")) << c.mode << ": " << *it;
  }
}

TEST_F(SubstrateProcessTest, ContinueSignalResumesOnTheMainQueue) {
  Spawned client(launchArgs(kClientBundle, {"wait-resume"}), env(), temp_.dir() + "/stderr.txt");
  ASSERT_GT(client.pid(), 0);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (lines("waiting ").empty() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(lines("waiting ").size(), 1u) << stderrText();
  // The program, below the launcher and its supervisor.
  const pid_t program = kst::testing::launchedProgram(client.pid());
  EXPECT_EQ(field(lines("waiting ")[0], "pid"), std::to_string(program));
  ASSERT_EQ(::kill(program, SIGCONT), 0);
  EXPECT_EQ(client.wait(), 0) << stderrText();
  const auto resumes = lines("resume ");
  ASSERT_EQ(resumes.size(), 1u);
  EXPECT_EQ(field(resumes[0], "thread"), "kst-main-queue");
}

}  // namespace
}  // namespace kst::substrate
