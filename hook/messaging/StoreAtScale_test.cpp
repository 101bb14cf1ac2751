// The store against damaged files and at blocklist scale, through the real
// files and SpringBoard's real services in a process of their own: what a
// write keeps, what crosses the services whole, and what a writer does when
// it cannot read what is there.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "hook/messaging/FirewallRest.h"
#include "hook/messaging/MessagingRulesRelay.h"
#include "hook/messaging/ServicesTesting.h"
#include "hook/store/StoreTesting.h"
#include "platform/messaging/Frame.h"

namespace kst {
namespace {

using testing::ruleEntries;
using testing::SpringBoardProcess;

constexpr const char* kApp = "com.example.app";
constexpr const char* kOther = "com.example.other";
// A rule text with a NUL and other control characters inside.
const std::string kNulText("bad\0host\x01\x1f.com", 14);

class StoreAtScaleTest : public testing::ServicesFixture {
 protected:
  std::optional<std::string> raw(std::string_view devicePath) {
    return FileSystem::real().readFile(root_.path(devicePath));
  }
  // The copies kept beside a file: name -> bytes.
  std::map<std::string, std::string> damagedCopies(std::string_view devicePath) {
    const std::filesystem::path target(root_.path(devicePath));
    const std::string prefix = target.filename().string() + ".damaged-";
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(target.parent_path())) {
      const std::string name = e.path().filename().string();
      if (name.rfind(prefix, 0) == 0) out[name] = *FileSystem::real().readFile(e.path().string());
    }
    return out;
  }
  static std::string damagedBytes() {
    std::string bytes = "bplist00";
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<char>(rng()));
    return bytes;
  }
  static plist::Array manyRules(int n) {
    plist::Array rules;
    rules.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
      rules.emplace_back(plist::Dictionary{{"rule", plist::Value("ads" + std::to_string(i) + ".example.net")},
                                           {"date", plist::Date{6e8 + i}}});
    return rules;
  }
  void appWrite(const std::string& app, const plist::Dictionary& entry) {
    const plist::Dictionary info{{app, entry}};
    send(msg::kRuleWriteService, std::string(msg::kMessageThatHasInfo), &info);
  }
};

TEST_F(StoreAtScaleTest, ControlCharactersAndFarDatesOfOthersSurviveARuleWrite) {
  // Rule texts with a NUL and other control characters, dates long before
  // and after 32-bit seconds, with fractions.
  const plist::Dictionary other{
      {"allow",
       plist::Array{plist::Dictionary{{"rule", kNulText}, {"date", plist::Date{-3187296000.0 + 0.25}}},
                    plist::Dictionary{{"rule", "tab\there"}, {"date", plist::Date{6248044800.5}}}}},
      {"enabled", true}};
  writeRules({{"150", true}, {kOther, other}});
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());

  appWrite(kApp, plist::Dictionary{{"allow", ruleEntries({"new.com"})}});
  const auto rules = file(files::kRulesPath);
  ASSERT_TRUE(rules);
  EXPECT_EQ(*rules->dictionary(kOther), other) << "every byte and date of the other application is kept";
  EXPECT_EQ(ruleTexts(rules->dictionary(kApp)->array("allow")), std::vector<std::string>{"new.com"});
  EXPECT_TRUE(damagedCopies(files::kRulesPath).empty());

  // The rules reply carries them whole as well.
  const plist::Dictionary question{{"bI", kOther}};
  EXPECT_EQ(
      *send(msg::kExtendedService, "std.Rules", &question).dictionary("mutableDicOfCurrentBundleIdentifier"),
      other);
}

