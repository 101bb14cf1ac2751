#include "panel/store/RuleListModel.h"

#include <gtest/gtest.h>

#include "hook/rules/KstFiles.h"
#include "hook/store/RuleUsageFile.h"
#include "panel/testing/PanelTesting.h"

namespace kst::panel {
namespace {

using testing::PanelFixtureState;
using testing::ruleEntry;

std::vector<std::string> texts(const std::vector<RuleEntry>& rules) {
  std::vector<std::string> out;
  for (const auto& r : rules) out.push_back(r.rule);
  return out;
}

class RuleListModelTest : public ::testing::Test {
 protected:
  PanelFixtureState s;
  testing::NotificationCounter notes{s.center};

  std::vector<std::string> fileRules(std::string_view key, const std::string* app = nullptr) {
    auto file = app ? s.read(files::kRulesPath) : s.read(files::kGlobalRulesPath);
    std::vector<std::string> out;
    if (!file) return out;
    const plist::Dictionary* d = app ? file->dictionary(*app) : &*file;
    if (d == nullptr || d->array(key) == nullptr) return out;
    for (const auto& v : *d->array(key)) {
      const std::string* rule = v.asDictionary() ? v.asDictionary()->string("rule") : nullptr;
      out.push_back(rule ? *rule : std::string());
    }
    return out;
  }
};

TEST_F(RuleListModelTest, DuplicatesAreShownOnceAndStoredOnceAtTheNextWrite) {
  s.write(files::kGlobalRulesPath,
          {{"globalAllow", plist::Array{ruleEntry("b.com", 1), ruleEntry("A.com", 2), ruleEntry("b.com", 3),
                                        plist::Value("not an entry"), plist::Dictionary{{"date", 4}}}},
           {"log", true}});
  RuleListModel m(s.store, false);
  m.reload();
  EXPECT_EQ(texts(m.rules()), (std::vector<std::string>{"", "A.com", "b.com"}));
  EXPECT_EQ(*m.rules()[2].date, plist::Date{1}) << "the first of the duplicates is kept";
  ASSERT_TRUE(m.add("Ads.Example.COM"));
  EXPECT_EQ(fileRules("globalAllow"), (std::vector<std::string>{"", "A.com", "ads.example.com", "b.com"}));
  EXPECT_TRUE(s.read(files::kGlobalRulesPath)->contains("log")) << "other keys untouched";
  EXPECT_TRUE(s.read(files::kGlobalRulesPath)->contains("150"));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), 0) << "rule lists post nothing";
}

TEST_F(RuleListModelTest, AddingWhileSortedByDatePutsTheNewRuleOnTopAndEmptyTextAddsNothing) {
  RuleListModel m(s.store, true);
  m.reload();
  EXPECT_TRUE(m.rules().empty());
  EXPECT_FALSE(m.add(""));
  EXPECT_FALSE(s.exists(files::kGlobalRulesPath));
  m.add("zeta.com");
  m.add("alpha.com");
  EXPECT_EQ(texts(m.rules()), (std::vector<std::string>{"alpha.com", "zeta.com"}));
  m.setSortByDate(true);
  EXPECT_EQ(texts(m.rules()), (std::vector<std::string>{"alpha.com", "zeta.com"}));
  EXPECT_EQ(m.add("middle.com"), 0u);
  EXPECT_EQ(texts(m.rules()), (std::vector<std::string>{"middle.com", "alpha.com", "zeta.com"}));
  EXPECT_EQ(fileRules("globalDeny").size(), 3u);
}

TEST_F(RuleListModelTest, RetypeLowerCasesAndRedatesInPlaceAndDeleteStoresTheRest) {
  const std::string app = "com.example.app";
  s.write(files::kRulesPath,
          {{app, plist::Dictionary{{"allowEverything", "2"},
                                   {"deny", plist::Array{ruleEntry("a.com", 1), ruleEntry("c.com", 2)}}}}});
  RuleListModel m(s.store, true, app);
  m.reload();
  ASSERT_TRUE(m.retype(0, "ZZZ.com"));
  EXPECT_EQ(texts(m.rules()), (std::vector<std::string>{"zzz.com", "c.com"})) << "no re-sort until asked";
  EXPECT_GT(m.rules()[0].date->secondsSinceReference, 100.0);
  ASSERT_TRUE(m.removeAt(1));
  EXPECT_FALSE(m.removeAt(5));
  EXPECT_EQ(fileRules("deny", &app), (std::vector<std::string>{"zzz.com"}));
  EXPECT_EQ(*s.read(files::kRulesPath)->dictionary(app)->string("allowEverything"), "2");
}

