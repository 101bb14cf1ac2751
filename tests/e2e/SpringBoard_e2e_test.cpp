// With the test SpringBoard running: undecided connections are asked and
// the scripted prompt's answer is applied, decisions are logged, and names
// that the application looked up name the destination.

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

class SpringBoardE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(tracker_.ok());
    ASSERT_TRUE(alias_.ok());
  }
  // Attempts until SpringBoard has been asked; the last line is the attempt
  // that got the answer.
  Lines askedTracker(const std::string& bundle = kApp) {
    return client(bundle, {"asked", temp_.dir() + "/test/questions", "tcp", kTrackerIp, tracker_.port()});
  }
  // The application's entry in the rules file, or null.
  std::optional<plist::Dictionary> appEntry(const std::string& bundle = kApp) {
    auto file = readPlist(files::kRulesPath);
    if (!file) return std::nullopt;
    const plist::Dictionary* entry = file->dictionary(bundle);
    return entry != nullptr ? std::optional<plist::Dictionary>(*entry) : std::nullopt;
  }
  static bool holdsRule(const plist::Dictionary& entry, std::string_view list, const std::string& rule) {
    const plist::Array* rules = entry.array(list);
    if (rules == nullptr) return false;
    for (const plist::Value& v : *rules) {
      const plist::Dictionary* d = v.asDictionary();
      const std::string* r = d != nullptr ? d->string(files::kRuleKey) : nullptr;
      if (r != nullptr && *r == rule) return true;
    }
    return false;
  }
  // The log file as UTF-8 (it is UTF-16 with a byte-order mark).
  std::string logText() {
    const std::string bytes = testing::readText(temp_.path(files::kLogPath));
    std::string out;
    if (bytes.size() < 2) return out;
    const bool little = static_cast<unsigned char>(bytes[0]) == 0xFF;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const unsigned lo = static_cast<unsigned char>(bytes[i]), hi = static_cast<unsigned char>(bytes[i + 1]);
      const unsigned unit = little ? (hi << 8 | lo) : (lo << 8 | hi);
      out += unit < 0x80 ? static_cast<char>(unit) : '?';  // the lines tested are ASCII
    }
    return out;
  }

  Server tracker_{kTrackerIp};
  Server alias_{kAliasIp};
};

TEST_F(SpringBoardE2eTest, AlwaysDenyWritesTheRuleAndRefuses) {
  startSpringBoard();
  answers({"3 0 0"});
  const Lines out = askedTracker();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), "tcp" + kRefused);
  const Lines asked = questions();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].substr(0, asked[0].find(' ')), kTrackerName);
  EXPECT_NE(asked[0].find(" " + tracker_.port() + " " + kApp + " "), std::string::npos) << asked[0];

  // The rule writer has stored the rule; a new process is refused without asking.
  ASSERT_TRUE(waitFor([&] {
    auto entry = appEntry();
    return entry && holdsRule(*entry, files::kDenyKey, kTrackerName);
  })) << "rules file: " << testing::readText(temp_.path(files::kRulesPath));
  EXPECT_EQ(client(kApp, {"tcp", kTrackerIp, tracker_.port()}), (Lines{"tcp" + kRefused}));
  EXPECT_EQ(questions().size(), 1u);
}

TEST_F(SpringBoardE2eTest, SessionAllowLastsForTheProcess) {
  startSpringBoard();
  answers({"6 0 0"});
  const Lines out = client(kApp, {"asked", temp_.dir() + "/test/questions", "tcp", kTrackerIp, tracker_.port(), "tcp",
                                  kTrackerIp, tracker_.port()});
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[out.size() - 2], "tcp" + kOk);
  EXPECT_EQ(out.back(), "tcp" + kOk);
  EXPECT_EQ(questions().size(), 1u);  // the second attempt matched the temporary rule
  // Nothing lasting was written.
  auto entry = appEntry();
  EXPECT_FALSE(entry && holdsRule(*entry, files::kAllowKey, kTrackerName));
}

TEST_F(SpringBoardE2eTest, AllowOnceAndDenyOnceAskEveryTime) {
  startSpringBoard();
  answers({"0 0 0", "1 0 0"});
  const Lines out = client(kApp, {"asked", temp_.dir() + "/test/questions", "tcp", kTrackerIp, tracker_.port(), "tcp",
                                  kTrackerIp, tracker_.port()});
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[out.size() - 2], "tcp" + kOk);
  EXPECT_EQ(out.back(), "tcp" + kRefused);
  EXPECT_EQ(questions().size(), 2u);
}

