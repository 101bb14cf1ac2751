#include "hook/intercept/KstDecision.h"

#include <gtest/gtest.h>

#include "hook/store/StoreTesting.h"

namespace kst {
namespace {

using plist::Dictionary;
using plist::Value;
using testing::ruleEntries;

constexpr const char* kApp = "com.example.app";

class DecisionTest : public testing::StoreFixture {
 protected:
  void SetUp() override { set(flags_.SpringBoardDidFinish, true); }

  void appEntry(Dictionary entry) { writeRules(Dictionary{{"150", Value(true)}, {kApp, Value(std::move(entry))}}); }

  Decision decide(const std::string& host, int port = 443, const std::string& address = "93.184.216.34",
                  Transport t = Transport::kTCP) {
    if (!m_) m_ = loaded(kApp);
    return decideConnection(*m_, t, Destination{host, port, address});
  }

  std::unique_ptr<KstSettingsManager> m_;
};

#define EXPECT_DECISION(d, v, s)        \
  do {                                  \
    const Decision dd = (d);            \
    EXPECT_EQ(dd.verdict, Verdict::v);  \
    EXPECT_EQ(dd.step, DecisionStep::s) \
        << describeStep(dd.step);       \
  } while (0)

TEST_F(DecisionTest, UnknownDestinationIsUndecidedOnceSpringBoardIsReady) {
  EXPECT_DECISION(decide("nowhere.example"), kUndecided, kUndecided);
  set(flags_.SpringBoardDidFinish, false);
  const Decision d = decide("nowhere.example");
  EXPECT_DECISION(d, kAllow, kSpringBoardNotReady);
  set(flags_.logging, true);
  EXPECT_FALSE(decide("nowhere.example").log) << "letting through before SpringBoard is ready is not logged";
}

TEST_F(DecisionTest, DenyListsComeBeforeAllowListsAtEachLevel) {
  appEntry(Dictionary{{"allow", Value(ruleEntries({"both.example", "app.example"}))},
                      {"deny", Value(ruleEntries({"both.example"}))}});
  writeGlobal(Dictionary{{"globalAllow", Value(ruleEntries({"g.example"}))},
                         {"globalDeny", Value(ruleEntries({"g.example", "gd.example"}))}});
  EXPECT_DECISION(decide("both.example"), kDeny, kAppDeny);
  EXPECT_DECISION(decide("app.example"), kAllow, kAppAllow);
  EXPECT_DECISION(decide("g.example"), kDeny, kGlobalDeny);
  EXPECT_DECISION(decide("gd.example"), kDeny, kGlobalDeny);
}

TEST_F(DecisionTest, GlobalRulesComeBeforeApplicationRules) {
  appEntry(Dictionary{{"deny", Value(ruleEntries({"x.example"}))}});
  writeGlobal(Dictionary{{"globalAllow", Value(ruleEntries({"x.example"}))}});
  EXPECT_DECISION(decide("x.example"), kAllow, kGlobalAllow);
}

TEST_F(DecisionTest, RunWideAnswerAndRespectGlobal) {
  writeGlobal(Dictionary{{"globalDeny", Value(ruleEntries({"blocked.example"}))}});
  m_ = loaded(kApp);
  m_->setTempAllowAllString("1");
  EXPECT_DECISION(decide("blocked.example"), kAllow, kSessionAnswer);

  writeGlobal(Dictionary{{"globalDeny", Value(ruleEntries({"blocked.example"}))}, {"respectGlobal", Value(true)}});
  m_->reloadGlobalSettings();
  EXPECT_DECISION(decide("blocked.example"), kDeny, kGlobalDeny);
  EXPECT_DECISION(decide("other.example"), kAllow, kSessionAnswer);
  m_->setTempAllowAllString("2");
  EXPECT_DECISION(decide("other.example"), kDeny, kSessionAnswer);
  m_->setTempAllowAllString("0");
  EXPECT_DECISION(decide("other.example"), kUndecided, kUndecided);
}

TEST_F(DecisionTest, NetworkBlockBeatsTheWhiteList) {
  writeWhiteList({"white.example"});
  EXPECT_DECISION(decide("white.example"), kAllow, kWhiteList);
  set(flags_.blockNonWiFi, true);
  EXPECT_DECISION(decide("white.example"), kDeny, kNetworkBlock);
  set(flags_.blockNonWiFi, false);
  set(flags_.blockSpecificWiFi, true);
  EXPECT_DECISION(decide("white.example"), kDeny, kNetworkBlock);
}

TEST_F(DecisionTest, WhiteListComparesTheHostExactly) {
  writeWhiteList({"White.example"});
  EXPECT_DECISION(decide("white.example"), kUndecided, kUndecided);
}

TEST_F(DecisionTest, BuiltInHostIsForTcpAndNotForTheSettingsApplication) {
  m_ = loaded(kApp);
  const std::string basic = *m_->basicString();
  EXPECT_DECISION(decide(basic), kAllow, kBuiltInHost);
  EXPECT_DECISION(decide(basic, 53, "1.1.1.1", Transport::kUDP), kUndecided, kUndecided);
  m_ = loaded(std::string(kPanelBundleId));
  EXPECT_DECISION(decide(basic), kUndecided, kUndecided);
}

TEST_F(DecisionTest, AllowEverythingBeforeOrAfterDetailedRules) {
  appEntry(Dictionary{{"allowEverything", Value("2")}, {"allow", Value(ruleEntries({"ok.example"}))}});
  EXPECT_DECISION(decide("ok.example"), kDeny, kAppEverything);
  appEntry(Dictionary{{"allowEverything", Value("2")},
                      {"stillUseRules", Value(true)},
                      {"allow", Value(ruleEntries({"ok.example"}))}});
  m_->reloadAppSettings();
  EXPECT_DECISION(decide("ok.example"), kAllow, kAppAllow);
  EXPECT_DECISION(decide("else.example"), kDeny, kAppEverything);
  appEntry(Dictionary{{"allowEverything", Value("0")}});
  m_->reloadAppSettings();
  EXPECT_DECISION(decide("else.example"), kUndecided, kUndecided);
}

TEST_F(DecisionTest, ApplicationWithoutEntrySkipsApplicationRules) {
  m_ = loaded(kApp);
  EXPECT_FALSE(get(flags_.bundleExistsInPlist));
  m_->addTempDenyRule("*.tracker.example");
  m_->addTempAllowRule("*.a.example.com:443");
  EXPECT_DECISION(decide("x.tracker.example"), kDeny, kTempDeny);
  EXPECT_DECISION(decide("b.a.example.com", 443), kAllow, kTempAllow);
  EXPECT_DECISION(decide("b.a.example.com", 80), kUndecided, kUndecided);
}

TEST_F(DecisionTest, OnlyStepsFourToEightAreLogged) {
  writeGlobal(Dictionary{{"log", Value(true)}, {"globalDeny", Value(ruleEntries({"g.example"}))}});
  writeWhiteList({"w.example"});
  const Decision global = decide("g.example");
  EXPECT_TRUE(global.log);
  EXPECT_EQ(global.what(), "denied");
  EXPECT_FALSE(decide("w.example").log);
  EXPECT_FALSE(decide("n.example").log) << "undecided: the hook logs the answer instead";
  m_->setTempAllowAllString("1");
  const Decision all = decide("n.example");
  EXPECT_TRUE(all.log);
  EXPECT_EQ(all.what(), "allowed");
  set(flags_.logging, false);
  EXPECT_FALSE(decide("g.example").log);
}

TEST_F(DecisionTest, AbsentGlobalListsAreReloadedFirst) {
  writeGlobal(Dictionary{{"globalDeny", Value(ruleEntries({"g.example"}))}});
  KstSettingsManager m(env());
  m.setCurrentBundleIdentifier(kApp);
  m.reloadAppSettings();  // the global part was never loaded
  ASSERT_FALSE(m.globalDenyArray());
  EXPECT_EQ(decideConnection(m, Transport::kTCP, Destination{"g.example", 1, "1.2.3.4"}).verdict, Verdict::kDeny);
}

TEST_F(DecisionTest, UdpReloadsMissingApplicationSettingsBeforeApplicationRules) {
  appEntry(Dictionary{{"deny", Value(ruleEntries({"*:53"}))}});
  KstSettingsManager m(env());
  m.reloadGlobalSettings();
  m.setCurrentBundleIdentifier(kApp);  // no app reload yet
  ASSERT_TRUE(m.needsAppReload());
  set(flags_.bundleExistsInPlist, true);
  const Decision d = decideConnection(m, Transport::kUDP, Destination{"dns.example", 53, "9.9.9.9"});
  EXPECT_DECISION(d, kDeny, kAppDeny);
}

TEST_F(DecisionTest, UdpAllowedAtOnceOnlyWithoutDetailedRules) {
  appEntry(Dictionary{{"allowEverything", Value("1")}});
  m_ = loaded(kApp);
  EXPECT_TRUE(udpAllowedAtOnce(*m_));
  appEntry(Dictionary{{"allowEverything", Value("1")}, {"stillUseRules", Value(true)}});
  m_->reloadAppSettings();
  EXPECT_FALSE(udpAllowedAtOnce(*m_));
  appEntry(Dictionary{{"allowEverything", Value("2")}});
  m_->reloadAppSettings();
  EXPECT_FALSE(udpAllowedAtOnce(*m_));
}

}  // namespace
}  // namespace kst
