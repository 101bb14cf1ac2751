// Decided connections in real processes: the client under kestrix-launch,
// rules in the device's files, no SpringBoard (so nothing is ever asked).

#include <sys/socket.h>
#include <sys/un.h>

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

class RulesE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(tracker_.ok());
    ASSERT_TRUE(shop_.ok());
  }
  Lines tcpToTracker(const std::string& bundle = kApp) {
    return client(bundle, {"tcp", kTrackerIp, tracker_.port()});
  }

  Server tracker_{kTrackerIp};
  Server shop_{kShopIp};
};

TEST_F(RulesE2eTest, GlobalDenyRefusesEveryKindOfCallWithEperm) {
  writeGlobal({"*.tracker.example"});
  const Lines out = client(
      kApp, {"tcp", kTrackerIp, tracker_.port(), "udp", kTrackerIp, tracker_.port(), "sendmsg", kTrackerIp,
             tracker_.port(), "nonblock", kTrackerIp, tracker_.port(), "tcp", kShopIp, shop_.port()});
  EXPECT_EQ(out, (Lines{"tcp" + kRefused, "udp" + kRefused, "sendmsg" + kRefused, "nonblock" + kRefused,
                        "tcp" + kOk}));
}

TEST_F(RulesE2eTest, UndecidedCallsPassWithoutSpringBoard) {
  const Lines out =
      client(kApp, {"tcp", kTrackerIp, tracker_.port(), "udp", kTrackerIp, tracker_.port(), "sendmsg",
                    kTrackerIp, tracker_.port(), "nonblock", kTrackerIp, tracker_.port()});
  EXPECT_EQ(out, (Lines{"tcp" + kOk, "udp" + kOk, "sendmsg" + kOk, "nonblock" + kOk}));
  // The datagrams really went out, unaltered.
  EXPECT_EQ(tracker_.receive(), "udp");
  EXPECT_EQ(tracker_.receive(), "sendmsg");
}

TEST_F(RulesE2eTest, ApplicationRulesDecideByHostAndPort) {
  writeApp(kApp, plist::Dictionary{{"deny", ruleEntries({kTrackerName})},
                                   {"allow", ruleEntries({std::string(kShopName) + ":" + shop_.port()})}});
  EXPECT_EQ(tcpToTracker(), (Lines{"tcp" + kRefused}));
  EXPECT_EQ(client(kApp, {"tcp", kShopIp, shop_.port()}), (Lines{"tcp" + kOk}));
  // Another application has no rules: undecided, let through.
  EXPECT_EQ(tcpToTracker("com.example.other"), (Lines{"tcp" + kOk}));
}

TEST_F(RulesE2eTest, VerboseSaysWhichRuleDecidedEachConnection) {
  writeApp(kApp, plist::Dictionary{{"deny", ruleEntries({"*.tracker.example:" + tracker_.port()})}});
  std::vector<std::string> argv = {
      KST_LAUNCH,     kApp,  "--root",   temp_.dir(),     "--verbose", "--display-name", "Browser",   "--",
      KST_E2E_CLIENT, "tcp", kTrackerIp, tracker_.port(), "tcp",       kShopIp,          shop_.port()};
  ASSERT_EQ(run(argv, "verbose"), 0) << text("verbose.err");
  EXPECT_EQ(lines("verbose.out"), (Lines{"tcp" + kRefused, "tcp" + kOk}));
  const std::string err = text("verbose.err");
  EXPECT_NE(err.find("kestrix: Browser -> ads.tracker.example:" + tracker_.port() +
                     " (127.0.0.9) TCP denied by application deny rule \"*.tracker.example:" +
                     tracker_.port() + "\""),
            std::string::npos)
      << err;
  // Undecided and let through: no SpringBoard answered.
  EXPECT_NE(err.find("shop.example:" + shop_.port() +
                     " (127.0.0.10) TCP allowed: no rule decides and no answer came"),
            std::string::npos)
      << err;
  // Without --verbose the program's standard error stays its own.
  client(kApp, {"tcp", kTrackerIp, tracker_.port()});
  EXPECT_EQ(text("client.err").find("kestrix:"), std::string::npos);
}

TEST_F(RulesE2eTest, DenyBeatsAllowOfTheSameLevelAndAddressRulesMatch) {
  writeApp(kApp, plist::Dictionary{{"deny", ruleEntries({"127.0.0.9"})},
                                   {"allow", ruleEntries({"*tracker.example"})}});
  EXPECT_EQ(tcpToTracker(), (Lines{"tcp" + kRefused}));
}

TEST_F(RulesE2eTest, GlobalAllowAndApplicationDeny) {
  writeGlobal({}, {kShopName});
  writeApp(kApp, plist::Dictionary{{"deny", ruleEntries({kShopName, kTrackerName})}});
  // The global allow decides before the application's rules.
  EXPECT_EQ(client(kApp, {"tcp", kShopIp, shop_.port(), "tcp", kTrackerIp, tracker_.port()}),
            (Lines{"tcp" + kOk, "tcp" + kRefused}));
}

TEST_F(RulesE2eTest, WhiteListPassesBeforeGlobalDeny) {
  writeGlobal({"*.tracker.example", "shop.example"});
  writeWhiteList({kTrackerName});
  EXPECT_EQ(client(kApp, {"tcp", kTrackerIp, tracker_.port(), "tcp", kShopIp, shop_.port()}),
            (Lines{"tcp" + kOk, "tcp" + kRefused}));
}

