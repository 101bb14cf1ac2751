#include "panel/store/SettingsModel.h"

#include <gtest/gtest.h>

#include "hook/rules/KstFiles.h"
#include "panel/testing/PanelTesting.h"

namespace kst::panel {
namespace {

using testing::PanelFixtureState;

class SettingsModelTest : public ::testing::Test {
 protected:
  PanelFixtureState s;
  testing::NotificationCounter notes{s.center};
  SettingsModel m{s.store};
};

TEST_F(SettingsModelTest, AFreshDeviceShowsOnlyEnabledAndPlaySoundOn) {
  EXPECT_TRUE(m.firewallEnabled());
  EXPECT_TRUE(m.value(SettingsModel::kPlaySoundInSleep));
  for (const GlobalSwitch* g :
       {&SettingsModel::kBlockNonWiFi, &SettingsModel::kRespectGlobal, &SettingsModel::kLog,
        &SettingsModel::kSolidPopup, &SettingsModel::kAdvancedHostnameResolution}) {
    EXPECT_FALSE(m.value(*g)) << g->key;
  }
}

TEST_F(SettingsModelTest, EverySwitchButSolidPopupPostsReloadExactlyOnce) {
  for (const GlobalSwitch* g :
       {&SettingsModel::kBlockNonWiFi, &SettingsModel::kRespectGlobal, &SettingsModel::kLog,
        &SettingsModel::kPlaySoundInSleep, &SettingsModel::kAdvancedHostnameResolution}) {
    const int before = notes.reloads();
    m.setValue(*g, true);
    ASSERT_TRUE(notes.settle());
    EXPECT_EQ(notes.reloads(), before + 1) << g->key;
    EXPECT_EQ(*s.read(files::kGlobalRulesPath)->find(g->key), plist::Value(true));
  }
  const int before = notes.reloads();
  m.setValue(SettingsModel::kSolidPopup, true);
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), before);
  EXPECT_EQ(*s.read(files::kGlobalRulesPath)->find("solidPopup"), plist::Value(true));
  EXPECT_TRUE(s.read(files::kGlobalRulesPath)->contains("150"));
}

TEST_F(SettingsModelTest, ASwitchChangeKeepsARuleStoredMeanwhile) {
  m.setValue(SettingsModel::kLog, true);
  // A prompt answer rewrites the file with a global rule.
  s.write(files::kGlobalRulesPath,
          {{"log", true}, {"globalDeny", plist::Array{testing::ruleEntry("ads.com", 1)}}, {"150", true}});
  m.setValue(SettingsModel::kBlockNonWiFi, true);
  const auto file = s.read(files::kGlobalRulesPath);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->array("globalDeny")->size(), 1u);
  EXPECT_EQ(*file->find("blockNonWiFi"), plist::Value(true));
}

TEST_F(SettingsModelTest, MasterSwitchMakesAndRemovesTheMarkerAndPostsEachTime) {
  m.setFirewallEnabled(false);
  EXPECT_TRUE(s.exists(files::kDisabledMarkerPath));
  EXPECT_FALSE(m.firewallEnabled());
  m.setFirewallEnabled(true);
  EXPECT_FALSE(s.exists(files::kDisabledMarkerPath));
  m.setFirewallEnabled(true);  // a missing marker is no error
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), 3);
}

TEST_F(SettingsModelTest, DeleteAllLeavesOnlyTheMarkerInBothFilesAndKeepsTheRest) {
  s.write(files::kRulesPath, {{"app", plist::Dictionary{}}});
  s.write(files::kGlobalRulesPath, {{"playSoundInSleep", false}, {"log", true}});
  s.write(files::kPanelSettingsPath, {{"showAllowHelp", false}});
  m.setFirewallEnabled(false);
  m.deleteAll();
  const plist::Dictionary onlyMarker{{"150", true}};
  EXPECT_EQ(s.read(files::kRulesPath), onlyMarker);
  EXPECT_EQ(s.read(files::kGlobalRulesPath), onlyMarker);
  EXPECT_TRUE(s.read(files::kPanelSettingsPath)->contains("showAllowHelp"));
  EXPECT_TRUE(s.exists(files::kDisabledMarkerPath));
  EXPECT_TRUE(m.value(SettingsModel::kPlaySoundInSleep));
  ASSERT_TRUE(notes.settle());
  EXPECT_EQ(notes.reloads(), 2);
}

TEST_F(SettingsModelTest, StoredValuesAreReadByTheirBooleanValue) {
  s.write(files::kGlobalRulesPath, {{"log", "YES"}, {"playSoundInSleep", 0}, {"blockNonWiFi", "no"}});
  EXPECT_TRUE(m.value(SettingsModel::kLog));
  EXPECT_FALSE(m.value(SettingsModel::kPlaySoundInSleep));
  EXPECT_FALSE(m.value(SettingsModel::kBlockNonWiFi));
}

}  // namespace
}  // namespace kst::panel
