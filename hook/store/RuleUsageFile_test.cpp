#include "hook/store/RuleUsageFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "hook/store/StoreTesting.h"

namespace kst {
namespace {

using plist::Date;
using plist::Dictionary;
using plist::Value;

Value entry(const std::string& rule, std::optional<double> expires = std::nullopt) {
  Dictionary d{{"rule", Value(rule)}, {"date", Value(Date{0})}};
  if (expires) d.set("expires", Date{*expires});
  return Value(std::move(d));
}

RuleUsageKey global(bool deny, std::string rule) {
  return RuleUsageKey{std::nullopt, deny, std::move(rule)};
}
RuleUsageKey app(std::string bundle, bool deny, std::string rule) {
  return RuleUsageKey{std::move(bundle), deny, std::move(rule)};
}

class RuleUsageFileTest : public testing::StoreFixture {
 protected:
  std::string path() const { return root_.path(files::kRuleUsagePath); }
  RuleUsageFile read() { return readRuleUsageFile(FileSystem::real(), path()); }
};

TEST_F(RuleUsageFileTest, CountsAddUpAndComeBackFromTheFileAsWritten) {
  RuleUsageTable table;
  addRuleUse(table, app("com.a", false, "example.com"), RuleUse{3, Date{100}});
  addRuleUse(table, app("com.a", false, "example.com"), RuleUse{7, Date{50}});
  addRuleUse(table, app("com.a", true, "example.com"), RuleUse{1, Date{10}});
  addRuleUse(table, global(true, "*.ads.example"), RuleUse{2, Date{200}});
  addRuleUse(table, app("com.b", false, "*:443"), RuleUse{1, Date{300}});
  const RuleUse* a = findRuleUse(table, std::string("com.a"), false, "example.com");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->count, 10u);
  EXPECT_EQ(a->last, Date{100}) << "the later use wins whatever order they come in";
  EXPECT_EQ(findRuleUse(table, std::nullopt, false, "*.ads.example"), nullptr) << "the lists are apart";

  ASSERT_TRUE(writeRuleUsageFile(FileSystem::real(), path(), table));
  RuleUsageFile file = read();
  ASSERT_EQ(file.state, RuleUsageFile::State::kRead);
  EXPECT_EQ(file.table.size(), table.size());
  for (const auto& [key, use] : table) {
    const RuleUse* back = findRuleUse(file.table, key.bundleId, key.deny, key.rule);
    ASSERT_NE(back, nullptr) << key.rule;
    EXPECT_EQ(back->count, use.count);
    EXPECT_EQ(back->last, use.last);
  }

