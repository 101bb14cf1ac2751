#include "hook/store/RuleExpiry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "hook/store/StoreTesting.h"

namespace kst {
namespace {

using plist::Dictionary;
using plist::Value;

Value entry(const std::string& rule, std::optional<double> expires = std::nullopt) {
  Dictionary d{{"rule", Value(rule)}, {"date", Value(plist::Date{0})}};
  if (expires) d.set("expires", plist::Date{*expires});
  return Value(std::move(d));
}

TEST(RuleExpiryTest, WritersDropExpiredRulesAndKeepTheRest) {
  const plist::Date now{1000};
  Dictionary rules{
      {"150", Value(true)},
      {"com.a",
       Value(Dictionary{{"allow", Value(plist::Array{entry("old", 999), entry("new", 1001), entry("kept")})},
                        {"deny", Value(plist::Array{entry("gone", 1000)})},
                        {"enabled", Value(false)}})},
      {"com.b", Value(Dictionary{{"allow", Value(plist::Array{entry("b")})}})}};
  const Dictionary untouchedB = *rules.dictionary("com.b");
  EXPECT_EQ(dropExpiredRules(rules, now), 2u);
  const Dictionary& a = *rules.dictionary("com.a");
  ASSERT_EQ(a.array("allow")->size(), 2u);
  EXPECT_EQ(*(*a.array("allow"))[0].asDictionary()->string("rule"), "new");
  EXPECT_TRUE(a.array("deny")->empty());
  EXPECT_FALSE(plist::boolValue(a.find("enabled"), true)) << "the rest of the entry stays";
  EXPECT_EQ(*rules.dictionary("com.b"), untouchedB);
  EXPECT_EQ(dropExpiredRules(rules, now), 0u);

  Dictionary global{{"globalDeny", Value(plist::Array{entry("x", 5), Value("not an entry"), entry("y")})}};
  EXPECT_EQ(dropExpiredGlobalRules(global, now), 1u);
  EXPECT_EQ(global.array("globalDeny")->size(), 2u) << "what is not an entry is not ours to drop";

  // A value that is not a date never expires: older writers' files stay whole.
  const Dictionary odd{{"rule", Value("r")}, {"expires", Value("tomorrow")}};
  EXPECT_FALSE(ruleExpired(odd, plist::Date{1e12}));
}

class ExpiringRulesTest : public testing::StoreFixture {};

TEST_F(ExpiringRulesTest, AnExpiredRuleStopsDecidingAtTheNextCheck) {
  const double now = plist::Date::now().secondsSinceReference;
  writeRules(Dictionary{
      {"com.a", Value(Dictionary{{"deny", Value(plist::Array{entry("soon.example", now + 1),
                                                             entry("later.example", now + 3600),
                                                             entry("past.example", now - 1)})}})}});
  writeGlobal(Dictionary{{"globalAllow", Value(plist::Array{entry("g.example", now + 7200)})}});
  auto m = loaded("com.a");
  EXPECT_EQ(m->denyArray()->rules(), (StringList{"soon.example", "later.example"}));
  EXPECT_EQ(m->globalAllowArray()->rules(), (StringList{"g.example"}));
  EXPECT_FALSE(m->rulesExpired());
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(m->rulesExpired());
  m->reloadIfRulesExpired();
  EXPECT_EQ(m->denyArray()->rules(), (StringList{"later.example"}));
  EXPECT_FALSE(m->rulesExpired()) << "the next expiry is an hour away";
}

}  // namespace
}  // namespace kst
