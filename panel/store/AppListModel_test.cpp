#include "panel/store/AppListModel.h"

#include <gtest/gtest.h>

#include "hook/rules/KstFiles.h"
#include "panel/testing/PanelTesting.h"

namespace kst::panel {
namespace {

using testing::PanelFixtureState;

class AppListModelTest : public ::testing::Test {
 protected:
  PanelFixtureState s;
  applist::ApplicationCatalogue catalogue{s.root.root(), {}};
  AppListModel model{s.store, catalogue};

  std::vector<std::string> ids(const std::vector<AppEntry>& apps) {
    std::vector<std::string> out;
    for (const auto& a : apps) out.push_back(a.bundleIdentifier);
    return out;
  }
};

TEST_F(AppListModelTest, FirstDisplayCreatesTheRulesFileWithOnlyTheMarker) {
  model.ensureRulesFile();
  EXPECT_EQ(s.read(files::kRulesPath), (plist::Dictionary{{"150", true}}));
  // A readable file is left alone.
  s.write(files::kRulesPath, {{"com.x", plist::Dictionary{}}});
  model.ensureRulesFile();
  EXPECT_EQ(s.read(files::kRulesPath), (plist::Dictionary{{"com.x", plist::Dictionary{}}}));
  // Junk is not readable: replaced.
  s.writeBytes(files::kRulesPath, "junk");
  model.ensureRulesFile();
  EXPECT_EQ(s.read(files::kRulesPath), (plist::Dictionary{{"150", true}}));
}

TEST_F(AppListModelTest, UninstalledAppsLeaveTheFileSpecialOnesStay) {
  s.addBundle("Mail", "com.example.mail", "Mail");
  s.addBundle("Notes", "com.example.notes", "notes");
  s.write(files::kRulesPath, {{"150", true},
                              {"com.example.MAIL", plist::Dictionary{}},  // not the installed identifier
                              {"com.example.notes", plist::Dictionary{}},
                              {"com.example.gone", plist::Dictionary{}},
                              {"com.apple.gamed", plist::Dictionary{}}});
  const auto apps = model.loadApps();
  ASSERT_EQ(apps.size(), 2u) << "only exact keys are named by the catalogue";
  EXPECT_EQ(apps[0], (AppEntry{"com.apple.gamed", "GameCenterDaemon"}));
  EXPECT_EQ(apps[1], (AppEntry{"com.example.notes", "notes"}));
  const auto file = s.read(files::kRulesPath);
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->contains("150"));
  EXPECT_FALSE(file->contains("com.example.gone"));
  EXPECT_FALSE(file->contains("com.example.MAIL"));
  EXPECT_TRUE(file->contains("com.apple.gamed"));
}

TEST_F(AppListModelTest, AnEmptyCatalogueListsKeysWithoutNamesAndRemovesNothing) {
  const plist::Dictionary rules{
      {"150", true}, {"b.app", plist::Dictionary{}}, {"a.app", plist::Dictionary{}}};
  s.write(files::kRulesPath, rules);
  const auto apps = model.loadApps();
  EXPECT_EQ(ids(apps), (std::vector<std::string>{"b.app", "a.app"}));  // no names: file order kept
  EXPECT_FALSE(apps[0].displayName);
  EXPECT_EQ(s.read(files::kRulesPath), rules);
}

TEST_F(AppListModelTest, ChooserOffersNewAppsNeverExcludedOnesAndSpecialsWhileGamedIsAbsent) {
  s.addBundle("Mail", "com.example.mail", "Mail");
  s.addBundle("Board", "COM.APPLE.SPRINGBOARD", "SpringBoard");
  s.addBundle("Siri", "com.apple.siriviewservice", "Siri");
  s.addBundle("Nameless", "com.example.nameless", "");
  s.addBundle("Kept", "com.example.kept", "Kept");
  s.write(files::kRulesPath, {{"150", true}, {"com.example.kept", plist::Dictionary{}}});
  auto apps = model.chooserApps();
  EXPECT_EQ(ids(apps),
            (std::vector<std::string>{"com.example.nameless", "com.apple.gamed", "com.example.mail",
                                      "com.apple.WebKit.WebContent", "com.apple.WebKit.Networking"}));
  s.write(files::kRulesPath, {{"com.apple.gamed", plist::Dictionary{}}});
  apps = model.chooserApps();
  EXPECT_EQ(ids(apps),
            (std::vector<std::string>{"com.example.nameless", "com.example.kept", "com.example.mail"}));
}

TEST_F(AppListModelTest, AddReplacesAnEntryAndDeleteRemovesOnlyItsKey) {
  s.write(files::kRulesPath,
          {{"com.apple.gamed", plist::Dictionary{{"allow", plist::Array{testing::ruleEntry("a.com", 1)}}}},
           {"other", plist::Dictionary{}}});
  ASSERT_TRUE(model.addBundleIdentifier("com.apple.gamed"));
  auto file = s.read(files::kRulesPath);
  ASSERT_TRUE(file);
  EXPECT_EQ(
      *file->dictionary("com.apple.gamed"),
      (plist::Dictionary{{"allow", plist::Array{}}, {"deny", plist::Array{}}, {"allowEverything", ""}}));
  EXPECT_TRUE(file->contains("150"));
  ASSERT_TRUE(model.deleteApp("com.apple.gamed"));
  file = s.read(files::kRulesPath);
  EXPECT_EQ(file, (plist::Dictionary{{"other", plist::Dictionary{}}, {"150", true}}));
}

TEST_F(AppListModelTest, SearchIsCaseInsensitiveContainmentAndSkipsNamelessEntries) {
  const std::vector<AppEntry> apps = {
      {"a", "Mail"}, {"b", "Gmail Client"}, {"c", std::nullopt}, {"d", "Notes"}};
  EXPECT_EQ(ids(AppListModel::filter(apps, "MAIL")), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ids(AppListModel::filter(apps, "")), (std::vector<std::string>{"a", "b", "d"}));
}

TEST(AppSortTest, MissingNamesSortAsEmptyAndCaseIsIgnored) {
  std::vector<AppEntry> apps = {{"z", "beta"}, {"y", std::nullopt}, {"x", "Alpha"}, {"w", "ALPHA"}};
  sortApps(apps);
  EXPECT_EQ(apps[0].bundleIdentifier, "y");
  EXPECT_EQ(apps[1].bundleIdentifier, "x");  // equal names keep their order
  EXPECT_EQ(apps[2].bundleIdentifier, "w");
  EXPECT_EQ(apps[3].bundleIdentifier, "z");
}

}  // namespace
}  // namespace kst::panel
