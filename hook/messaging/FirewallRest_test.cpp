// The rule writer: rule texts, the question, the writers in SpringBoard and
// in an application, and what it makes of replies.

#include "hook/messaging/FirewallRest.h"

#include <gtest/gtest.h>

#include "hook/messaging/ServicesTesting.h"
#include "hook/store/StoreTesting.h"

namespace kst {
namespace {

using testing::ruleEntries;

constexpr const char* kApp = "com.example.app";

// The rule texts of `dict[key]`, in order.
std::vector<std::string> texts(const std::optional<plist::Dictionary>& dict, std::string_view key) {
  return dict ? ruleTexts(dict->array(key)) : std::vector<std::string>{};
}

class FirewallRestTest : public testing::StoreFixture {
 protected:
  ~FirewallRestTest() override {
    setKstPopUpFactory({});
    testing::destroyOn(springBoard_, ruleWrites_);
  }

  std::optional<plist::Dictionary> rules() {
    return plist::readDictionaryFile(FileSystem::real(), root_.path(files::kRulesPath));
  }
  std::optional<plist::Dictionary> entry() {
    auto r = rules();
    const plist::Dictionary* e = r ? r->dictionary(kApp) : nullptr;
    return e != nullptr ? std::optional<plist::Dictionary>(*e) : std::nullopt;
  }
  std::optional<plist::Dictionary> global() {
    return plist::readDictionaryFile(FileSystem::real(), root_.path(files::kGlobalRulesPath));
  }
  // SpringBoard's rule-write service on a loop of this process.
  void serveRuleWrites() {
    KstServiceEnv e;
    e.root = root_.root();
    e.flags = &springBoardFlags_;
    ruleWrites_ = std::make_unique<KstMessaging>(e);
    bool served = false;
    springBoard_.loop().performAndWait([&] { served = ruleWrites_->initMessagingCenter(); });
    ASSERT_TRUE(served);
  }

