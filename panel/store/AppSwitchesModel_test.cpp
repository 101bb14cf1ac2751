#include "panel/store/AppSwitchesModel.h"

#include <gtest/gtest.h>

#include "hook/rules/KstFiles.h"
#include "panel/testing/PanelTesting.h"

namespace kst::panel {
namespace {

using testing::PanelFixtureState;

class AppSwitchesModelTest : public ::testing::Test {
 protected:
  PanelFixtureState s;
  testing::NotificationCounter notes{s.center};
  const std::string id = "com.example.app";

  plist::Dictionary entry() {
    const auto file = s.read(files::kRulesPath);
    if (!file || file->dictionary(id) == nullptr) return {};
    return *file->dictionary(id);
  }
};

TEST_F(AppSwitchesModelTest, AllowEverythingOneOpensLockedAndKeepsStillUseRules) {
  s.write(files::kRulesPath, {{id, plist::Dictionary{{"allowEverything", "1"}, {"stillUseRules", true}}}});
  AppSwitchesModel m(s.store, id);
  m.load();
  const AppSwitches& w = m.switches();
  EXPECT_TRUE(w.allowAll);
  EXPECT_TRUE(w.allowAllEnabled);
  EXPECT_FALSE(w.denyAll);
  EXPECT_FALSE(w.denyAllEnabled);
  EXPECT_TRUE(w.stillUseRulesEnabled);
  EXPECT_TRUE(w.stillUseRules);
  EXPECT_TRUE(plist::boolValue(entry().find("stillUseRules")));
}

TEST_F(AppSwitchesModelTest, AMissingEntryOpensAllOffButEnabledAndStoresStillUseRulesFalse) {
  AppSwitchesModel m(s.store, id);
  m.load();
  EXPECT_EQ(m.switches(), AppSwitches{});
  EXPECT_EQ(entry(), (plist::Dictionary{{"stillUseRules", false}}));
  EXPECT_TRUE(s.read(files::kRulesPath)->contains("150"));
}

TEST_F(AppSwitchesModelTest, TurningAllowAllOffUnlocksDenyAndForcesStillOff) {
  s.write(files::kRulesPath,
          {{id, plist::Dictionary{{"allowEverything", "1"},
                                  {"stillUseRules", true},
                                  {"allow", plist::Array{testing::ruleEntry("a.com", 1)}}}}});
  AppSwitchesModel m(s.store, id);
  m.load();
  m.allowAllChanged(false);
  EXPECT_TRUE(m.switches().denyAllEnabled);
  EXPECT_FALSE(m.switches().stillUseRules);
  EXPECT_FALSE(m.switches().stillUseRulesEnabled);
  const plist::Dictionary e = entry();
  EXPECT_EQ(*e.string("allowEverything"), "");
  EXPECT_EQ(*e.find("stillUseRules"), plist::Value(false));
  EXPECT_EQ(e.array("allow")->size(), 1u) << "other keys of the entry survive";

  m.denyAllChanged(true);
  EXPECT_FALSE(m.switches().allowAllEnabled);
  EXPECT_TRUE(m.switches().stillUseRulesEnabled);
  EXPECT_EQ(*entry().string("allowEverything"), "2");
  m.stillApplyChanged(true);
  m.blockWiFiChanged(true);
  EXPECT_EQ(*entry().find("stillUseRules"), plist::Value(true));
  EXPECT_EQ(*entry().find("blockSpecificWiFi"), plist::Value(true));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.hookLates(), 0) << "row switches post nothing";
  EXPECT_EQ(notes.reloads(), 0);
}

TEST_F(AppSwitchesModelTest, MasterSwitchOnPostsHookLateOnceAndOffPostsNothing) {
  AppSwitchesModel m(s.store, id);
  m.load();
  m.setEnabled(false);
  EXPECT_EQ(*entry().find("enabled"), plist::Value(false));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.hookLates(), 0);
  m.setEnabled(true);
  EXPECT_EQ(*entry().find("enabled"), plist::Value(true));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.hookLates(), 1);
}

TEST_F(AppSwitchesModelTest, ChangesMadeMeanwhileByOtherWritersSurvive) {
  AppSwitchesModel m(s.store, id);
  m.load();
  // A prompt answer stores a rule while the screen is open.
  s.write(files::kRulesPath, {{"150", true},
                              {id, plist::Dictionary{{"deny", plist::Array{testing::ruleEntry("x.com", 1)}}}},
                              {"other", plist::Dictionary{}}});
  m.blockWiFiChanged(true);
  const auto file = s.read(files::kRulesPath);
  EXPECT_TRUE(file->contains("other"));
  EXPECT_EQ(entry().array("deny")->size(), 1u);
}

}  // namespace
}  // namespace kst::panel
