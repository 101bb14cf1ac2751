#include "hook/intercept/KstDecision.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

// A host moved from the deny list to the allow list and back, and the
// application's switches flipped with it, while 16 threads decide: each
// decision sees one whole rule set, never the new allow list beside the old
// deny list (undecided, or allowed by the wrong step).
TEST_F(DecisionTest, ReloadsWhileSixteenThreadsDecideNeverShowHalfAChange) {
  const Dictionary denied{{"deny", Value(ruleEntries({"moved.example"}))},
                          {"allowEverything", Value("2")},
                          {"stillUseRules", Value(true)}};
  const Dictionary allowed{{"allow", Value(ruleEntries({"moved.example"}))}};
  appEntry(denied);
  m_ = loaded(kApp);
  std::atomic<bool> done{false};
  std::atomic<int> decisions{0};
  std::atomic<int> halves{0};
  std::vector<std::thread> deciders;
  for (int i = 0; i < 16; ++i) {
    deciders.emplace_back([&] {
      const Destination moved{"moved.example", 443, "192.0.2.7"};
      while (!done.load()) {
        const Decision d = decideConnection(*m_, Transport::kTCP, moved);
        const bool whole = (d.verdict == Verdict::kDeny && d.step == DecisionStep::kAppDeny) ||
                           (d.verdict == Verdict::kAllow && d.step == DecisionStep::kAppAllow);
        if (!whole) halves.fetch_add(1);
        decisions.fetch_add(1);
      }
    });
  }
  for (int round = 0; round < 200; ++round) {
    appEntry(round % 2 == 0 ? allowed : denied);
    m_->reloadAppSettings();
  }
  done = true;
  for (auto& t : deciders) t.join();
  EXPECT_GT(decisions.load(), 1000);
  EXPECT_EQ(halves.load(), 0) << "of " << decisions.load() << " decisions";
}

// The order itself over rule sets built in memory: no file, no manager.
TEST(PureDecisionTest, OrderOverATableOfRuleSets) {
  const auto list = [](std::vector<std::string> rules) { return RuleList::make(std::move(rules)); };
  const auto text = [](const char* t) { return std::make_shared<const std::string>(t); };
  const auto app = [&](std::vector<std::string> allow, std::vector<std::string> deny, const char* everything = "",
                       bool detailed = false) {
    auto a = std::make_shared<AppRuleSet>();
    a->inRulesFile = true;
    a->detailedRules = detailed;
    a->allowEverything = text(everything);
    a->allow = list(std::move(allow));
    a->deny = list(std::move(deny));
    a->whiteList = std::make_shared<const std::vector<std::string>>(std::vector<std::string>{"white.example"});
    return a;
  };
  const auto global = [&](std::vector<std::string> allow, std::vector<std::string> deny, bool respect = false) {
    auto g = std::make_shared<GlobalRuleSet>();
    g->allow = list(std::move(allow));
    g->deny = list(std::move(deny));
    g->respectGlobal = respect;
    return g;
  };
  const auto input = [&](std::shared_ptr<AppRuleSet> a, std::shared_ptr<GlobalRuleSet> g, const char* all = "0") {
    auto rules = std::make_shared<RuleSet>();
    rules->app = std::move(a);
    rules->global = std::move(g);
    rules->builtInHost = text("built.in");
    rules->bundleId = text(kApp);
    DecisionInput in;
    in.rules = std::move(rules);
    in.session = SessionAnswers{text(all), list({"session.example"}), list({"sessiondeny.example"})};
    in.canAsk = true;
    in.logging = true;
    return in;
  };
  struct Case {
    const char* what;
    DecisionInput in;
    std::string host;
    Transport transport;
    Verdict verdict;
    DecisionStep step;
  };
  DecisionInput blocked = input(app({"x.example"}, {}), global({}, {}));
  blocked.networkBlocked = true;
  DecisionInput early = input(app({}, {}), global({}, {}));
  early.canAsk = false;
  const std::vector<Case> cases = {
      {"network block first", blocked, "x.example", Transport::kTCP, Verdict::kDeny, DecisionStep::kNetworkBlock},
      {"white list before global deny", input(app({}, {}), global({}, {"white.example"})), "white.example",
       Transport::kTCP, Verdict::kAllow, DecisionStep::kWhiteList},
      {"built-in host over TCP", input(app({}, {"built.in"}), global({}, {})), "built.in", Transport::kTCP,
       Verdict::kAllow, DecisionStep::kBuiltInHost},
      {"built-in host not over UDP", input(app({}, {"built.in"}), global({}, {})), "built.in", Transport::kUDP,
       Verdict::kDeny, DecisionStep::kAppDeny},
      {"run-wide answer over global rules", input(app({}, {}), global({}, {"g.example"}), "1"), "g.example",
       Transport::kTCP, Verdict::kAllow, DecisionStep::kSessionAnswer},
      {"respected global rules over the run-wide answer", input(app({}, {}), global({}, {"g.example"}, true), "1"),
       "g.example", Transport::kTCP, Verdict::kDeny, DecisionStep::kGlobalDeny},
      {"global deny before global allow", input(app({}, {}), global({"g.example"}, {"g.example"})), "g.example",
       Transport::kTCP, Verdict::kDeny, DecisionStep::kGlobalDeny},
      {"global allow before the application's deny", input(app({}, {"g.example"}), global({"g.example"}, {})),
       "g.example", Transport::kTCP, Verdict::kAllow, DecisionStep::kGlobalAllow},
      {"allowEverything before rules", input(app({}, {"a.example"}, "1"), global({}, {})), "a.example",
       Transport::kTCP, Verdict::kAllow, DecisionStep::kAppEverything},
      {"rules before allowEverything when detailed", input(app({}, {"a.example"}, "1", true), global({}, {})),
       "a.example", Transport::kTCP, Verdict::kDeny, DecisionStep::kAppDeny},
      {"allowEverything after detailed rules", input(app({}, {}, "2", true), global({}, {})), "b.example",
       Transport::kTCP, Verdict::kDeny, DecisionStep::kAppEverything},
      {"application deny before allow", input(app({"a.example"}, {"a.example"}), global({}, {})), "a.example",
       Transport::kUDP, Verdict::kDeny, DecisionStep::kAppDeny},
      {"session deny", input(app({}, {}), global({}, {})), "sessiondeny.example", Transport::kTCP, Verdict::kDeny,
       DecisionStep::kTempDeny},
      {"session allow", input(app({}, {}), global({}, {})), "session.example", Transport::kTCP, Verdict::kAllow,
       DecisionStep::kTempAllow},
      {"nothing decides", input(app({}, {}), global({}, {})), "n.example", Transport::kTCP, Verdict::kUndecided,
       DecisionStep::kUndecided},
      {"nothing decides before SpringBoard is ready", early, "n.example", Transport::kTCP, Verdict::kAllow,
       DecisionStep::kSpringBoardNotReady},
      {"nothing read at all", DecisionInput{}, "n.example", Transport::kTCP, Verdict::kAllow,
       DecisionStep::kSpringBoardNotReady},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Decision d = decide(c.in, c.transport, Destination{c.host, 443, "192.0.2.1"});
    EXPECT_EQ(d.verdict, c.verdict);
    EXPECT_EQ(d.step, c.step) << describeStep(d.step);
  }
}

}  // namespace
}  // namespace kst
