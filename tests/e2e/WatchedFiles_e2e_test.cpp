// The files every judged call depends on besides the rules (the off-marker,
// the device's hosts file and resolver configuration) changed while a
// program connects in a loop: each change counts for the very next call,
// however it is made, in a forked child, and in a program that closes or
// replaces every descriptor (the library's watch of them among them).

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

constexpr const char* kClosedPort = "9";
constexpr const char* kDnsPort = "53";
constexpr const char* kBlockedName = "blocked.example";
// A loopback nameserver nobody serves: reverse lookups fail at once.
constexpr const char* kQuietNameserver = "nameserver 127.0.0.77";
// Each change is followed by one call; every call must see it.
constexpr int kRounds = 10000;
constexpr int kShortRounds = 400;
constexpr const char* kUnshare = "/usr/bin/unshare";
// A connect let through to a port nobody listens on.
const std::string kNotListening = " errno=" + std::to_string(ECONNREFUSED);

class WatchedFilesE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped()) return;
    writeText("/etc/resolv.conf", std::string(kQuietNameserver) + "\n");
  }
  std::string marker() const { return temp_.path(files::kDisabledMarkerPath); }
  std::string toggled(int passedA, int passedB) const {
    return "toggle " + std::to_string(passedA) + " " + std::to_string(passedB);
  }
  // The first call starts the library's watch; the toggles follow.
  Lines judged(std::vector<std::string> commands) {
    std::vector<std::string> all = {"tcp", kTrackerIp, kClosedPort};
    all.insert(all.end(), commands.begin(), commands.end());
    return client(kApp, all);
  }
  std::vector<std::string> toggleMarker(const std::string& mode, int rounds) {
    return {"toggle", mode, marker(), "", "-", std::to_string(rounds), "tcp", kTrackerIp, kClosedPort};
  }
};

TEST_F(WatchedFilesE2eTest, MarkerWrittenOrRemovedCountsForTheVeryNextConnect) {
  writeGlobal({"*.tracker.example"});
  EXPECT_EQ(judged(toggleMarker("edit", kRounds)), (Lines{"tcp" + kRefused, toggled(kRounds, 0)}))
      << "every connect after the marker was written passes, every one after it was removed is refused";
}

TEST_F(WatchedFilesE2eTest, MarkerRenamedOverAndAwayCountsForTheVeryNextConnect) {
  writeGlobal({"*.tracker.example"});
  EXPECT_EQ(judged(toggleMarker("rename", kShortRounds)),
            (Lines{"tcp" + kRefused, toggled(kShortRounds, 0)}));
}

TEST_F(WatchedFilesE2eTest, MarkerFolderReplacedCountsForTheVeryNextConnect) {
  writeGlobal({"*.tracker.example"});
  // The rules were read at the first call; the folder holding them and the
  // marker is then replaced by a new one, with and without the marker.
  EXPECT_EQ(judged(toggleMarker("folder", kShortRounds)),
            (Lines{"tcp" + kRefused, toggled(kShortRounds, 0)}));
}

TEST_F(WatchedFilesE2eTest, HostsFileEditedReplacedAndDeletedCountsForTheVeryNextConnect) {
  writeApp(kApp, plist::Dictionary{{"deny", plist::Value(ruleEntries({kBlockedName}))}});
  const std::string hosts = temp_.path("/etc/hosts");
  const std::string blocked = std::string(kTrackerIp) + " " + kBlockedName;
  // Same length as `blocked`: an edit in place leaves the size alone.
  const std::string fine = std::string(kTrackerIp) + " " + "fine.example.";
  for (const char* mode : {"edit", "rename"}) {
    EXPECT_EQ(client(kApp, {"tcp", kTrackerIp, kClosedPort, "toggle", mode, hosts, blocked, fine,
                            std::to_string(kShortRounds), "tcp", kTrackerIp, kClosedPort}),
              (Lines{"tcp" + kNotListening, toggled(0, kShortRounds)}))
        << mode;
    // Deleted and made again: without the file the address is its own name.
    EXPECT_EQ(client(kApp, {"toggle", mode, hosts, blocked, "-", std::to_string(kShortRounds), "tcp",
                            kTrackerIp, kClosedPort}),
              (Lines{toggled(0, kShortRounds)}))
        << mode;
    writeText("/etc/hosts", hostsFileText());
  }
}