TEST_F(RuleListModelTest, LastUsedSortTakesTheShellsCountsOfThisListOnly) {
  const std::string app = "com.a";
  s.write(
      files::kRulesPath,
      {{app, plist::Dictionary{{"allow", plist::Array{ruleEntry("old.com", 1), ruleEntry("never.com", 2),
                                                      ruleEntry("recent.com", 3), ruleEntry("a.com", 4)}}}}});
  RuleUsageTable counts;
  addRuleUse(counts, {app, false, "old.com"}, RuleUse{4, plist::Date{100}});
  addRuleUse(counts, {app, false, "recent.com"}, RuleUse{1, plist::Date{900}});
  // Counts of the same text in another list, or of another application, are not this list's.
  addRuleUse(counts, {app, true, "a.com"}, RuleUse{7, plist::Date{2000}});
  addRuleUse(counts, {std::string("com.b"), false, "never.com"}, RuleUse{7, plist::Date{2000}});
  addRuleUse(counts, {std::nullopt, false, "never.com"}, RuleUse{7, plist::Date{2000}});
  ASSERT_TRUE(writeRuleUsageFile(FileSystem::real(), s.path(files::kRuleUsagePath), counts));

  RuleListModel m(s.store, false, app);
  m.reload();
  m.setSort(RuleSort::kLastUsed);
  EXPECT_EQ(texts(m.rules()), (std::vector<std::string>{"recent.com", "old.com", "a.com", "never.com"}))
      << "most recent first, the never used after them by name";
  EXPECT_EQ(m.rules()[1].use->count, 4u);
  EXPECT_FALSE(m.rules()[2].use);
  m.setSort(RuleSort::kName);
  EXPECT_EQ(texts(m.rules()).front(), "a.com");

  // A damaged counts file counts nothing: every rule is "never used".
  s.writeBytes(files::kRuleUsagePath, "damaged");
  m.reload();
  for (const RuleEntry& e : m.rules()) EXPECT_FALSE(e.use) << e.rule;
  EXPECT_EQ(FileSystem::real().readFile(s.path(files::kRuleUsagePath)), "damaged") << "left for the shell";
}

TEST_F(RuleListModelTest, KeepForSetsChangesAndRemovesTheExpiryAndTheEditKeepsWhatItDoesNotChange) {
  RuleListModel m(s.store, true);
  m.reload();
  const double start = s.clock;
  ASSERT_TRUE(m.add("Day.com", m.expiryFor(RuleListModel::KeepFor::kOneDay)));
  ASSERT_TRUE(m.add("always.com", m.expiryFor(RuleListModel::KeepFor::kAlways)));
  const auto expiresOf = [this](std::size_t i) -> std::optional<double> {
    const auto file = s.read(files::kGlobalRulesPath);
    const plist::Value* v = file->array("globalDeny")->at(i).asDictionary()->find(files::kExpiresKey);
    if (v == nullptr) return std::nullopt;
    return v->asDate()->secondsSinceReference;
  };
  ASSERT_EQ(fileRules("globalDeny"), (std::vector<std::string>{"always.com", "day.com"}));
  EXPECT_FALSE(expiresOf(0));
  ASSERT_TRUE(expiresOf(1));
  EXPECT_NEAR(*expiresOf(1), start + 86400, 5);

  // The same text with "unchanged": the expiry and the date stay.
  const plist::Date dated = *m.rules()[1].date;
  ASSERT_TRUE(m.edit(1, "day.com", RuleListModel::KeepFor::kUnchanged));
  EXPECT_NEAR(*expiresOf(1), start + 86400, 5);
  EXPECT_EQ(*m.rules()[1].date, dated);
  // A week from now, then for always.
  ASSERT_TRUE(m.edit(1, "day.com", RuleListModel::KeepFor::kOneWeek));
  EXPECT_NEAR(*expiresOf(1), s.clock + 7 * 86400, 5);
  ASSERT_TRUE(m.edit(1, "DAY.com", RuleListModel::KeepFor::kAlways));
  EXPECT_FALSE(expiresOf(1));
  EXPECT_EQ(*m.rules()[1].date, dated) << "the same text, lower-cased, is no new rule";
  // A new text is a new rule, dated now; an empty one changes nothing.
  ASSERT_TRUE(m.edit(0, "Hour.com", RuleListModel::KeepFor::kOneHour));
  EXPECT_EQ(fileRules("globalDeny"), (std::vector<std::string>{"hour.com", "day.com"}));
  EXPECT_NEAR(*expiresOf(0), s.clock + 3600, 5);
  EXPECT_FALSE(m.edit(0, "", RuleListModel::KeepFor::kAlways));
  EXPECT_FALSE(m.edit(7, "x.com", RuleListModel::KeepFor::kAlways));
  EXPECT_EQ(fileRules("globalDeny"), (std::vector<std::string>{"hour.com", "day.com"}));
}

