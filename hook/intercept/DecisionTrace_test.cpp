#include "hook/intercept/DecisionTrace.h"

#include <gtest/gtest.h>

#include "hook/store/StoreTesting.h"

namespace kst {
namespace {

using plist::Dictionary;
using plist::Value;
using testing::ruleEntries;

constexpr const char* kApp = "com.example.app";

class DecisionTraceTest : public testing::StoreFixture {
 protected:
  void SetUp() override { set(flags_.SpringBoardDidFinish, true); }
};

TEST_F(DecisionTraceTest, NamesTheRuleThatDecided) {
  writeRules(Dictionary{
      {"150", Value(true)},
      {kApp, Value(Dictionary{{"deny", Value(ruleEntries({"other.test", "*.tracker.test:443"}))}})}});
  writeGlobal(Dictionary{{"globalAllow", Value(ruleEntries({"cdn.test"}))}});
  auto m = loaded(kApp);
  const Destination tracker{"ads.tracker.test", 443, "127.0.0.9"};
  const Decision d = decideConnection(*m, Transport::kTCP, tracker);
  ASSERT_EQ(d.step, DecisionStep::kAppDeny);
  const std::string rule = matchingRule(*m, d.step, tracker);
  EXPECT_EQ(rule, "*.tracker.test:443");
  EXPECT_EQ(decisionLine("Browser", Transport::kTCP, tracker, d, rule),
            "kestrix: Browser -> ads.tracker.test:443 (127.0.0.9) TCP denied by application deny rule "
            "\"*.tracker.test:443\"\n");

  const Destination cdn{"cdn.test", 80, "cdn.test"};
  const Decision allowed = decideConnection(*m, Transport::kUDP, cdn);
  EXPECT_EQ(matchingRule(*m, allowed.step, cdn), "cdn.test");
  EXPECT_EQ(decisionLine("", Transport::kUDP, cdn, allowed, "cdn.test"),
            "kestrix: (unnamed) -> cdn.test:80 UDP allowed by global allow rule \"cdn.test\"\n");

  // Steps that are no rule list name no rule.
  EXPECT_EQ(matchingRule(*m, DecisionStep::kUndecided, tracker), "");
  EXPECT_EQ(matchingRule(*m, DecisionStep::kWhiteList, tracker), "");
}

TEST(DecisionTraceLineTest, AnswersByTheirNames) {
  const Destination d{"site.test", 8080, "127.0.0.5"};
  EXPECT_EQ(answerLine("App", Transport::kTCP, d, true, 2),
            "kestrix: App -> site.test:8080 (127.0.0.5) TCP allowed by the answer \"always allow\"\n");
  EXPECT_EQ(answerLine("App", Transport::kTCP, d, false, 11),
            "kestrix: App -> site.test:8080 (127.0.0.5) TCP denied by the answer \"deny everything this "
            "session\"\n");
  EXPECT_NE(answerLine("App", Transport::kTCP, d, true, 99).find("\"no answer\""), std::string::npos);
  EXPECT_EQ(
      answerLine("App", Transport::kTCP, d, true, -1),
      "kestrix: App -> site.test:8080 (127.0.0.5) TCP allowed: no rule decides and no answer came (is the "
      "shell running?)\n");
}

}  // namespace
}  // namespace kst