TEST_F(RulesE2eTest, AllowEverythingWithAndWithoutStillUseRules) {
  writeApp(kApp,
           plist::Dictionary{{"allowEverything", plist::Value("1")}, {"deny", ruleEntries({kTrackerName})}});
  EXPECT_EQ(tcpToTracker(), (Lines{"tcp" + kOk}));
  writeApp(kApp, plist::Dictionary{{"allowEverything", plist::Value("1")},
                                   {"stillUseRules", plist::Value(true)},
                                   {"deny", ruleEntries({kTrackerName})}});
  EXPECT_EQ(client(kApp, {"tcp", kTrackerIp, tracker_.port(), "tcp", kShopIp, shop_.port()}),
            (Lines{"tcp" + kRefused, "tcp" + kOk}));
}

TEST_F(RulesE2eTest, DenyEverythingWithAndWithoutStillUseRules) {
  writeApp(kApp,
           plist::Dictionary{{"allowEverything", plist::Value("2")}, {"allow", ruleEntries({kTrackerName})}});
  EXPECT_EQ(client(kApp, {"tcp", kTrackerIp, tracker_.port(), "udp", kShopIp, shop_.port()}),
            (Lines{"tcp" + kRefused, "udp" + kRefused}));
  writeApp(kApp, plist::Dictionary{{"allowEverything", plist::Value("2")},
                                   {"stillUseRules", plist::Value(true)},
                                   {"allow", ruleEntries({kTrackerName})}});
  EXPECT_EQ(client(kApp, {"tcp", kTrackerIp, tracker_.port(), "tcp", kShopIp, shop_.port()}),
            (Lines{"tcp" + kOk, "tcp" + kRefused}));
}

TEST_F(RulesE2eTest, DisabledMarkerAndDisabledApplicationPassEverything) {
  writeGlobal({"*.tracker.example"});
  writeApp(kApp, plist::Dictionary{{"allowEverything", plist::Value("2")}});
  ASSERT_EQ(tcpToTracker(), (Lines{"tcp" + kRefused}));

  writeText(files::kDisabledMarkerPath, "");
  EXPECT_EQ(client(kApp, {"tcp", kTrackerIp, tracker_.port(), "udp", kTrackerIp, tracker_.port()}),
            (Lines{"tcp" + kOk, "udp" + kOk}));
  EXPECT_EQ(tracker_.receive(), "udp");

  std::filesystem::remove(temp_.path(files::kDisabledMarkerPath));
  writeApp(kApp, plist::Dictionary{{"allowEverything", plist::Value("2")}, {"enabled", plist::Value(false)}});
  EXPECT_EQ(tcpToTracker(), (Lines{"tcp" + kOk}));
}

TEST_F(RulesE2eTest, LocalSocketsAreNeverJudged) {
  writeApp(kApp, plist::Dictionary{{"allowEverything", plist::Value("2")}});
  const std::string path = temp_.dir() + "/test/local.sock";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 8), 0);
  EXPECT_EQ(client(kApp, {"unix", path, "tcp", kTrackerIp, tracker_.port()}),
            (Lines{"unix" + kOk, "tcp" + kRefused}));
  ::close(fd);
}

TEST_F(RulesE2eTest, ManyThreadsAreEachJudged) {
  writeApp(kApp, plist::Dictionary{{"deny", ruleEntries({kTrackerName})}});
  const Lines denied = client(kApp, {"threads", "24", kTrackerIp, tracker_.port()});
  EXPECT_EQ(denied, Lines(24, "tcp" + kRefused));
  const Lines allowed = client(kApp, {"threads", "24", kShopIp, shop_.port()});
  EXPECT_EQ(allowed, Lines(24, "tcp" + kOk));
}

TEST_F(RulesE2eTest, LeftAloneProcessIsNeverJudgedWhateverItsLetterCase) {
  writeGlobal({"*.tracker.example"});
  EXPECT_EQ(tcpToTracker("COM.Apple.BackupD"), (Lines{"tcp" + kOk}));
  EXPECT_EQ(tcpToTracker("com.apple.backupd.other"), (Lines{"tcp" + kRefused}));
}

TEST_F(RulesE2eTest, BothLibraryBuildsJudge) {
  writeGlobal({"*.tracker.example"});
  setProductVersion("8.4");  // KestrixHook7
  EXPECT_EQ(client(kApp, {"tcp", kTrackerIp, tracker_.port(), "udp", kTrackerIp, tracker_.port()}),
            (Lines{"tcp" + kRefused, "udp" + kRefused}));
  setProductVersion("9.3");  // KestrixHook9
  EXPECT_EQ(tcpToTracker(), (Lines{"tcp" + kRefused}));
  std::filesystem::remove(temp_.path("/System/Library/CoreServices/SystemVersion.plist"));
  EXPECT_EQ(tcpToTracker(), (Lines{"tcp" + kRefused}));
}

TEST_F(RulesE2eTest, Python3IsJudged) {
  if (run({"/bin/sh", "-c", "command -v python3"}, "which") != 0) GTEST_SKIP() << "python3 is not installed";
  writeGlobal({"*.tracker.example"});
  const std::string script =
      "import socket,sys\n"
      "for ip,port in ((sys.argv[1],int(sys.argv[2])),(sys.argv[3],int(sys.argv[4]))):\n"
      "  try:\n"
      "    socket.create_connection((ip,port),timeout=10).close(); print('ok')\n"
      "  except OSError as e:\n"
      "    print('errno=%d' % e.errno)\n";
  ASSERT_EQ(
      launch(kApp,
             {"/usr/bin/env", "python3", "-c", script, kTrackerIp, tracker_.port(), kShopIp, shop_.port()},
             "python"),
      0)
      << text("python.err");
  EXPECT_EQ(lines("python.out"), (Lines{"errno=1", "ok"}));
}

}  // namespace
}  // namespace kst::e2e
