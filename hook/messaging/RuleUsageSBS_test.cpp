// SpringBoard's keeper of the rule counts over a temporary device root, fed
// through its real service; and the report of a process's counts reaching it.

#include "hook/messaging/RuleUsageSBS.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/RuleUsage.h"
#include "hook/store/StoreTesting.h"
#include "platform/messaging/ClientExchange.h"
#include "platform/messaging/MessagingTestSupport.h"

namespace kst {
namespace {

using plist::Date;
using plist::Dictionary;
using plist::Value;

template <class F>
bool waitFor(F&& done, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

RuleUsageKey appRule(std::string rule, bool deny = false) {
  return RuleUsageKey{std::string("com.a"), deny, std::move(rule)};
}

class RuleUsageSBSTest : public testing::StoreFixture {
 protected:
  RuleUsageSBSTest() {
    messaging::clearBackOffs();
    writeRules(Dictionary{
        {"com.a", Value(Dictionary{{"allow", Value(testing::ruleEntries({"a.example", "b.example"}))},
                                   {"deny", Value(testing::ruleEntries({"evil.example"}))}})}});
    writeGlobal(Dictionary{{"globalDeny", Value(testing::ruleEntries({"ads.example"}))}});
  }
  ~RuleUsageSBSTest() override { stopKeeper(); }

  KstServiceEnv serviceEnv() {
    KstServiceEnv e;
    e.root = root_.root();
    e.flags = &flags_;
    return e;
  }
  void startKeeper(std::size_t maxRules = RuleUsageSBS::kMaxRules) {
    loop_.loop().performAndWait([&] {
      keeper_ = std::make_unique<RuleUsageSBS>(serviceEnv(), maxRules);
      started_ = keeper_->initSBSMessaging();
    });
    ASSERT_TRUE(started_);
  }
  // On the loop, where its handlers and its delayed write run.
  void stopKeeper() {
    loop_.loop().performAndWait([&] { keeper_.reset(); });
  }

  bool send(const RuleUsageTable& counts) {
    const Dictionary info = ruleUsageDictionary(counts);
    return MessagingCenter::centerNamed(std::string(msg::kRuleUsageService), root_.root())
        ->sendMessage(std::string(msg::kRuleUsageMessage), &info);
  }
  RuleUsageFile file() { return readRuleUsageFile(FileSystem::real(), root_.path(files::kRuleUsagePath)); }
  // The file's count of `key`, 0 when it has none.
  std::uint64_t fileCount(const RuleUsageKey& key) {
    const RuleUsageFile f = file();
    const RuleUse* use = findRuleUse(f.table, key.bundleId, key.deny, key.rule);
    return use != nullptr ? use->count : 0;
  }
  std::vector<std::string> keptAside() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(root_.path(files::kPreferencesDir))) {
      if (e.path().filename().string().find("RuleUsage.plist.damaged-") != std::string::npos)
        names.push_back(e.path().string());
    }
    return names;
  }

