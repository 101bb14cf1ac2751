// The rules replies, built from the files as they are at each message.

#include "hook/messaging/KstDarwinMessage.h"

#include <gtest/gtest.h>

#include "hook/messaging/ServicesTesting.h"
#include "hook/store/StoreTesting.h"

namespace kst {
namespace {

using testing::ruleEntries;

class KstDarwinMessageTest : public testing::StoreFixture {
 protected:
  KstServiceEnv serviceEnv() {
    KstServiceEnv e;
    e.root = root_.root();
    e.flags = &flags_;
    return e;
  }
  plist::Dictionary stdRules(const plist::Dictionary* info) {
    return KstDarwinMessage(serviceEnv())
        .handleMessageNamed(msg::kStdRules, info)
        .value_or(plist::Dictionary{{"none", true}});
  }
  plist::Dictionary globalRules() {
    return KstDarwinMessage(serviceEnv())
        .handleMessageNamed(msg::kGlobalRules, nullptr)
        .value_or(plist::Dictionary{{"none", true}});
  }

  const plist::Dictionary bI{{"bI", "com.example.app"}};
};

TEST_F(KstDarwinMessageTest, StdRulesCopiesTheEntryUnderTheReplyNames) {
  const plist::Dictionary entry{
      {"enabled", false},      {"allowEverything", "1"},          {"blockSpecificWiFi", true},
      {"stillUseRules", true}, {"allow", ruleEntries({"a.com"})}, {"deny", ruleEntries({"d.com", "e.com"})}};
  writeRules(
      {{"150", true}, {"com.example.app", entry}, {"com.other", plist::Dictionary{{"enabled", true}}}});
  writeWhiteList({"w.com"});
  EXPECT_EQ(stdRules(&bI), (plist::Dictionary{{"mutableDicOfCurrentBundleIdentifier", entry},
                                              {"allowEverything", "1"},
                                              {"blockSpecificWifi", true},
                                              {"shouldUseDetailedRules", true},
                                              {"allowArray", ruleEntries({"a.com"})},
                                              {"denyArray", ruleEntries({"d.com", "e.com"})},
                                              {"enabled", false},
                                              {"whiteListArray", plist::Array{"w.com"}}}));

  // An entry without "enabled" has neither "enabled" nor "empty"; a stored
  // "enabled" of another type goes out as its boolean value.
  writeRules({{"com.example.app", plist::Dictionary{{"allow", ruleEntries({})}}}});
  EXPECT_EQ(stdRules(&bI), (plist::Dictionary{{"mutableDicOfCurrentBundleIdentifier",
                                               plist::Dictionary{{"allow", ruleEntries({})}}},
                                              {"allowArray", ruleEntries({})},
                                              {"whiteListArray", plist::Array{"w.com"}}}));
  writeRules({{"com.example.app", plist::Dictionary{{"enabled", "YES"}}}});
  EXPECT_EQ(*stdRules(&bI).find("enabled"), plist::Value(true));
}

TEST_F(KstDarwinMessageTest, StdRulesWithoutAnEntryIsEmpty) {
  const plist::Dictionary empty{{"empty", "empty"}};
  EXPECT_EQ(stdRules(&bI), empty);  // no rules file
  writeRules({{"150", true}, {"com.other", plist::Dictionary()}, {"com.example.app", "not a dictionary"}});
  EXPECT_EQ(stdRules(&bI), empty);
  writeWhiteList({"w.com", "v.com"});
  const plist::Dictionary emptyWithWhiteList{{"empty", "empty"},
                                             {"whiteListArray", plist::Array{"w.com", "v.com"}}};
  EXPECT_EQ(stdRules(&bI), emptyWithWhiteList);
  // No "bI", or one that is not text, finds nothing.
  const plist::Dictionary numberBI{{"bI", 3}};
  EXPECT_EQ(stdRules(&numberBI), emptyWithWhiteList);
  EXPECT_EQ(stdRules(nullptr), emptyWithWhiteList);
  const plist::Dictionary markerBI{{"bI", "150"}};
  EXPECT_EQ(stdRules(&markerBI), emptyWithWhiteList);
}

TEST_F(KstDarwinMessageTest, GlobalRulesFromTheFile) {
  const plist::Dictionary onlyEmpty{{"empty", "empty"}};
  EXPECT_EQ(globalRules(), onlyEmpty);
  writeRaw(files::kGlobalRulesPath, "not a property list");
  EXPECT_EQ(globalRules(), onlyEmpty);

  const plist::Dictionary file{{"150", true},
                               {"globalAllow", ruleEntries({"a.com"})},
                               {"globalDeny", ruleEntries({"d.com"})},
                               {"respectGlobal", true},
                               {"log", false},
                               {"theme", "blue"},
                               {"blockNonWiFi", true},
                               {"advancedHostnameResolution", "1"},
                               {"solidPopup", true}};
  writeGlobal(file);
  EXPECT_EQ(globalRules(), (plist::Dictionary{{"globalRulesDic", file},
                                              {"globalAllowArray", ruleEntries({"a.com"})},
                                              {"globalDenyArray", ruleEntries({"d.com"})},
                                              {"respectGlobal", true},
                                              {"logging", false},
                                              {"themeNumber", true},
                                              {"blockNonWiFi", true},
                                              {"advancedHostnameResolution", true}}));

  // Only "blue" exactly is theme 1; the two computed keys are always there.
  writeGlobal({{"theme", "Blue"}});
  EXPECT_EQ(globalRules(), (plist::Dictionary{{"globalRulesDic", plist::Dictionary{{"theme", "Blue"}}},
                                              {"themeNumber", false},
                                              {"advancedHostnameResolution", false}}));
}

}  // namespace
}  // namespace kst