  // A count never wraps round.
  RuleUsageTable big;
  const auto most = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  addRuleUse(big, global(false, "x"), RuleUse{most - 1, Date{1}});
  addRuleUse(big, global(false, "x"), RuleUse{5, Date{2}});
  EXPECT_EQ(big.begin()->second.count, most);
}

TEST_F(RuleUsageFileTest, DamagedOrNewerFilesReadAsNoCountsWithTheirBytesAtHand) {
  EXPECT_EQ(read().state, RuleUsageFile::State::kMissing);

  writeRaw(files::kRuleUsagePath, "bplist00 garbage");
  RuleUsageFile damaged = read();
  EXPECT_EQ(damaged.state, RuleUsageFile::State::kDamaged);
  EXPECT_TRUE(damaged.table.empty());
  EXPECT_EQ(damaged.bytes, "bplist00 garbage");

  // A dictionary of the wrong shape is no counts file either.
  writeFile(files::kRuleUsagePath,
            Dictionary{{"version", Value(1)}, {"applications", Value(plist::Array{})}});
  EXPECT_EQ(read().state, RuleUsageFile::State::kDamaged);
  writeFile(files::kRuleUsagePath, Dictionary{{"applications", Value(Dictionary{})}});
  EXPECT_EQ(read().state, RuleUsageFile::State::kDamaged) << "no version";

  const Dictionary newer{
      {"version", Value(2)},
      {"global",
       Value(Dictionary{{"allow", Value(Dictionary{{"a", Value(Dictionary{{"count", Value(1)},
                                                                          {"last", Value(Date{1})}})}})}})}};
  writeFile(files::kRuleUsagePath, newer);
  RuleUsageFile later = read();
  EXPECT_EQ(later.state, RuleUsageFile::State::kNewer);
  EXPECT_TRUE(later.table.empty()) << "a newer version may mean something else by the same keys";
  EXPECT_FALSE(later.bytes.empty());
}

TEST_F(RuleUsageFileTest, EntriesThatAreWrongInThemselvesAreLeftOut) {
  auto use = [](Value count, Value last) {
    return Value(Dictionary{{"count", std::move(count)}, {"last", std::move(last)}});
  };
  const Dictionary dict{
      {"version", Value(1)},
      {"applications",
       Value(Dictionary{
           {"com.a", Value(Dictionary{{"allow", Value(Dictionary{
                                                    {"good", use(Value(4), Value(Date{9}))},
                                                    {"zero", use(Value(0), Value(Date{9}))},
                                                    {"negative", use(Value(-3), Value(Date{9}))},
                                                    {"text", use(Value("4"), Value(Date{9}))},
                                                    {"undated", use(Value(4), Value(9.0))},
                                                    {"", use(Value(4), Value(Date{9}))},
                                                    {"bare", Value("4")},
                                                })},
                                      {"maybe", Value(Dictionary{})}})},
           {"", Value(Dictionary{{"allow", Value(Dictionary{{"x", use(Value(1), Value(Date{1}))}})}})}})}};
  std::optional<RuleUsageTable> table = ruleUsageFromDictionary(dict);
  ASSERT_TRUE(table);
  ASSERT_EQ(table->size(), 1u);
  EXPECT_EQ(table->begin()->first, app("com.a", false, "good"));
  EXPECT_EQ(table->begin()->second.count, 4u);

  // Taking at most some leaves the rest out, not the whole.
  RuleUsageTable many;
  for (int i = 0; i < 10; ++i) addRuleUse(many, global(false, "r" + std::to_string(i)), RuleUse{1, Date{1}});
  std::optional<RuleUsageTable> some = ruleUsageFromDictionary(ruleUsageDictionary(many), 4);
  ASSERT_TRUE(some);
  EXPECT_EQ(some->size(), 4u);
}

TEST_F(RuleUsageFileTest, PruningDropsCountsOfRulesGoneFromTheirListOrExpired) {
  const double now = 1000;
  const Dictionary rules{
      {"150", Value(true)},
      {"com.a", Value(Dictionary{{"allow", Value(plist::Array{entry("kept.example")})},
                                 {"deny", Value(plist::Array{entry("old.example", now - 1)})}})}};
  const Dictionary globalFile{{"globalDeny", Value(plist::Array{entry("ads.example")})}};
  RuleUsageTable table;
  for (const RuleUsageKey& key :
       {app("com.a", false, "kept.example"), app("com.a", false, "removed.example"),
        app("com.a", true, "old.example"), app("com.a", true, "kept.example"),
        app("com.gone", false, "kept.example"), global(true, "ads.example"), global(false, "ads.example")}) {
    addRuleUse(table, key, RuleUse{1, Date{1}});
  }
  EXPECT_EQ(pruneRuleUsage(table, &rules, &globalFile, Date{now}), 5u);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_NE(findRuleUse(table, std::string("com.a"), false, "kept.example"), nullptr);
  EXPECT_NE(findRuleUse(table, std::nullopt, true, "ads.example"), nullptr);

  // Without the files nothing is listed, so nothing is kept.
  EXPECT_EQ(pruneRuleUsage(table, nullptr, nullptr, Date{now}), 2u);
  EXPECT_TRUE(table.empty());
}

}  // namespace
}  // namespace kst