TEST_F(StoreAtScaleTest, ADamagedFileIsKeptBesideItBeforeSpringBoardReplacesIt) {
  const std::string damaged = damagedBytes();
  writeRaw(files::kRulesPath, damaged);
  writeRaw(files::kGlobalRulesPath, damaged + "g");
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());

  appWrite(kApp, plist::Dictionary{{"allowEverything", "1"}});
  EXPECT_EQ(file(files::kRulesPath),
            (plist::Dictionary{{"150", true}, {kApp, plist::Dictionary{{"allowEverything", "1"}}}}));
  auto kept = damagedCopies(files::kRulesPath);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept.begin()->second, damaged);

  const plist::Dictionary global{{"globalDeny", ruleEntries({"g.com"})}};
  send(msg::kRuleWriteService, std::string(msg::kGlobalMessageThatHasInfo), &global);
  EXPECT_EQ(ruleTexts(file(files::kGlobalRulesPath)->array("globalDeny")), std::vector<std::string>{"g.com"});
  kept = damagedCopies(files::kGlobalRulesPath);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept.begin()->second, damaged + "g");

  // A readable file is simply replaced: nothing more is kept.
  appWrite(kApp, plist::Dictionary{{"allowEverything", "2"}});
  send(msg::kRuleWriteService, std::string(msg::kGlobalMessageThatHasInfo), &global);
  EXPECT_EQ(damagedCopies(files::kRulesPath).size(), 1u);
  EXPECT_EQ(damagedCopies(files::kGlobalRulesPath).size(), 1u);
}

TEST_F(StoreAtScaleTest, AWriterThatCannotReadTheFileWritesNothingButTheAnswerHolds) {
  const std::string damaged = damagedBytes();
  writeRaw(files::kRulesPath, damaged);
  writeRaw(files::kGlobalRulesPath, damaged);
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  auto m = loaded(kApp);
  FirewallRest rest(*m);

  sb.answer({msg::alwaysAllow, 0, 0, "a.com"});
  EXPECT_EQ(rest.createTCPViewWithHostString("a.com", "80", kApp, " ", "App").whatToDo, msg::alwaysAllow);
  sb.answer({msg::globalDeny, 0, 0, "g.com"});
  EXPECT_EQ(rest.createTCPViewWithHostString("g.com", "80", kApp, " ", "App").whatToDo, msg::globalDeny);
  EXPECT_EQ(raw(files::kRulesPath), damaged);
  EXPECT_EQ(raw(files::kGlobalRulesPath), damaged);
  EXPECT_TRUE(damagedCopies(files::kRulesPath).empty());
}

TEST_F(StoreAtScaleTest, ThreeHundredThousandGlobalRulesCrossTheServicesWhole) {
  constexpr int kRules = 300000;
  writeGlobal({{"150", true}, {"log", true}, {"globalDeny", manyRules(kRules)}});
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());

  // Building and writing 300,000 rules takes SpringBoard longer than the
  // shell's usual bound under a sanitizer on a slow machine; what is tested
  // here is that they arrive whole, not how fast.
  const messaging::ExchangeLimits patient{std::chrono::seconds(10), std::chrono::seconds(60),
                                          std::chrono::seconds(120), std::chrono::seconds(1)};
  plist::Dictionary reply = send(msg::kExtendedService, "global.Rules", nullptr, patient);
  ASSERT_NE(reply.array("globalDenyArray"), nullptr) << "the reply must not arrive empty";
  EXPECT_EQ(reply.array("globalDenyArray")->size(), static_cast<std::size_t>(kRules));
  EXPECT_EQ(*reply.find("logging"), plist::Value(true));
  const plist::Dictionary* whole = reply.dictionary("globalRulesDic");
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole->array("globalDeny")->back(), manyRules(kRules).back());
  // The list travelled once: the reply names the file's list for both keys,
  // and it was built once here.
  EXPECT_EQ(reply.find("globalDenyArray")->arrayIdentity(), whole->find("globalDeny")->arrayIdentity());

  // The whole dictionary back, one rule longer, as a global answer sends it.
  plist::Dictionary global = *whole;
  global.find("globalDeny")
      ->asArray()
      ->push_back(plist::Dictionary{{"rule", "one.more"}, {"date", plist::Date{1}}});
  EXPECT_TRUE(send(msg::kRuleWriteService, std::string(msg::kGlobalMessageThatHasInfo), &global, patient).empty());
  const auto written = file(files::kGlobalRulesPath);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->array("globalDeny")->size(), static_cast<std::size_t>(kRules + 1));
  EXPECT_EQ(*written->find("log"), plist::Value(true));
}