  testing::LoopThread loop_;
  std::unique_ptr<RuleUsageSBS> keeper_;
  bool started_ = false;
};

RuleUsageTable counts(std::initializer_list<std::pair<RuleUsageKey, RuleUse>> uses) {
  RuleUsageTable t;
  for (const auto& [key, use] : uses) addRuleUse(t, key, use);
  return t;
}

TEST_F(RuleUsageSBSTest, CountsOfSeveralProcessesAddUpInTheFileAndOutliveTheShell) {
  startKeeper();
  ASSERT_TRUE(send(counts({{appRule("a.example"), RuleUse{3, Date{100}}}})));
  ASSERT_TRUE(send(counts({{appRule("a.example"), RuleUse{2, Date{200}}},
                           {RuleUsageKey{std::nullopt, true, "ads.example"}, RuleUse{1, Date{50}}}})));
  ASSERT_TRUE(waitFor([&] { return fileCount(appRule("a.example")) == 5; }));
  EXPECT_EQ(fileCount(RuleUsageKey{std::nullopt, true, "ads.example"}), 1u);
  const RuleUsageFile written = file();
  EXPECT_EQ(findRuleUse(written.table, std::string("com.a"), false, "a.example")->last, Date{200});
  // The rule files are not touched.
  const auto rulesBefore = plist::readDictionaryFile(FileSystem::real(), root_.path(files::kRulesPath));
  ASSERT_TRUE(rulesBefore);
  EXPECT_EQ(rulesBefore->size(), 1u);

  // A shell started anew goes on from the file.
  stopKeeper();
  startKeeper();
  const RuleUsageTable restarted = keeper_->table();
  EXPECT_EQ(findRuleUse(restarted, std::string("com.a"), false, "a.example")->count, 5u);
  ASSERT_TRUE(send(counts({{appRule("a.example"), RuleUse{1, Date{300}}}})));
  ASSERT_TRUE(waitFor([&] { return fileCount(appRule("a.example")) == 6; }));
}

TEST_F(RuleUsageSBSTest, ARuleRemovedLosesItsCountAndUnknownRulesAreNeverKept) {
  startKeeper();
  ASSERT_TRUE(send(counts({{appRule("a.example"), RuleUse{4, Date{1}}},
                           {appRule("b.example"), RuleUse{7, Date{1}}},
                           {appRule("never.listed"), RuleUse{9, Date{1}}},
                           {appRule("a.example", true), RuleUse{9, Date{1}}}})));
  ASSERT_TRUE(waitFor([&] { return fileCount(appRule("b.example")) == 7; }));
  EXPECT_EQ(file().table.size(), 2u) << "only rules that are in their list";

  writeRules(Dictionary{{"com.a", Value(Dictionary{{"allow", Value(testing::ruleEntries({"a.example"}))}})}});
  ASSERT_TRUE(send(counts({{appRule("a.example"), RuleUse{1, Date{2}}}})));
  ASSERT_TRUE(waitFor([&] { return fileCount(appRule("a.example")) == 5; }));
  EXPECT_EQ(fileCount(appRule("b.example")), 0u);
  // Put back, it starts from nothing.
  writeRules(Dictionary{
      {"com.a", Value(Dictionary{{"allow", Value(testing::ruleEntries({"a.example", "b.example"}))}})}});
  ASSERT_TRUE(send(counts({{appRule("b.example"), RuleUse{1, Date{3}}}})));
  ASSERT_TRUE(waitFor([&] { return fileCount(appRule("b.example")) == 1; }));
}

TEST_F(RuleUsageSBSTest, ACountsFileDamagedOrFromANewerVersionIsKeptAsideAndCountingStartsAfresh) {
  const std::string garbage = "bplist00\x01\x02 not a counts file";
  writeRaw(files::kRuleUsagePath, garbage);
  startKeeper();
  EXPECT_TRUE(keeper_->table().empty());
  std::vector<std::string> aside = keptAside();
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(FileSystem::real().readFile(aside[0]), garbage);
  ASSERT_TRUE(send(counts({{appRule("a.example"), RuleUse{2, Date{1}}}})));
  ASSERT_TRUE(waitFor([&] { return fileCount(appRule("a.example")) == 2; }));
  stopKeeper();

  std::filesystem::remove(aside[0]);
  const Dictionary newer{
      {"version", Value(7)},
      {"applications",
       Value(Dictionary{
           {"com.a", Value(Dictionary{
                         {"allow", Value(Dictionary{
                                       {"a.example", Value(Dictionary{{"count", Value(99)},
                                                                      {"last", Value(Date{9})}})}})}})}})}};
  writeFile(files::kRuleUsagePath, newer);
  startKeeper();
  EXPECT_TRUE(keeper_->table().empty());
  aside = keptAside();
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(plist::readDictionaryFile(FileSystem::real(), aside[0]), newer);
  // Replaced at once, so a reader does not take the newer file's counts for ours.
  ASSERT_TRUE(waitFor([&] { return file().state == RuleUsageFile::State::kRead; }));
  EXPECT_TRUE(file().table.empty());
}

TEST_F(RuleUsageSBSTest, AFloodOfCountsIsBoundedAndNoSenderWaitsForTheShell) {
  startKeeper(/*maxRules=*/50);
  // Nothing that is not a counts table counts.
  loop_.loop().performAndWait([&] {
    keeper_->handleUsage(nullptr);
    const Dictionary wrong{{"version", Value(1)}, {"global", Value("everything")}};
    keeper_->handleUsage(&wrong);
    // More rules than any process sends at once: refused whole.
    RuleUsageTable huge;
    for (int i = 0; i < 5000; ++i)
      addRuleUse(huge, appRule("a.example" + std::to_string(i)), RuleUse{1, Date{1}});
    addRuleUse(huge, appRule("a.example"), RuleUse{1, Date{1}});
    const Dictionary hugeInfo = ruleUsageDictionary(huge);
    keeper_->handleUsage(&hugeInfo);
  });
  EXPECT_TRUE(keeper_->table().empty());

  // The shell's loop is busy; a flood of reports meanwhile.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  loop_.loop().perform([released] { released.wait(); });
  int sent = 0;
  for (int m = 0; m < 3000; ++m) {
    RuleUsageTable batch;
    for (int i = 0; i < 10; ++i)
      addRuleUse(batch, appRule("bogus" + std::to_string(m * 10 + i)), RuleUse{1, Date{1}});
    addRuleUse(batch, appRule("a.example"), RuleUse{1, Date{1}});
    if (send(batch)) ++sent;
  }
  // Every send returned while nobody read: what the socket's backlog took
  // waits there, the rest was dropped.
  EXPECT_GT(sent, 0);
  release.set_value();
  loop_.loop().performAndWait([] {});
  EXPECT_LE(keeper_->table().size(), 50u);
  ASSERT_TRUE(waitFor([&] { return fileCount(appRule("a.example")) > 0; }));
  EXPECT_EQ(file().table.size(), 1u) << "the unknown rules are pruned before they are written";
  EXPECT_LE(fileCount(appRule("a.example")), static_cast<std::uint64_t>(sent));
}

// A hooked process's side: the decision path counts, the report follows a
// moment later on the process's main queue and reaches the keeper.
class RuleUsageReportTest : public RuleUsageSBSTest {};

TEST_F(RuleUsageReportTest, DecisionsOfAProcessReachTheShellAfterAMomentAndAreDroppedWithoutIt) {
  startKeeper();
  KstStoreEnv e = env();
  e.mainLoop = &loop_.loop();
  auto m = std::make_unique<KstSettingsManager>(e);
  m->setCurrentBundleIdentifier("com.a");
  m->reloadAppSettings();
  m->reloadGlobalSettings();
  const Destination a{"a.example", 443, "192.0.2.1"};
  for (int i = 0; i < 3; ++i) countRuleDecision(*m, DecisionStep::kAppAllow, a);
  countRuleDecision(*m, DecisionStep::kGlobalDeny, Destination{"ads.example", 80, "192.0.2.2"});
  countRuleDecision(*m, DecisionStep::kWhiteList, a);  // no stored rule
  ASSERT_TRUE(waitFor([&] {
    const RuleUsageTable table = keeper_->table();
    const RuleUse* use = findRuleUse(table, std::string("com.a"), false, "a.example");
    return use != nullptr && use->count == 3;
  }));
  const RuleUsageTable table = keeper_->table();
  EXPECT_NE(findRuleUse(table, std::nullopt, true, "ads.example"), nullptr);
  EXPECT_EQ(table.size(), 2u);

  // Without the shell the counts are dropped, not kept for later.
  stopKeeper();
  countRuleDecision(*m, DecisionStep::kAppAllow, a);
  EXPECT_EQ(reportRuleUsage(m.get()), 0u);
  startKeeper();
  EXPECT_EQ(reportRuleUsage(m.get()), 0u) << "nothing left over";
}

}  // namespace
}  // namespace kst
