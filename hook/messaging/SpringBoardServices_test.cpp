// SpringBoard's four services in a process of their own, and this test
// process as the asking application: every message with its reply, the
// prompt's turn-taking, the rules that answers leave, the relay, and
// messages of the wrong shape.

#include <gtest/gtest.h>

#include <future>

#include "hook/messaging/FirewallRest.h"
#include "hook/messaging/MessagingRulesRelay.h"
#include "hook/messaging/ServicesTesting.h"
#include "hook/store/StoreTesting.h"
#include "platform/fs/Utf16File.h"

namespace kst {
namespace {

using testing::ruleEntries;
using testing::SpringBoardProcess;

constexpr const char* kApp = "com.example.app";

class SpringBoardServicesTest : public testing::ServicesFixture {
 protected:
  std::vector<std::string> texts(std::string_view devicePath, std::string_view key,
                                 const char* app = nullptr) {
    const std::optional<plist::Dictionary> f = file(devicePath);
    if (!f) return {};
    const plist::Dictionary* d = app != nullptr ? f->dictionary(app) : &*f;
    return d != nullptr ? ruleTexts(d->array(key)) : std::vector<std::string>{};
  }
  plist::Dictionary lastQuestion(const SpringBoardProcess& sb) {
    const plist::Array q = sb.questions();
    return q.empty() ? plist::Dictionary() : *q.back().asDictionary();
  }
};

TEST_F(SpringBoardServicesTest, EveryMessageIsAnsweredWithItsReplyDictionary) {
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  for (std::string_view service : {msg::kWindowService, msg::kWindowUDPService}) {
    EXPECT_EQ(send(service, "isShowingWindow"), (plist::Dictionary{{"isShowingWindow", false}}));
    sb.setOrientation(4);
    EXPECT_EQ(send(service, "getDeviceOrientation"), (plist::Dictionary{{"deviceOrientation", 4}}));
  }

  const plist::Dictionary question{{"host", "a.example.com"},  {"port", "443"},  {"orientation", 1},
                                   {"displayName", "Example"}, {"theme", false}, {"url", " "},
                                   {"bundleIdentifier", kApp}};
  plist::Dictionary seen = question;
  seen.set("overlapped", false);
  const KstPopUpAnswer session{msg::allowSession, msg::kHostStarDot, msg::kOnlyThisPort, "a.example.com"};
  sb.answer(session);
  EXPECT_EQ(send(msg::kWindowService, "messageForWindow", &question), testing::answerInfo(session));
  EXPECT_EQ(lastQuestion(sb), seen);
  const KstPopUpAnswer deny{msg::denyOnce, 0, 0, "example.com"};
  sb.answer(deny);
  EXPECT_EQ(send(msg::kWindowUDPService, "messageForWindowUDP", &question), testing::answerInfo(deny));
  EXPECT_EQ(sb.questions().size(), 2u);

  const plist::Dictionary entry{{"allow", ruleEntries({"a.com"})}, {"enabled", false}};
  const plist::Dictionary appWrite{{kApp, entry}};
  EXPECT_TRUE(send(msg::kRuleWriteService, "messageThatHasInfo", &appWrite).empty());
  EXPECT_EQ(file(files::kRulesPath), (plist::Dictionary{{"150", true}, {kApp, entry}}));
  const plist::Dictionary globalWrite{{"log", true}, {"globalDeny", ruleEntries({"d.com"})}};
  EXPECT_TRUE(send(msg::kRuleWriteService, "GlobalMessageThatHasInfo", &globalWrite).empty());
  plist::Dictionary globalFile = globalWrite;
  globalFile.set("150", true);
  EXPECT_EQ(file(files::kGlobalRulesPath), globalFile);

  const plist::Dictionary bI{{"bI", kApp}};
  EXPECT_EQ(send(msg::kExtendedService, "std.Rules", &bI),
            (plist::Dictionary{{"mutableDicOfCurrentBundleIdentifier", entry},
                               {"allowArray", ruleEntries({"a.com"})},
                               {"enabled", false}}));
  EXPECT_EQ(send(msg::kExtendedService, "global.Rules"),
            (plist::Dictionary{{"globalRulesDic", globalFile},
                               {"globalDenyArray", ruleEntries({"d.com"})},
                               {"logging", true},
                               {"themeNumber", false},
                               {"advancedHostnameResolution", false}}));

  const plist::Dictionary line{{"logString", "one line\n"}};
  ASSERT_TRUE(MessagingCenter::centerNamed(std::string(msg::kWindowService), root_.root())
                  ->sendMessage("logMessage", &line));
  EXPECT_TRUE(testing::eventually(
      [&] { return utf16::readFile(FileSystem::real(), root_.path(files::kLogPath)) == "one line\n"; }));

  // Names a service does not have get the empty reply.
  EXPECT_TRUE(send(msg::kWindowUDPService, "messageForWindow", &question).empty());
  EXPECT_TRUE(send(msg::kRuleWriteService, "std.Rules", &bI).empty());
  EXPECT_TRUE(send(msg::kExtendedService, "isShowingWindow").empty());
  EXPECT_EQ(sb.questions().size(), 2u);
}

TEST_F(SpringBoardServicesTest, APromptOnScreenHoldsBackTheNextQuestion) {
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  auto m = loaded(kApp);
  m->setAppName("Example");

  auto first = std::async(std::launch::async, [&] {
    return FirewallRest(*m).createTCPViewWithHostString("first.com", "80", kApp, " ", "Example");
  });
  ASSERT_TRUE(testing::eventually([&] { return sb.waiting(); }));
  EXPECT_EQ(send(msg::kWindowService, "isShowingWindow"), (plist::Dictionary{{"isShowingWindow", true}}));

  const std::int64_t polls = sb.polls();
  auto second = std::async(std::launch::async, [&] {
    return FirewallRest(*m).createTCPViewWithHostString("second.com", "80", kApp, " ", "Example");
  });
  // The second asker keeps polling and does not ask while the first waits,
  // for a while; then it joins SpringBoard's line: the polls stop.
  ASSERT_TRUE(testing::eventually([&] { return sb.polls() >= polls + 3; }));
  EXPECT_EQ(sb.questions().size(), 1u);
  ASSERT_TRUE(testing::eventually([&] {
    const std::int64_t before = sb.polls();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // ten poll pauses
    return sb.polls() == before;
  }));
  EXPECT_EQ(sb.questions().size(), 1u);  // in line, not shown over the first

  sb.answer({msg::allowOnce, 0, 0, "first.com"});
  EXPECT_EQ(first.get().host, "first.com");
  ASSERT_TRUE(testing::eventually([&] { return sb.waiting(); }));
  sb.answer({msg::denyOnce, 0, 0, "second.com"});
  const KstPopUpAnswer answer = second.get();
  EXPECT_EQ(answer.whatToDo, msg::denyOnce);
  EXPECT_EQ(answer.host, "second.com");
  const plist::Array questions = sb.questions();
  ASSERT_EQ(questions.size(), 2u);
  EXPECT_EQ(*questions[1].asDictionary()->string("host"), "second.com");
  EXPECT_EQ(*questions[1].asDictionary()->find("overlapped"), plist::Value(false));
  EXPECT_EQ(send(msg::kWindowService, "isShowingWindow"), (plist::Dictionary{{"isShowingWindow", false}}));
}

TEST_F(SpringBoardServicesTest, LastingAnswersBecomeRulesAndOthersWriteNothing) {
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  writeGlobal({{"theme", "blue"}});
  auto m = loaded(kApp);
  FirewallRest rest(*m);

  sb.setOrientation(5);  // face up: code 0
  sb.answer({msg::alwaysAllow, msg::kHostStarDot, msg::kOnlyThisPort, "example.com"});
  const KstPopUpAnswer answer =
      rest.createTCPViewWithHostString("example.com", "443", kApp, "https://example.com/a", "Example");
  EXPECT_EQ(answer.whatToDo, msg::alwaysAllow);
  EXPECT_EQ(lastQuestion(sb), (plist::Dictionary{{"host", "example.com"},
                                                 {"port", "443"},
                                                 {"orientation", 0},
                                                 {"displayName", "Example"},
                                                 {"theme", true},
                                                 {"url", "https://example.com/a"},
                                                 {"bundleIdentifier", kApp},
                                                 {"overlapped", false}}));
  EXPECT_EQ(texts(files::kRulesPath, "allow", kApp), std::vector<std::string>{"*.example.com:443"});
  EXPECT_EQ(*file(files::kRulesPath)->find("150"), plist::Value(true));

  // UDP: a missing URL travels as one blank; upside down is code 3. A
  // missing display name drops the keys after it.
  sb.setOrientation(2);
  sb.answer({msg::globalDeny, msg::kHostAsIs, msg::kAllPorts, "dns.example"});
  rest.createUDPViewWithHostString("dns.example", "53", kApp, std::nullopt, "Example");
  EXPECT_EQ(*lastQuestion(sb).find("orientation"), plist::Value(3));
  EXPECT_EQ(*lastQuestion(sb).string("url"), " ");
  EXPECT_EQ(whatToDoUDP.load(), msg::globalDeny);
  EXPECT_EQ(texts(files::kGlobalRulesPath, "globalDeny"), std::vector<std::string>{"dns.example"});
  EXPECT_EQ(*file(files::kGlobalRulesPath)->string("theme"), "blue");
  EXPECT_EQ(*file(files::kGlobalRulesPath)->find("150"), plist::Value(true));
  sb.answer({msg::allowOnce, 0, 0, "x"});
  rest.createUDPViewWithHostString("dns.example", "53", kApp, std::nullopt, std::nullopt);
  EXPECT_EQ(lastQuestion(sb),
            (plist::Dictionary{
                {"port", "53"}, {"host", "dns.example"}, {"orientation", 3}, {"overlapped", false}}));

  const auto rulesBefore = file(files::kRulesPath);
  const auto globalBefore = file(files::kGlobalRulesPath);
  for (int code :
       std::initializer_list<int>{msg::allowOnce, msg::denyOnce, msg::allowSession, msg::denySession,
                                  msg::allowAllSession, msg::denyAllSession, 12}) {
    sb.answer({code, 0, 1, "other.com"});
    EXPECT_EQ(rest.createTCPViewWithHostString("other.com", "80", kApp, " ", "Example").whatToDo, code);
  }
  EXPECT_EQ(file(files::kRulesPath), rulesBefore);
  EXPECT_EQ(file(files::kGlobalRulesPath), globalBefore);
}

TEST_F(SpringBoardServicesTest, RelayApplicationsLoadAndKeepOthersRulesThroughSpringBoard) {
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  writeRules({{"150", true},
              {kApp, plist::Dictionary{{"allow", ruleEntries({"a.com"})}, {"allowEverything", "1"}}}});
  writeWhiteList({"w.com"});
  writeGlobal({{"log", true}, {"globalAllow", ruleEntries({"g.com"})}});
  set(flags_.alternativeLoading, true);
  MessagingRulesRelay relay(root_.root());
  auto m = loaded(kApp, &relay);
  EXPECT_EQ(m->allowArray()->rules(), std::vector<std::string>{"a.com"});
  EXPECT_EQ(*m->allowEverything(), "1");
  EXPECT_EQ(*m->whiteListArray(), std::vector<std::string>{"w.com"});
  EXPECT_TRUE(get(flags_.logging));
  EXPECT_EQ(m->globalAllowArray()->rules(), std::vector<std::string>{"g.com"});
  EXPECT_EQ(*loaded("com.unknown", &relay)->allowEverything(), "0");

  // The settings application saves more after the reload; the answers keep it.
  writeRules({{"150", true}, {kApp, plist::Dictionary{{"allow", ruleEntries({"a.com", "s.com"})}}}});
  writeGlobal({{"log", true}, {"respectGlobal", true}, {"globalAllow", ruleEntries({"g.com"})}});
  FirewallRest rest(*m);
  sb.answer({msg::alwaysDeny, 0, 0, "p.com"});
  rest.createTCPViewWithHostString("p.com", "80", kApp, " ", "Example");
  EXPECT_EQ(texts(files::kRulesPath, "allow", kApp), (std::vector<std::string>{"a.com", "s.com"}));
  EXPECT_EQ(texts(files::kRulesPath, "deny", kApp), std::vector<std::string>{"p.com"});
  sb.answer({msg::globalAllow, 1, 0, "q.com"});
  rest.createTCPViewWithHostString("q.com", "80", kApp, " ", "Example");
  EXPECT_EQ(texts(files::kGlobalRulesPath, "globalAllow"), (std::vector<std::string>{"g.com", "*q.com"}));
  EXPECT_EQ(*file(files::kGlobalRulesPath)->find("respectGlobal"), plist::Value(true));
}

TEST_F(SpringBoardServicesTest, WithoutPromptOrSpringBoardTheAnswerIsEmpty) {
  auto m = loaded(kApp);
  FirewallRest rest(*m);
  {
    SpringBoardProcess sb(root_.root(), /*withPrompt=*/false);
    ASSERT_TRUE(sb.ok());
    const plist::Dictionary question{{"host", "example.com"}, {"port", "80"}};
    EXPECT_TRUE(send(msg::kWindowService, "messageForWindow", &question).empty());
    EXPECT_EQ(send(msg::kWindowService, "isShowingWindow"), (plist::Dictionary{{"isShowingWindow", false}}));
    const KstPopUpAnswer answer = rest.createTCPViewWithHostString("example.com", "80", kApp, " ", "Example");
    EXPECT_EQ(answer.whatToDo, 0);
    EXPECT_EQ(answer.host, std::nullopt);
  }
  // SpringBoard gone: no wait, no answer, and a lasting rule is lost.
  EXPECT_EQ(rest.createUDPViewWithHostString("example.com", "53", kApp, " ", "Example").whatToDo, 0);
  rest.alwaysAllowTCP(0, "example.com", kApp, "80", 0);
  EXPECT_EQ(file(files::kRulesPath), std::nullopt);
}

TEST_F(SpringBoardServicesTest, MessagesOfTheWrongShapeAreSurvived) {
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  const plist::Dictionary junk{{"host", plist::Array{}},
                               {"port", 443},
                               {"orientation", "x"},
                               {"theme", "blue"},
                               {"displayName", "App"},
                               {"logString", 5},
                               {"bI", 7},
                               {"app", "not a dictionary"}};
  sb.answer({msg::allowOnce, 0, 0, std::nullopt});
  EXPECT_EQ(send(msg::kWindowService, "messageForWindow", &junk),
            (plist::Dictionary{{"whatToDo", 0}, {"andToDo", 0}, {"portToDo", 0}}));
  EXPECT_EQ(lastQuestion(sb), (plist::Dictionary{{"displayName", "App"}, {"overlapped", false}}));
  EXPECT_EQ(send(msg::kExtendedService, "std.Rules", &junk), (plist::Dictionary{{"empty", "empty"}}));
  EXPECT_EQ(send(msg::kWindowUDPService, "getDeviceOrientation", &junk),
            (plist::Dictionary{{"deviceOrientation", 1}}));
  const plist::Dictionary none;
  EXPECT_TRUE(send(msg::kRuleWriteService, "messageThatHasInfo", &junk).empty());
  EXPECT_TRUE(send(msg::kRuleWriteService, "messageThatHasInfo", &none).empty());
  EXPECT_TRUE(send(msg::kRuleWriteService, "messageThatHasInfo").empty());
  EXPECT_TRUE(send(msg::kRuleWriteService, "GlobalMessageThatHasInfo").empty());
  EXPECT_TRUE(send(msg::kWindowService, "logMessage", &junk).empty());
  EXPECT_EQ(file(files::kRulesPath), std::nullopt);
  EXPECT_EQ(file(files::kGlobalRulesPath), std::nullopt);
  EXPECT_FALSE(FileSystem::real().exists(root_.path(files::kLogPath)));
  // Still serving.
  EXPECT_EQ(send(msg::kWindowService, "isShowingWindow"), (plist::Dictionary{{"isShowingWindow", false}}));
}

}  // namespace
}  // namespace kst