TEST_F(SpringBoardE2eTest, UdpQuestionCarriesThePayload) {
  startSpringBoard();
  answers({"1 0 0"});
  // The first datagram may pass before SpringBoard has said it is ready;
  // the client then asks through TCP until the questions file appears.
  const Lines out = client(kApp, {"udp", kTrackerIp, tracker_.port()});
  ASSERT_EQ(out.size(), 1u);
  if (out[0] == "udp" + kRefused) {
    const Lines asked = questions();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], std::string(kTrackerName) + " " + tracker_.port() + " " + kApp + " udp");
  } else {
    EXPECT_EQ(out[0], "udp" + kOk);
    EXPECT_TRUE(questions().empty());
  }
}

TEST_F(SpringBoardE2eTest, DecidedCallsAreLogged) {
  writeGlobal({"*.tracker.example"}, {kAliasReverseName}, true);
  startSpringBoard();
  ASSERT_EQ(launch(kApp,
                   {KST_E2E_CLIENT, "tcp", kTrackerIp, tracker_.port(), "tcp", kAliasIp, alias_.port()},
                   "client"),
            0);
  EXPECT_EQ(lines("client.out"), (Lines{"tcp" + kRefused, "tcp" + kOk}));
  const std::string denied = ": connection denied to " + std::string(kTrackerName) + " via port: " + tracker_.port();
  const std::string allowed =
      ": connection allowed to " + std::string(kAliasReverseName) + " via port: " + alias_.port();
  ASSERT_TRUE(waitFor([&] {
    const std::string log = logText();
    return log.find(denied) != std::string::npos && log.find(allowed) != std::string::npos;
  })) << "log: " << logText();
  // Both lines name the application and end the line.
  EXPECT_NE(logText().find("kst_e2e_client" + denied + "\n"), std::string::npos) << logText();
}

TEST_F(SpringBoardE2eTest, NothingIsLoggedWhenLoggingIsOff) {
  writeGlobal({"*.tracker.example"}, {}, false);
  startSpringBoard();
  EXPECT_EQ(client(kApp, {"tcp", kTrackerIp, tracker_.port()}), (Lines{"tcp" + kRefused}));
  // A logged call afterwards proves the log path works; the first left no line.
  writeGlobal({"*.tracker.example"}, {}, true);
  EXPECT_EQ(client(kApp, {"udp", kTrackerIp, tracker_.port()}), (Lines{"udp" + kRefused}));
  ASSERT_TRUE(waitFor([&] { return !logText().empty(); }));
  const std::string log = logText();
  EXPECT_EQ(log.find("connection denied"), log.rfind("connection denied")) << log;
}

TEST_F(SpringBoardE2eTest, NameLookedUpByTheApplicationNamesTheDestination) {
  // The reverse lookup of 127.0.0.11 gives first.example; the application
  // itself asked for second.example.
  writeApp(kApp, plist::Dictionary{{"deny", ruleEntries({kAliasLookupName})},
                                   {"allow", ruleEntries({kAliasReverseName})}});
  startSpringBoard();
  EXPECT_EQ(client(kApp, {"tcp", kAliasIp, alias_.port()}), (Lines{"tcp" + kOk}));
  // SpringBoard resolves the name on its worker thread, so the map may learn
  // it just after the application's own connect: the next one is judged by
  // the name.
  EXPECT_TRUE(waitFor([&] {
    return client(kApp, {"lookup", kAliasLookupName, alias_.port()}) == Lines{"lookup" + kRefused};
  }));
  // From then on the address is known by the looked-up name, whoever asks.
  EXPECT_EQ(client(kApp, {"tcp", kAliasIp, alias_.port()}), (Lines{"tcp" + kRefused}));
}

TEST_F(SpringBoardE2eTest, CurlIsJudgedByTheNameItLookedUp) {
  if (run({"/bin/sh", "-c", "command -v curl"}, "which") != 0) GTEST_SKIP() << "curl is not installed";
  writeApp(kApp, plist::Dictionary{{"deny", ruleEntries({kAliasLookupName})},
                                   {"allow", ruleEntries({kAliasReverseName})}});
  startSpringBoard();
  // curl's exit status 7 is "could not connect".
  const std::string url = "http://" + std::string(kAliasLookupName) + ":" + alias_.port() + "/";
  // SpringBoard learns the name on its worker thread; a later run is judged
  // by it for certain.
  EXPECT_TRUE(waitFor([&] { return launch(kApp, {"/usr/bin/env", "curl", "-s", "-m", "3", url}, "curl") == 7; }))
      << text("curl.err");
  // The address is now known by the name curl looked up, so the same
  // server by its address is refused too.
  const std::string direct = "http://" + std::string(kAliasIp) + ":" + alias_.port() + "/";
  EXPECT_EQ(launch(kApp, {"/usr/bin/env", "curl", "-s", "-m", "3", direct}, "curl"), 7) << text("curl.err");
}

}  // namespace
}  // namespace kst::e2e
