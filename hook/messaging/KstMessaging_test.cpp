// The rule-write service: what "messageThatHasInfo" and
// "GlobalMessageThatHasInfo" leave in the files.

#include "hook/messaging/KstMessaging.h"

#include <gtest/gtest.h>

#include "hook/messaging/ServicesTesting.h"
#include "hook/store/StoreTesting.h"

namespace kst {
namespace {

using testing::ruleEntries;

class KstMessagingTest : public testing::StoreFixture {
 protected:
  KstServiceEnv serviceEnv() {
    KstServiceEnv e;
    e.root = root_.root();
    e.flags = &flags_;
    return e;
  }
  std::optional<plist::Dictionary> rules() {
    return plist::readDictionaryFile(FileSystem::real(), root_.path(files::kRulesPath));
  }
  std::optional<plist::Dictionary> global() {
    return plist::readDictionaryFile(FileSystem::real(), root_.path(files::kGlobalRulesPath));
  }
  void send(std::string_view name, const plist::Dictionary* info) {
    EXPECT_EQ(KstMessaging(serviceEnv()).handleMessageNamed(name, info), std::nullopt);
  }
};

TEST_F(KstMessagingTest, AppWriteMergesThatEntryWithTheFileAndTouchesNothingElse) {
  const plist::Dictionary other{{"deny", ruleEntries({"x.com"})}};
  writeRules(
      {{"150", true},
       {"com.example.app",
        plist::Dictionary{{"allow", ruleEntries({"old.com"})}, {"allowEverything", "2"}, {"enabled", false}}},
       {"com.other", other}});
  // The sender read the entry before old.com was written and added its own
  // answer: both rules stay, its values win, the file's other keys stay.
  const plist::Dictionary entry{{"allowEverything", "1"}, {"allow", ruleEntries({"new.com"})}};
  const plist::Dictionary info{{"com.example.app", entry}};
  send(msg::kMessageThatHasInfo, &info);
  plist::Array both = ruleEntries({"new.com"});
  both.push_back(ruleEntries({"old.com"}).front());
  EXPECT_EQ(rules(), (plist::Dictionary{
                         {"150", true},
                         {"com.example.app",
                          plist::Dictionary{{"allowEverything", "1"}, {"allow", both}, {"enabled", false}}},
                         {"com.other", other}}));
  // Sending the merged entry again adds nothing twice.
  const plist::Dictionary again{{"com.example.app", *rules()->find("com.example.app")}};
  send(msg::kMessageThatHasInfo, &again);
  EXPECT_EQ(rules()->find("com.example.app")->asDictionary()->find("allow")->asArray()->size(), 2u);
}

TEST_F(KstMessagingTest, AppWriteOnAMissingOrUnreadableFileCreatesEntryAndMarker) {
  const plist::Dictionary entry{{"allow", ruleEntries({"a.com"})}};
  const plist::Dictionary info{{"com.example.app", entry}};
  send(msg::kMessageThatHasInfo, &info);
  EXPECT_EQ(rules(), (plist::Dictionary{{"150", true}, {"com.example.app", entry}}));
  writeRaw(files::kRulesPath, "garbage");
  send(msg::kMessageThatHasInfo, &info);
  EXPECT_EQ(rules(), (plist::Dictionary{{"150", true}, {"com.example.app", entry}}));
}

TEST_F(KstMessagingTest, GlobalWriteReplacesTheFileAndAddsTheMarkerOnlyWhenMissing) {
  writeGlobal({{"log", true}, {"theme", "blue"}});
  const plist::Dictionary withMarker{{"globalDeny", ruleEntries({"d.com"})}, {"150", true}};
  send(msg::kGlobalMessageThatHasInfo, &withMarker);
  EXPECT_EQ(global(), withMarker);
  const plist::Dictionary withoutMarker{{"respectGlobal", true}};
  send(msg::kGlobalMessageThatHasInfo, &withoutMarker);
  EXPECT_EQ(global(), (plist::Dictionary{{"respectGlobal", true}, {"150", true}}));
}

TEST_F(KstMessagingTest, ArgumentsWithoutAUsableEntryAreIgnored) {
  const plist::Dictionary file{{"150", true}, {"com.example.app", plist::Dictionary{{"enabled", true}}}};
  writeRules(file);
  const plist::Dictionary none;
  const plist::Dictionary notADictionary{{"com.example.app", "1"}};
  const plist::Dictionary marker{{"150", plist::Dictionary()}};
  for (const plist::Dictionary* info :
       {&none, &notADictionary, &marker, static_cast<const plist::Dictionary*>(nullptr)})
    send(msg::kMessageThatHasInfo, info);
  send(msg::kGlobalMessageThatHasInfo, nullptr);
  send("writeEverything", &notADictionary);
  KstMessaging(serviceEnv()).handleSimpleMessageNamed(msg::kMessageThatHasInfo);
  EXPECT_EQ(rules(), file);
  EXPECT_EQ(global(), std::nullopt);
}

}  // namespace
}  // namespace kst