TEST_F(WatchedFilesE2eTest, ResolverConfigurationChangedCountsForTheVeryNextDatagram) {
  // DNS to a nameserver of the configuration is no connection to a host;
  // to any other server it is judged, and here refused.
  writeGlobal({"*:53"});
  const std::string conf = temp_.path("/etc/resolv.conf");
  const std::string serving = std::string("nameserver ") + kTrackerIp;
  for (const char* mode : {"edit", "rename"}) {
    EXPECT_EQ(client(kApp, {"toggle", mode, conf, serving, kQuietNameserver, std::to_string(kShortRounds),
                            "udp", kTrackerIp, kDnsPort}),
              (Lines{toggled(kShortRounds, 0)}))
        << mode;
    EXPECT_EQ(client(kApp, {"toggle", mode, conf, serving, "-", std::to_string(kShortRounds), "udp",
                            kTrackerIp, kDnsPort}),
              (Lines{toggled(kShortRounds, 0)}))
        << mode;
  }
}

TEST_F(WatchedFilesE2eTest, ForkedChildSeesEveryChange) {
  writeGlobal({"*.tracker.example"});
  std::vector<std::string> commands = {"fork"};
  const std::vector<std::string> toggle = toggleMarker("edit", kShortRounds);
  commands.insert(commands.end(), toggle.begin(), toggle.end());
  EXPECT_EQ(judged(commands), (Lines{"tcp" + kRefused, toggled(kShortRounds, 0)}));
}

TEST_F(WatchedFilesE2eTest, ProgramClosingOrReplacingEveryDescriptorStillSeesEveryChange) {
  writeGlobal({"*.tracker.example"});
  for (const char* takeover : {"closefds", "closefds-raw", "dupall"}) {
    std::vector<std::string> commands = {takeover};
    const std::vector<std::string> toggle = toggleMarker("edit", kShortRounds);
    commands.insert(commands.end(), toggle.begin(), toggle.end());
    // Twice over: the watch renewed (within its check) must be right too.
    commands.insert(commands.end(), toggle.begin(), toggle.end());
    EXPECT_EQ(judged(commands), (Lines{"tcp" + kRefused, toggled(kShortRounds, 0), toggled(kShortRounds, 0)}))
        << takeover;
  }
}

TEST_F(WatchedFilesE2eTest, ProcessAtItsInotifyWatchLimitLooksAtTheFiles) {
  // A user namespace of its own gets a watch limit of its own: none.
  if (run({kUnshare, "-Ur", "/bin/true"}, "probe") != 0) GTEST_SKIP() << "no user namespaces here";
  writeGlobal({"*.tracker.example"});
  std::vector<std::string> argv = {kUnshare, "-Ur", "/bin/sh", "-c",
                                   "echo 0 > /proc/sys/user/max_inotify_watches && exec \"$0\" \"$@\""};
  std::vector<std::string> program = {KST_E2E_CLIENT, "tcp", kTrackerIp, kClosedPort};
  const std::vector<std::string> toggle = toggleMarker("edit", kShortRounds);
  program.insert(program.end(), toggle.begin(), toggle.end());
  const std::vector<std::string> launched = launchArgs(kApp, program);
  argv.insert(argv.end(), launched.begin(), launched.end());
  ASSERT_EQ(run(argv, "limited"), 0) << text("limited.err");
  EXPECT_EQ(lines("limited.out"), (Lines{"tcp" + kRefused, toggled(kShortRounds, 0)}));
}

}  // namespace
}  // namespace kst::e2e