  KstFlags springBoardFlags_;
  testing::LoopThread springBoard_;
  std::unique_ptr<KstMessaging> ruleWrites_;
};

TEST(FirewallRestTextTest, RuleTextsAndOrientationCodes) {
  EXPECT_EQ(FirewallRest::ruleText(0, "example.com", "443", 1), "example.com:443");
  EXPECT_EQ(FirewallRest::ruleText(1, "example.com", "443", 0), "*example.com");
  EXPECT_EQ(FirewallRest::ruleText(2, "example.com", "443", 1), "*.example.com:443");
  EXPECT_EQ(FirewallRest::ruleText(0, "example.com", "443", 7), "example.com");
  EXPECT_EQ(FirewallRest::ruleText(3, "example.com", "443", 1), std::nullopt);
  EXPECT_EQ(FirewallRest::ruleText(-1, "example.com", "443", 1), std::nullopt);

  const std::vector<std::pair<int, int>> table{{1, 0}, {2, 3}, {3, 1}, {4, 2},
                                               {5, 0}, {6, 0}, {0, 0}, {-9, 0}};
  for (const auto& [device, code] : table) EXPECT_EQ(FirewallRest::orientationCode(device), code) << device;
}

TEST(FirewallRestTextTest, QuestionEndsAtItsFirstMissingValue) {
  EXPECT_EQ(FirewallRest::questionDictionary("h", "80", 1, "App", true, "u", "b"),
            (plist::Dictionary{{"host", "h"},
                               {"port", "80"},
                               {"orientation", 1},
                               {"displayName", "App"},
                               {"theme", true},
                               {"url", "u"},
                               {"bundleIdentifier", "b"}}));
  // A missing display name takes "theme", "url" and "bundleIdentifier" with it.
  EXPECT_EQ(FirewallRest::questionDictionary("h", "80", 0, std::nullopt, false, "u", "b"),
            (plist::Dictionary{{"host", "h"}, {"port", "80"}, {"orientation", 0}}));
  EXPECT_EQ(FirewallRest::questionDictionary("h", "80", 0, "App", std::nullopt, "u", "b"),
            (plist::Dictionary{{"host", "h"}, {"port", "80"}, {"orientation", 0}, {"displayName", "App"}}));
  EXPECT_TRUE(FirewallRest::questionDictionary(std::nullopt, "80", 0, "App", true, "u", "b").empty());
}

TEST_F(FirewallRestTest, WritersInSpringBoardWriteTheFilesThemselves) {
  set(flags_.isSpringBoard, true);
  writeRules({{kApp, plist::Dictionary{{"deny", ruleEntries({"d.com"})}, {"stillUseRules", true}}}});
  auto m = loaded(kApp);
  FirewallRest rest(*m);

  rest.alwaysAllowTCP(0, "example.com", kApp, "443", 1);
  rest.alwaysAllowUDP(1, "example.com", kApp, "443", 0);
  rest.alwaysAllowTCP(0, "example.com", kApp, "443", 1);  // no de-duplication
  rest.alwaysDenyUDP(2, "example.com", kApp, "443", 1);
  rest.alwaysDenyTCP(5, "example.com", kApp, "443", 1);  // no such host form: no rule
  EXPECT_EQ(texts(entry(), "allow"),
            (std::vector<std::string>{"example.com:443", "*example.com", "example.com:443"}));
  EXPECT_EQ(texts(entry(), "deny"), (std::vector<std::string>{"d.com", "*.example.com:443"}));
  const plist::Value firstRule = entry()->array("allow")->front();
  EXPECT_EQ(firstRule.asDictionary()->keys(), (std::vector<std::string>{"rule", "date"}));
  EXPECT_NE(firstRule.asDictionary()->find("date")->asDate(), nullptr);

  // "All connections" touches "allowEverything" only.
  rest.allowAll(kApp);
  EXPECT_EQ(*entry()->string("allowEverything"), "1");
  EXPECT_EQ(texts(entry(), "allow").size(), 3u);
  EXPECT_EQ(*entry()->find("stillUseRules"), plist::Value(true));
  rest.denyAll(kApp);
  EXPECT_EQ(*entry()->string("allowEverything"), "2");
  EXPECT_EQ(*rules()->find("150"), plist::Value(true));
  // The manager's copy follows; its lists wait for the next reload.
  EXPECT_EQ(*m->mutableDicOfCurrentBundleIdentifier(), *entry());
  EXPECT_EQ(m->allowArray()->rules().size(), 0u);

  rest.globalAllowTCP(2, "g.com", "53", 1, kApp);
  rest.globalDenyUDP(0, "h.com", "53", 0, kApp);
  EXPECT_EQ(texts(global(), "globalAllow"), (std::vector<std::string>{"*.g.com:53"}));
  EXPECT_EQ(texts(global(), "globalDeny"), (std::vector<std::string>{"h.com"}));
  EXPECT_EQ(ruleTexts(m->globalRulesDic()->array("globalDeny")), std::vector<std::string>{"h.com"});
}

TEST_F(FirewallRestTest, AnAppWithoutEntryGetsOneHoldingJustTheWrittenKey) {
  set(flags_.isSpringBoard, true);
  auto m = loaded(kApp);
  FirewallRest rest(*m);
  rest.alwaysDenyTCP(0, "example.com", kApp, "443", 0);
  ASSERT_TRUE(entry());
  EXPECT_EQ(entry()->keys(), std::vector<std::string>{"deny"});
  EXPECT_EQ(texts(entry(), "deny"), std::vector<std::string>{"example.com"});
  EXPECT_EQ(rules()->size(), 2u);  // the entry and "150"

  writeRules({{"150", true}});
  rest.allowAll(kApp);
  EXPECT_EQ(*entry(), (plist::Dictionary{{"allowEverything", "1"}}));
}

TEST_F(FirewallRestTest, EveryWriterKeepsWhatOthersSavedSinceTheReload) {
  serveRuleWrites();
  writeRules({{"150", true}, {kApp, plist::Dictionary{{"allow", ruleEntries({"first.com"})}}}});
  writeGlobal({{"150", true}, {"log", false}});
  auto m = loaded(kApp);
  FirewallRest rest(*m);

  // The settings application saves a rule and a switch after the reload...
  writeRules(
      {{"150", true},
       {kApp, plist::Dictionary{{"allow", ruleEntries({"first.com", "settings.com"})}, {"enabled", false}}},
       {"com.other", plist::Dictionary{{"allowEverything", "2"}}}});
  writeGlobal({{"150", true}, {"log", true}, {"globalDeny", ruleEntries({"settings.com"})}});
  // ...and the answers arrive.
  rest.alwaysAllowTCP(0, "prompt.com", kApp, "443", 0);
  EXPECT_EQ(texts(entry(), "allow"), (std::vector<std::string>{"first.com", "settings.com", "prompt.com"}));
  EXPECT_EQ(*entry()->find("enabled"), plist::Value(false));
  rest.denyAll(kApp);
  EXPECT_EQ(texts(entry(), "allow").size(), 3u);
  EXPECT_EQ(*entry()->string("allowEverything"), "2");
  EXPECT_TRUE(rules()->contains("com.other"));
  EXPECT_EQ(*m->mutableDicOfCurrentBundleIdentifier(), *entry());

  rest.globalAllowTCP(0, "g.com", "80", 0, kApp);
  EXPECT_EQ(*global()->find("log"), plist::Value(true));
  EXPECT_EQ(texts(global(), "globalDeny"), std::vector<std::string>{"settings.com"});
  EXPECT_EQ(texts(global(), "globalAllow"), std::vector<std::string>{"g.com"});
}

TEST_F(FirewallRestTest, AQuestionInSpringBoardIsAnsweredInProcess) {
  set(flags_.isSpringBoard, true);
  writeGlobal({{"theme", "blue"}});
  testing::PromptScript script(flags_);
  setKstPopUpFactory(script.factory());
  setDeviceOrientationProvider([] { return 4; });
  auto m = loaded(kApp);
  FirewallRest rest(*m);

  script.push({msg::alwaysDeny, 1, 1, "ample.com"});
  const KstPopUpAnswer answer = rest.createTCPViewWithHostString("example.com", "8080", kApp, "u", "Example");
  setDeviceOrientationProvider({});
  EXPECT_EQ(answer.whatToDo, msg::alwaysDeny);
  EXPECT_EQ(answer.host, "ample.com");
  EXPECT_EQ(whatToDoTCP.load(), msg::alwaysDeny);
  EXPECT_EQ(ANDDoTCP.load(), 1);
  EXPECT_EQ(portToDoTCP.load(), 1);
  EXPECT_EQ(ANDDoPortTCP.load(), 1);
  // The rule is made of the host the person kept and the asked port.
  EXPECT_EQ(texts(entry(), "deny"), std::vector<std::string>{"*ample.com:8080"});
  ASSERT_EQ(script.questions().size(), 1u);
  EXPECT_EQ(*script.questions()[0].asDictionary(), (plist::Dictionary{{"host", "example.com"},
                                                                      {"port", "8080"},
                                                                      {"orientation", 2},
                                                                      {"displayName", "Example"},
                                                                      {"theme", true},
                                                                      {"url", "u"},
                                                                      {"bundleIdentifier", kApp},
                                                                      {"overlapped", false}}));

  // Without the prompt library: code 0, no host, nothing written.
  setKstPopUpFactory({});
  const KstPopUpAnswer none =
      rest.createUDPViewWithHostString("example.com", "53", kApp, std::nullopt, "Example");
  EXPECT_EQ(none.whatToDo, 0);
  EXPECT_EQ(none.host, std::nullopt);
  EXPECT_EQ(whatToDoUDP.load(), 0);
  EXPECT_EQ(texts(entry(), "deny").size(), 1u);
}

TEST_F(FirewallRestTest, RepliesOfTheWrongShapeReadAsNothing) {
  serveRuleWrites();
  auto m = loaded(kApp);
  testing::LoopThread fake;
  auto asked = std::make_shared<int>(0);
  const auto window =
      fake.serve(root_.root(), std::string(msg::kWindowService),
                 {{"isShowingWindow",
                   [](const std::string&, const plist::Dictionary*) {
                     return std::optional<plist::Dictionary>(plist::Dictionary{{"isShowingWindow", "YES"}});
                   }},
                  {"getDeviceOrientation",
                   [](const std::string&, const plist::Dictionary*) {
                     return std::optional<plist::Dictionary>(plist::Dictionary{{"deviceOrientation", "2"}});
                   }},
                  {"messageForWindow", [asked](const std::string&, const plist::Dictionary*) {
                     // First every value mistyped, then a lasting code with a host that is no text.
                     if ((*asked)++ == 0)
                       return std::optional<plist::Dictionary>(plist::Dictionary{
                           {"whatToDo", "2"}, {"andToDo", 1.9}, {"portToDo", plist::Array{}}, {"host", 7}});
                     return std::optional<plist::Dictionary>(
                         plist::Dictionary{{"whatToDo", 2}, {"host", plist::Dictionary()}});
                   }}});
  ASSERT_TRUE(window);
  FirewallRest rest(*m);
  const KstPopUpAnswer answer = rest.createTCPViewWithHostString("example.com", "443", kApp, " ", "App");
  EXPECT_EQ(answer.whatToDo, 0);
  EXPECT_EQ(answer.andToDo, 1);
  EXPECT_EQ(answer.portToDo, 0);
  EXPECT_EQ(answer.host, std::nullopt);
  const KstPopUpAnswer second = rest.createTCPViewWithHostString("example.com", "443", kApp, " ", "App");
  EXPECT_EQ(second.whatToDo, msg::alwaysAllow);
  EXPECT_EQ(second.host, std::nullopt);
  EXPECT_EQ(rules(), std::nullopt);
}

}  // namespace
}  // namespace kst