TEST_F(RuleListModelTest, DeleteAllLeavesAnEmptyListAndTheOtherKeys) {
  s.write(files::kGlobalRulesPath, {{"globalDeny", plist::Array{ruleEntry("a.com", 1)}},
                                    {"globalAllow", plist::Array{ruleEntry("b.com", 1)}}});
  RuleListModel m(s.store, true);
  m.reload();
  m.deleteAll();
  const auto file = s.read(files::kGlobalRulesPath);
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->array("globalDeny")->empty());
  EXPECT_EQ(file->array("globalAllow")->size(), 1u);
}

TEST_F(RuleListModelTest, SearchIgnoresCaseAndSortByNameTreatsCaseAsEqual) {
  s.write(files::kGlobalRulesPath,
          {{"globalAllow",
            plist::Array{ruleEntry("Ads.com", 5), ruleEntry("ads.COM", 3), ruleEntry("news.org", 4)}}});
  RuleListModel m(s.store, false);
  m.reload();
  EXPECT_EQ(texts(m.rules()), (std::vector<std::string>{"Ads.com", "ads.COM", "news.org"}));
  EXPECT_EQ(m.filter("ADS"), (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(m.filter("org").size(), 1u);
}

TEST_F(RuleListModelTest, HelpAlertUntilHiddenAndNeverWithAFlagsFileWithoutTheKey) {
  RuleListModel m(s.store, false);
  EXPECT_EQ(m.helpAlert(), RuleListModel::Help::kWithoutAllowed);
  s.write(files::kPanelSettingsPath, {{"showAllowHelp", true}});
  EXPECT_EQ(m.helpAlert(), RuleListModel::Help::kWithAllowed);
  m.hideHelp();
  EXPECT_EQ(m.helpAlert(), RuleListModel::Help::kNone);
  s.write(files::kPanelSettingsPath, {{"didShowEditAlert", true}});
  EXPECT_EQ(m.helpAlert(), RuleListModel::Help::kNone);
}

TEST_F(RuleListModelTest, TheEditAlertIsShownOnceAndRecorded) {
  RuleListModel m(s.store, false);
  EXPECT_TRUE(m.takeEditAlert());
  EXPECT_FALSE(m.takeEditAlert());
  EXPECT_EQ(*s.read(files::kPanelSettingsPath)->find("didShowEditAlert"), plist::Value(true));
}

TEST_F(RuleListModelTest, ListsOfTheWrongShapeReadAsEmptyAndAreReplacedByTheNextWrite) {
  s.write(files::kGlobalRulesPath, {{"globalAllow", "not a list"}});
  RuleListModel m(s.store, false);
  m.reload();
  EXPECT_TRUE(m.rules().empty());
  m.add("x.com");
  EXPECT_EQ(fileRules("globalAllow"), (std::vector<std::string>{"x.com"}));
  const std::string app = "a";
  s.write(files::kRulesPath, {{app, "not a dictionary"}});
  RuleListModel am(s.store, false, app);
  am.reload();
  EXPECT_TRUE(am.rules().empty());
  am.add("y.com");
  EXPECT_EQ(fileRules("allow", &app), (std::vector<std::string>{"y.com"}));
}

}  // namespace
}  // namespace kst::panel