TEST_F(StoreAtScaleTest, ARelayReplyOverTheFrameLimitLosesNoRule) {
  // The bound is lowered in this process before SpringBoard's is forked
  // from it, so both sides hold it.
  messaging::ScopedFrameLimitForTesting lowered(64 * 1024);
  writeGlobal({{"150", true}, {"log", true}, {"globalDeny", manyRules(3000)}});
  writeRules({{"150", true}, {kApp, plist::Dictionary{{"deny", manyRules(3000)}}}});
  const auto globalBefore = raw(files::kGlobalRulesPath);
  const auto rulesBefore = raw(files::kRulesPath);
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  set(flags_.alternativeLoading, true);
  MessagingRulesRelay relay(root_.root());
  auto m = loaded(kApp, &relay);
  FirewallRest rest(*m);

  sb.answer({msg::globalAllow, 0, 0, "g.com"});
  EXPECT_EQ(rest.createTCPViewWithHostString("g.com", "80", kApp, " ", "App").whatToDo, msg::globalAllow);
  sb.answer({msg::alwaysDeny, 0, 0, "d.com"});
  EXPECT_EQ(rest.createTCPViewWithHostString("d.com", "80", kApp, " ", "App").whatToDo, msg::alwaysDeny);
  EXPECT_EQ(raw(files::kGlobalRulesPath), globalBefore) << "no global rule or setting may be lost";
  EXPECT_EQ(raw(files::kRulesPath), rulesBefore);

  // Under the bound the same answers are stored.
  writeGlobal({{"150", true}, {"log", true}});
  writeRules({{"150", true}});
  sb.answer({msg::globalAllow, 0, 0, "g.com"});
  rest.createTCPViewWithHostString("g.com", "80", kApp, " ", "App");
  EXPECT_EQ(ruleTexts(file(files::kGlobalRulesPath)->array("globalAllow")),
            std::vector<std::string>{"g.com"});
  EXPECT_EQ(*file(files::kGlobalRulesPath)->find("log"), plist::Value(true));
}

TEST_F(StoreAtScaleTest, BooleansOfTheWrongTypeReadAsTheirDefault) {
  writeRules({{"150", true},
              {kApp, plist::Dictionary{{"enabled", plist::Date{5}}, {"stillUseRules", plist::Array{true}}}},
              {kOther, plist::Dictionary{{"enabled", plist::Array{}}}}});
  writeGlobal({{"150", true}, {"log", plist::Date{1}}, {"respectGlobal", plist::Dictionary{{"a", true}}}});
  auto m = loaded(kApp);
  EXPECT_TRUE(get(flags_.isKstEnabled)) << "a date is no \"enabled\" = false: the firewall stays on";
  EXPECT_FALSE(get(flags_.useDetailedRules));
  EXPECT_FALSE(get(flags_.logging));
  EXPECT_FALSE(get(flags_.respectGlobal));
  loaded(kOther);
  EXPECT_TRUE(get(flags_.isKstEnabled));

  // Through the relay the same.
  SpringBoardProcess sb(root_.root());
  ASSERT_TRUE(sb.ok());
  const plist::Dictionary question{{"bI", kApp}};
  EXPECT_FALSE(send(msg::kExtendedService, "std.Rules", &question).contains("enabled"));
  set(flags_.alternativeLoading, true);
  MessagingRulesRelay relay(root_.root());
  set(flags_.isKstEnabled, false);
  loaded(kOther, &relay);
  EXPECT_TRUE(get(flags_.isKstEnabled));
}

}  // namespace
}  // namespace kst
