#include "hook/store/KstSettingsManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "hook/Classes/Other/ReachabilityKst.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/HostMapTesting.h"
#include "hook/store/StoreTesting.h"
#include "platform/reachability/NetworkReachability.h"

namespace kst {
namespace {

using plist::Array;
using plist::Dictionary;
using plist::Value;
using testing::ruleEntries;

std::vector<std::string> rulesOf(const std::shared_ptr<const RuleList>& list) {
  return list ? list->rules() : std::vector<std::string>{"<unset>"};
}

class SettingsManagerTest : public testing::StoreFixture {};

TEST_F(SettingsManagerTest, MissingFilesGiveEveryDefault) {
  auto m = loaded("com.example.app");
  EXPECT_FALSE(get(flags_.plistExists));
  EXPECT_FALSE(get(flags_.bundleExistsInPlist));
  EXPECT_TRUE(get(flags_.isKstEnabled));
  EXPECT_FALSE(get(flags_.useDetailedRules));
  EXPECT_FALSE(get(flags_.blockSpecificWiFi));
  EXPECT_EQ(*m->allowEverything(), "") << "no entry: the empty text, not \"0\"";
  EXPECT_TRUE(m->allowArray()->isEmpty());
  EXPECT_TRUE(m->denyArray()->isEmpty());
  EXPECT_TRUE(m->whiteListArray()->empty());
  EXPECT_TRUE(m->plistDictionary()->empty());
  EXPECT_TRUE(m->mutableDicOfCurrentBundleIdentifier()->empty());
  EXPECT_TRUE(m->globalRulesDic()->empty());
  EXPECT_FALSE(get(flags_.respectGlobal));
  EXPECT_FALSE(get(flags_.logging));
  EXPECT_TRUE(get(flags_.useBackgroundedHostresolutionKst));
  ASSERT_TRUE(m->aTheme());
  EXPECT_FALSE(*m->aTheme());
  EXPECT_FALSE(m->needsAppReload());
  EXPECT_FALSE(get(flags_.isSpringBoard));
}

TEST_F(SettingsManagerTest, WithoutBundleIdentifierTheListsStayUnset) {
  KstSettingsManager m(env());
  m.reloadAppSettings();
  ASSERT_TRUE(m.basicString());
  EXPECT_FALSE(m.basicString()->empty());
  EXPECT_FALSE(m.allowArray());
  EXPECT_FALSE(m.denyArray());
  EXPECT_FALSE(m.whiteListArray());
  EXPECT_FALSE(m.allowEverything());
  EXPECT_FALSE(m.mutableDicOfCurrentBundleIdentifier());
  EXPECT_TRUE(m.needsAppReload()) << "every hook then asks for another reload";
}

TEST_F(SettingsManagerTest, ReadsTheApplicationEntry) {
  Array allow = ruleEntries({"good.com", "*.cdn.net:443"});
  allow.emplace_back("not a dictionary");
  allow.emplace_back(Dictionary{{"date", Value(plist::Date{1})}});  // no "rule"
  allow.emplace_back(Dictionary{{"rule", Value(5)}});               // not a text
  writeRules(Dictionary{
      {"150", Value(true)},
      {"com.example.app", Value(Dictionary{{"enabled", Value("NO")},
                                           {"allowEverything", Value("2")},
                                           {"stillUseRules", Value(1)},
                                           {"blockSpecificWiFi", Value(false)},
                                           {"allow", Value(allow)},
                                           {"deny", Value(ruleEntries({"bad.com"}))}})},
      {"com.other", Value(Dictionary{{"allow", Value(ruleEntries({"x"}))}})},
  });
  writeWhiteList({"white.example", "other.example"});
  auto m = loaded("com.example.app");
  EXPECT_TRUE(get(flags_.plistExists));
  EXPECT_TRUE(get(flags_.bundleExistsInPlist));
  EXPECT_FALSE(get(flags_.isKstEnabled)) << "\"NO\" read by its boolean value";
  EXPECT_TRUE(get(flags_.useDetailedRules));
  EXPECT_EQ(*m->allowEverything(), "2");
  EXPECT_EQ(rulesOf(m->allowArray()), (std::vector<std::string>{"good.com", "*.cdn.net:443"}));
  EXPECT_EQ(rulesOf(m->denyArray()), std::vector<std::string>{"bad.com"});
  EXPECT_EQ(*m->whiteListArray(), (std::vector<std::string>{"white.example", "other.example"}));
  EXPECT_EQ(m->plistDictionary()->size(), 3u);
  EXPECT_EQ(*m->mutableDicOfCurrentBundleIdentifier(), *m->plistDictionary()->dictionary("com.example.app"));
}

TEST_F(SettingsManagerTest, UnreadableFilesReadAsMissing) {
  // An XML rules file is as good as a binary one.
  writeRaw(files::kRulesPath,
           "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>com.example.app</key><dict>"
           "<key>allowEverything</key><string>1</string></dict></dict></plist>");
  auto m = loaded("com.example.app");
  EXPECT_EQ(*m->allowEverything(), "1");

  for (const std::string& bad :
       {std::string(), std::string("garbage"), std::string("bplist00\x01\x02", 10)}) {
    writeRaw(files::kRulesPath, bad);
    writeRaw(files::kGlobalRulesPath, bad);
    writeRaw(files::kWhiteListPath, bad);
    m->reloadAppSettings();
    m->reloadGlobalSettings();
    EXPECT_TRUE(get(flags_.plistExists)) << "the file is there, only unreadable";
    EXPECT_FALSE(get(flags_.bundleExistsInPlist));
    EXPECT_EQ(*m->allowEverything(), "");
    EXPECT_TRUE(m->whiteListArray()->empty());
    EXPECT_TRUE(m->globalAllowArray()->isEmpty());
  }

  // Values of the wrong type count as missing.
  writeRules(Dictionary{{"com.example.app", Value("not a dictionary")}});
  writeWhiteList({});
  writeFile(files::kWhiteListPath, Dictionary{{"whiteList", Value("one.example")}});
  writeGlobal(Dictionary{{"globalDeny", Value(Dictionary{})}, {"theme", Value(1)}});
  m->reloadAppSettings();
  m->reloadGlobalSettings();
  EXPECT_FALSE(get(flags_.bundleExistsInPlist));
  EXPECT_TRUE(m->whiteListArray()->empty());
  EXPECT_TRUE(m->globalDenyArray()->isEmpty());
  EXPECT_FALSE(*m->aTheme());
}

TEST_F(SettingsManagerTest, ReadsTheGlobalFile) {
  writeGlobal(Dictionary{{"150", Value(true)},
                         {"globalAllow", Value(ruleEntries({"a.com"}))},
                         {"globalDeny", Value(ruleEntries({"b.com", "c.com"}))},
                         {"respectGlobal", Value(true)},
                         {"log", Value("yes")},
                         {"advancedHostnameResolution", Value(true)},
                         {"theme", Value("blue")}});
  auto m = loaded("com.example.app");
  EXPECT_EQ(rulesOf(m->globalAllowArray()), std::vector<std::string>{"a.com"});
  EXPECT_EQ(rulesOf(m->globalDenyArray()), (std::vector<std::string>{"b.com", "c.com"}));
  EXPECT_TRUE(get(flags_.respectGlobal));
  EXPECT_TRUE(get(flags_.logging));
  EXPECT_FALSE(get(flags_.useBackgroundedHostresolutionKst));
  EXPECT_TRUE(*m->aTheme());
  EXPECT_EQ(m->globalRulesDic()->size(), 7u);

  writeGlobal(Dictionary{{"theme", Value("Blue")}});
  m->reloadGlobalSettings();
  EXPECT_FALSE(*m->aTheme()) << "only \"blue\" exactly selects theme 1";
  EXPECT_FALSE(get(flags_.respectGlobal));
  EXPECT_TRUE(get(flags_.useBackgroundedHostresolutionKst));
}

TEST_F(SettingsManagerTest, SpringBoardIsRecognisedByItsIdentifier) {
  auto m = loaded("com.apple.springboard");
  EXPECT_TRUE(get(flags_.isSpringBoard));
}

TEST_F(SettingsManagerTest, AnswersOfThisRunSurviveReloads) {
  auto m = loaded("com.example.app");
  m->addTempAllowRule("*.a.example.com:443");
  m->addTempDenyRule("bad.example");
  m->setTempAllowAllString("1");
  m->setUrlArray({});
  m->appendUrl("https://x.example/");
  writeRules(Dictionary{{"com.example.app", Value(Dictionary{{"allowEverything", Value("1")}})}});
  m->reloadAppSettings();
  m->reloadGlobalSettings();
  m->reloadAppSettings();
  EXPECT_EQ(rulesOf(m->tempAllowArray()), std::vector<std::string>{"*.a.example.com:443"});
  EXPECT_EQ(rulesOf(m->tempDenyArray()), std::vector<std::string>{"bad.example"});
  EXPECT_EQ(*m->tempAllowAllString(), "1");
  EXPECT_EQ(m->urlArray()->size(), 1u);
  m->clearTempAnswers();
  EXPECT_TRUE(m->tempAllowArray()->isEmpty());
  EXPECT_TRUE(m->tempDenyArray()->isEmpty());
  EXPECT_EQ(*m->tempAllowAllString(), "0");
}

// Records on which thread the files were read.
class ThreadRecordingFs : public FileSystemWrapper {
 public:
  using FileSystemWrapper::FileSystemWrapper;
  std::optional<std::string> readFile(const std::string& path) override {
    readerThreads.fetch_or(std::this_thread::get_id() == caller ? 1 : 2);
    return FileSystemWrapper::readFile(path);
  }
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> readerThreads{0};
};

TEST_F(SettingsManagerTest, ReloadFromAnotherThreadRunsOnTheMainQueueAndWaits) {
  writeRules(Dictionary{{"com.example.app", Value(Dictionary{{"allow", Value(ruleEntries({"a.com"}))}})}});
  ThreadRecordingFs fs(FileSystem::real());
  KstStoreEnv e = env();
  e.fs = &fs;
  KstSettingsManager m(e);
  m.setCurrentBundleIdentifier("com.example.app");
  // The queue's thread runs (before it does, a waited reload runs on its
  // caller, as the queue's thread for the time).
  std::promise<void> serving;
  mainQueue().perform([&] { serving.set_value(); });
  serving.get_future().wait();
  ASSERT_FALSE(mainQueue().isLoopThread());
  m.reloadAppSettings();
  // Returned only after the main queue finished: the result is there.
  EXPECT_EQ(rulesOf(m.allowArray()), std::vector<std::string>{"a.com"});
  EXPECT_EQ(fs.readerThreads.load(), 2) << "files are read on the main queue only";
}

// Counts the reads of each file.
class CountingFs : public FileSystemWrapper {
 public:
  using FileSystemWrapper::FileSystemWrapper;
  std::optional<std::string> readFile(const std::string& path) override {
    ++reads;
    return FileSystemWrapper::readFile(path);
  }
  std::atomic<int> reads{0};
};

TEST_F(SettingsManagerTest, DeferredReloadReadsTheFilesAtFirstNeedOnceForEveryCaller) {
  CountingFs fs(FileSystem::real());
  KstStoreEnv e = env();
  e.fs = &fs;
  KstSettingsManager m(e);
  m.setCurrentBundleIdentifier("com.example.app");
  m.deferReload();
  EXPECT_EQ(fs.reads.load(), 0) << "nothing is read when the reload is deferred";

  // Written after start-up, before the first need: the first need reads them.
  writeRules(Dictionary{{"com.example.app", Value(Dictionary{{"allow", Value(ruleEntries({"a.com"}))}})}});
  writeGlobal(Dictionary{{"globalDeny", Value(ruleEntries({"b.com"}))}, {"log", Value(true)}});

  constexpr int kThreads = 6;
  std::vector<std::vector<std::string>> seenAllow(kThreads), seenDeny(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      m.reloadIfDeferred();
      // Returned only after the reload: every caller sees both settings.
      seenAllow[i] = rulesOf(m.allowArray());
      seenDeny[i] = rulesOf(m.globalDenyArray());
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(seenAllow[i], std::vector<std::string>{"a.com"}) << "caller " << i;
    EXPECT_EQ(seenDeny[i], std::vector<std::string>{"b.com"}) << "caller " << i;
  }
  EXPECT_TRUE(get(flags_.logging));
  const int readsOfOneReload = fs.reads.load();
  EXPECT_GT(readsOfOneReload, 0);

  m.reloadIfDeferred();
  EXPECT_EQ(fs.reads.load(), readsOfOneReload) << "the deferred reload runs once";
  m.deferReload();
  m.reloadIfDeferred();
  EXPECT_EQ(fs.reads.load(), 2 * readsOfOneReload) << "deferred again, read again";
}

// Fails the first `failures` reads as an exhausted memory would.
class ExhaustedFs : public FileSystemWrapper {
 public:
  ExhaustedFs(FileSystem& inner, int failures) : FileSystemWrapper(inner), failures_(failures) {}
  std::optional<std::string> readFile(const std::string& path) override {
    if (failures_.fetch_sub(1) > 0) throw std::bad_alloc();
    return FileSystemWrapper::readFile(path);
  }

 private:
  std::atomic<int> failures_;
};

TEST_F(SettingsManagerTest, ADeferredReloadThatFailsThrowsOnTheCallerAndIsTriedAgain) {
  writeRules(Dictionary{{"com.example.app", Value(Dictionary{{"allow", Value(ruleEntries({"a.com"}))}})}});
  ExhaustedFs fs(FileSystem::real(), 1);
  KstStoreEnv e = env();
  e.fs = &fs;
  KstSettingsManager m(e);
  m.setCurrentBundleIdentifier("com.example.app");
  m.deferReload();
  ASSERT_FALSE(mainQueue().isLoopThread());
  EXPECT_THROW(m.reloadIfDeferred(), std::bad_alloc) << "on this thread; the main queue goes on";
  m.reloadIfDeferred();
  EXPECT_EQ(rulesOf(m.allowArray()), std::vector<std::string>{"a.com"}) << "tried again, and read";
}

TEST_F(SettingsManagerTest, ReadersNeverSeeAListFreedOrChangedUnderThem) {
  std::vector<std::string> many;
  for (int i = 0; i < 2000; ++i) many.push_back("host" + std::to_string(i) + ".example");
  writeGlobal(Dictionary{{"globalDeny", Value(ruleEntries(many))}});
  writeRules(Dictionary{{"com.example.app", Value(Dictionary{{"deny", Value(ruleEntries(many))}})}});
  auto m = loaded("com.example.app");
  std::atomic<bool> stop{false};
  std::atomic<long> seen{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        auto list = m->globalDenyArray();
        auto deny = m->denyArray();
        if (list && deny) {
          std::size_t total = 0;
          for (const auto& rule : list->rules()) total += rule.size();
          EXPECT_GT(total, 0u);
          EXPECT_TRUE(deny->matches("host1999.example", 80, "1.2.3.4"));
          seen.fetch_add(1);
        }
        m->addTempAllowRule("t.example");
      }
    });
  }
  std::vector<std::thread> reloaders;
  for (int w = 0; w < 2; ++w) {
    reloaders.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        m->reloadGlobalSettings();
        m->reloadAppSettings();
      }
    });
  }
  for (auto& t : reloaders) t.join();
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_GT(seen.load(), 0);
  EXPECT_EQ(m->globalDenyArray()->size(), 2000u);
}

// The relay stands in for SpringBoard's rules service: it answers with the
// dictionary the test sets, as the service would send it.
class ScriptedRelay : public RulesRelay {
 public:
  plist::Dictionary sendAndWait(std::string_view name, const plist::Dictionary* userInfo) override {
    asked.emplace_back(name);
    if (userInfo != nullptr) lastUserInfo = *userInfo;
    return name == msg::kStdRules ? appReply : globalReply;
  }
  Dictionary appReply;
  Dictionary globalReply;
  std::vector<std::string> asked;
  Dictionary lastUserInfo;
};

TEST_F(SettingsManagerTest, RelayEmptyReplyReadsAllowEverythingZero) {
  ScriptedRelay relay;
  relay.appReply =
      Dictionary{{"empty", Value("empty")}, {"whiteListArray", Value(Array{Value("w.example")})}};
  relay.globalReply = Dictionary{{"empty", Value("empty")}};
  set(flags_.alternativeLoading, true);
  set(flags_.logging, true);
  auto m = loaded("com.apple.weather", &relay);
  EXPECT_EQ(relay.asked, (std::vector<std::string>{"std.Rules", "global.Rules"}));
  EXPECT_EQ(*relay.lastUserInfo.string("bI"), "com.apple.weather");
  EXPECT_FALSE(get(flags_.bundleExistsInPlist));
  EXPECT_EQ(*m->allowEverything(), "0");
  EXPECT_TRUE(get(flags_.isKstEnabled));
  EXPECT_EQ(*m->whiteListArray(), std::vector<std::string>{"w.example"});
  EXPECT_FALSE(get(flags_.logging));
  EXPECT_FALSE(*m->aTheme());
  EXPECT_TRUE(m->globalRulesDic()->empty());
}

TEST_F(SettingsManagerTest, RelayReplyWithAnEntry) {
  ScriptedRelay relay;
  relay.appReply =
      Dictionary{{"mutableDicOfCurrentBundleIdentifier", Value(Dictionary{{"enabled", Value(false)}})},
                 {"enabled", Value(false)},
                 {"shouldUseDetailedRules", Value(true)},
                 {"allowArray", Value(ruleEntries({"a.com"}))},
                 {"denyArray", Value(ruleEntries({"d.com"}))}};
  relay.globalReply = Dictionary{{"globalRulesDic", Value(Dictionary{{"log", Value(true)}})},
                                 {"globalDenyArray", Value(ruleEntries({"g.com"}))},
                                 {"logging", Value(true)},
                                 {"advancedHostnameResolution", Value(true)}};
  set(flags_.alternativeLoading, true);
  auto m = loaded("com.apple.youtube", &relay);
  EXPECT_TRUE(get(flags_.bundleExistsInPlist));
  EXPECT_FALSE(get(flags_.isKstEnabled));
  EXPECT_TRUE(get(flags_.useDetailedRules));
  EXPECT_EQ(*m->allowEverything(), "0") << "missing in the reply: \"0\"";
  EXPECT_EQ(rulesOf(m->allowArray()), std::vector<std::string>{"a.com"});
  EXPECT_EQ(rulesOf(m->denyArray()), std::vector<std::string>{"d.com"});
  EXPECT_EQ(m->mutableDicOfCurrentBundleIdentifier()->size(), 1u);
  EXPECT_TRUE(m->whiteListArray()->empty());
  EXPECT_EQ(rulesOf(m->globalDenyArray()), std::vector<std::string>{"g.com"});
  EXPECT_TRUE(get(flags_.logging));
  EXPECT_FALSE(get(flags_.useBackgroundedHostresolutionKst));
  EXPECT_FALSE(m->aTheme()) << "no \"themeNumber\": the theme stays unset";
}

// A relay that fails (memory exhausted, say) once it has answered.
class FailingRelay : public ScriptedRelay {
 public:
  plist::Dictionary sendAndWait(std::string_view name, const plist::Dictionary* userInfo) override {
    if (failing) throw std::bad_alloc();
    return ScriptedRelay::sendAndWait(name, userInfo);
  }
  bool failing = false;
};

TEST_F(SettingsManagerTest, AReloadThatFailsKeepsThePreviousWholeRuleSet) {
  FailingRelay relay;
  relay.appReply = Dictionary{{"allowArray", Value(ruleEntries({"a.com"}))},
                              {"denyArray", Value(ruleEntries({"d.com"}))}};
  relay.globalReply = Dictionary{{"globalDenyArray", Value(ruleEntries({"g.com"}))}};
  set(flags_.alternativeLoading, true);
  auto m = loaded("com.apple.youtube", &relay);
  const std::shared_ptr<const RuleSet> before = m->ruleSet();
  ASSERT_TRUE(before && before->app && before->global);
  relay.failing = true;
  EXPECT_THROW(m->reallyReloadAppSettings(), std::bad_alloc);
  EXPECT_THROW(m->reallyReloadGlobalSettings(), std::bad_alloc);
  const std::shared_ptr<const RuleSet> after = m->ruleSet();
  EXPECT_EQ(after, before) << "nothing half-read was published";
  EXPECT_EQ(rulesOf(after->app->allow), std::vector<std::string>{"a.com"});
  EXPECT_EQ(rulesOf(after->global->deny), std::vector<std::string>{"g.com"});
}

TEST_F(SettingsManagerTest, RelayWithoutReplyReadsEveryDefault) {
  // No relay reachable: as a reply without any key.
  set(flags_.alternativeLoading, true);
  auto m = loaded("com.apple.mobileslideshow");
  EXPECT_TRUE(get(flags_.bundleExistsInPlist));
  EXPECT_TRUE(get(flags_.isKstEnabled));
  EXPECT_EQ(*m->allowEverything(), "0");
  EXPECT_TRUE(m->globalAllowArray()->isEmpty());
  EXPECT_TRUE(m->globalDenyArray()->isEmpty());
  EXPECT_FALSE(m->needsAppReload());
}

class WiFiBlockTest : public SettingsManagerTest {
 protected:
  void TearDown() override { NetworkReachability::setFlagsForTesting(std::nullopt); }
  static constexpr std::uint32_t kWiFi = kReachabilityReachable;
  static constexpr std::uint32_t kCellular = kReachabilityReachable | kReachabilityIsWWAN;

  // Network changes arrive on the main queue; wait until it has run them.
  static void drainMainQueue() {
    for (int i = 0; i < 3; ++i) mainQueue().performAndWait([] {});
  }
};

TEST_F(WiFiBlockTest, PerAppSwitchFollowsTheNetwork) {
  NetworkReachability::setFlagsForTesting(kWiFi);
  writeRules(Dictionary{{"com.example.app", Value(Dictionary{{"blockSpecificWiFi", Value(true)}})}});
  auto m = loaded("com.example.app");
  EXPECT_FALSE(get(flags_.blockSpecificWiFi));
  EXPECT_TRUE(get(flags_.willBeBlockedOn3G));
  EXPECT_EQ(flags_.localWiFiConnectionStatusKst.load(), 1);
  EXPECT_TRUE(get(flags_.reachNotifierStarted));

  NetworkReachability::setFlagsForTesting(kCellular);
  drainMainQueue();
  EXPECT_TRUE(get(flags_.blockSpecificWiFi));
  EXPECT_TRUE(get(flags_.blockNonWiFi)) << "a change sets both flags alike";

  m->reloadGlobalSettings();
  EXPECT_FALSE(get(flags_.blockNonWiFi)) << "the next reload sets each from its own switch";
  EXPECT_TRUE(get(flags_.blockSpecificWiFi));

  NetworkReachability::setFlagsForTesting(kWiFi);
  drainMainQueue();
  EXPECT_FALSE(get(flags_.blockSpecificWiFi));
}

TEST_F(WiFiBlockTest, WithoutASwitchNetworkChangesChangeNothing) {
  NetworkReachability::setFlagsForTesting(kCellular);
  auto m = loaded("com.example.app");
  EXPECT_FALSE(get(flags_.willBeBlockedOn3G));
  EXPECT_FALSE(get(flags_.reachNotifierStarted));
  NetworkReachability::setFlagsForTesting(kWiFi);
  NetworkReachability::setFlagsForTesting(kCellular);
  drainMainQueue();
  EXPECT_FALSE(get(flags_.blockSpecificWiFi));
  EXPECT_FALSE(get(flags_.blockNonWiFi));
}

TEST_F(WiFiBlockTest, GlobalSwitchOnCellularAndNoNetworkAtAll) {
  NetworkReachability::setFlagsForTesting(kCellular);
  writeGlobal(Dictionary{{"blockNonWiFi", Value(true)}});
  auto m = loaded("com.example.app");
  EXPECT_TRUE(get(flags_.blockNonWiFi));
  EXPECT_EQ(flags_.localWiFiConnectionStatusKst.load(), 2);
  NetworkReachability::setFlagsForTesting(0);  // no network: status 0 blocks nothing
  m->reloadGlobalSettings();
  EXPECT_FALSE(get(flags_.blockNonWiFi));
  EXPECT_EQ(flags_.localWiFiConnectionStatusKst.load(), 0);
}

TEST(ExportedReloadTest, CreateTheProcessManagerOnFirstUseAndKeepIt) {
  // The process's manager lives as long as the process: another test (or an
  // earlier repetition) may have made it already.
  KstSettingsManager* before = settingsManagerKst();
  reloadBoth();
  KstSettingsManager* made = settingsManagerKst();
  ASSERT_NE(made, nullptr);
  if (before != nullptr) {
    EXPECT_EQ(made, before);
  }
  EXPECT_TRUE(made->globalAllowArray());
  reloadData();
  reloadGlobal();
  EXPECT_EQ(settingsManagerKst(), made);
  EXPECT_EQ(&ensureSettingsManagerKst(), made);
}

TEST_F(SettingsManagerTest, OwnHostMapLookupsDoNotHoldUpItsReaders) {
  // The iOS 7/8 manager keeps the map; a foreground lookup runs on the
  // thread that handed the name in, for as long as the network takes.
  testing::ScriptedResolver resolver;
  resolver.script("fast.example", {"10.0.0.1"});
  resolver.script("slow.example",
                  testing::ScriptedResolver::Answer{Resolver::Addresses{"10.0.0.9"}, Seconds(0), true});
  KstStoreEnv e = env();
  e.ownHostMap = true;
  e.resolver = &resolver;
  KstSettingsManager m(e);
  m.doHostStuff("fast.example");
  ASSERT_EQ(m.lastHostNameForAddress("10.0.0.1"), "fast.example");

  std::thread app([&] { m.doHostStuff("slow.example"); });
  ASSERT_TRUE(resolver.waitForCalls(2));
  // Another thread's connect names its address meanwhile.
  auto connect = std::async(std::launch::async, [&] { return m.lastHostNameForAddress("10.0.0.1"); });
  const bool answered = connect.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  resolver.release();
  app.join();
  EXPECT_TRUE(answered) << "a reader waited behind another thread's lookup";
  EXPECT_EQ(connect.get(), "fast.example");
  EXPECT_EQ(m.lastHostNameForAddress("10.0.0.9"), "slow.example");
  m.clearHostMap();
  EXPECT_EQ(m.lastHostNameForAddress("10.0.0.1"), std::nullopt);
}

TEST_F(WiFiBlockTest, RelayWiFiKeysCountAsTheReplySpellsAndTypesThem) {
  NetworkReachability::setFlagsForTesting(kCellular);
  ScriptedRelay relay;
  set(flags_.alternativeLoading, true);
  // The file's spelling "blockSpecificWiFi" means nothing in a reply, and a
  // "blockNonWiFi" that is not the boolean true is off.
  relay.appReply = Dictionary{{"mutableDicOfCurrentBundleIdentifier", Value(Dictionary{})},
                              {"blockSpecificWiFi", Value(true)}};
  relay.globalReply = Dictionary{{"globalRulesDic", Value(Dictionary{})}, {"blockNonWiFi", Value(1)}};
  auto m = loaded("com.apple.youtube", &relay);
  EXPECT_FALSE(get(flags_.blockSpecificWiFi));
  EXPECT_FALSE(get(flags_.blockNonWiFi));
  relay.globalReply.set("blockNonWiFi", Value("YES"));
  m->reloadGlobalSettings();
  EXPECT_FALSE(get(flags_.blockNonWiFi));

  relay.appReply.set("blockSpecificWifi", Value(true));
  relay.globalReply.set("blockNonWiFi", Value(true));
  m->reloadAppSettings();
  m->reloadGlobalSettings();
  EXPECT_TRUE(get(flags_.blockSpecificWiFi)) << "the reply's own spelling, on the cellular network";
  EXPECT_TRUE(get(flags_.blockNonWiFi));
  EXPECT_EQ(flags_.localWiFiConnectionStatusKst.load(), 2);
}

TEST(ReachabilityKstTest, StatusArithmetic) {
  constexpr std::uint32_t R = kReachabilityReachable;
  struct Row {
    std::uint32_t flags;
    int status;
  };
  for (const Row& row : std::initializer_list<Row>{
           {0, NotReachable},
           {kReachabilityIsWWAN, NotReachable},  // not reachable at all
           {R, ReachableViaWiFi},
           {R | kReachabilityIsWWAN, ReachableViaWWAN},
           {R | kReachabilityIsWWAN | kReachabilityConnectionRequired, ReachableViaWWAN},
           {R | kReachabilityConnectionRequired, NotReachable},
           // A connection made on demand or on traffic counts as WiFi...
           {R | kReachabilityConnectionRequired | kReachabilityConnectionOnDemand, ReachableViaWiFi},
           {R | kReachabilityConnectionRequired | kReachabilityConnectionOnTraffic, ReachableViaWiFi},
           // ...unless the person must step in.
           {R | kReachabilityConnectionRequired | kReachabilityConnectionOnDemand |
                kReachabilityInterventionRequired,
            NotReachable},
           {R | kReachabilityConnectionOnDemand | kReachabilityInterventionRequired, ReachableViaWiFi},
       })
    EXPECT_EQ(ReachabilityKst::networkStatusForFlags(row.flags), row.status) << std::hex << row.flags;

  // The local WiFi watch wants a reachable, direct link.
  EXPECT_EQ(ReachabilityKst::localWiFiStatusForFlags(R | kReachabilityIsDirect), ReachableViaWiFi);
  EXPECT_EQ(ReachabilityKst::localWiFiStatusForFlags(R), NotReachable);
  EXPECT_EQ(ReachabilityKst::localWiFiStatusForFlags(kReachabilityIsDirect), NotReachable);
}

TEST(ReachabilityKstTest, WatchersAndCheckWiFi2ReadTheNetwork) {
  struct Restore {
    ~Restore() { NetworkReachability::setFlagsForTesting(std::nullopt); }
  } restore;
  auto internet = ReachabilityKst::reachabilityForInternetConnection();
  auto local = ReachabilityKst::reachabilityForLocalWiFi();
  ASSERT_TRUE(internet && local);
  EXPECT_FALSE(internet->localWiFiRef());
  EXPECT_TRUE(local->localWiFiRef());

  NetworkReachability::setFlagsForTesting(kReachabilityReachable | kReachabilityIsDirect);
  EXPECT_EQ(internet->currentReachabilityStatus(), ReachableViaWiFi);
  EXPECT_EQ(local->currentReachabilityStatus(), ReachableViaWiFi);
  EXPECT_FALSE(checkWiFi2());
  EXPECT_EQ(kstFlags().localWiFiConnectionStatusKst.load(), ReachableViaWiFi);

  NetworkReachability::setFlagsForTesting(kReachabilityReachable | kReachabilityIsWWAN);
  EXPECT_EQ(internet->currentReachabilityStatus(), ReachableViaWWAN);
  EXPECT_EQ(local->currentReachabilityStatus(), NotReachable);
  EXPECT_TRUE(checkWiFi2());
  EXPECT_EQ(kstFlags().localWiFiConnectionStatusKst.load(), ReachableViaWWAN);

  NetworkReachability::setFlagsForTesting(kReachabilityReachable | kReachabilityConnectionRequired);
  EXPECT_TRUE(internet->connectionRequired());
  EXPECT_FALSE(checkWiFi2());
  EXPECT_EQ(kstFlags().localWiFiConnectionStatusKst.load(), NotReachable);
}

TEST(DescriptionTest, ListsEveryPropertyByLabel) {
  testing::TempRoot root;
  KstFlags flags;
  KstStoreEnv e;
  e.root = root.root();
  e.flags = &flags;
  KstSettingsManager m(e);
  m.setAppName("Demo");
  const std::string d = m.description();
  for (const char* label :
       {"\n appName Demo", "\n basicString ", "\n urlArray ", "\n currentBundleIdentifier ",
        "\n plistDictionary ", "\n ipDictionary ", "\n tempAllowArray ", "\n tempDenyArray ",
        "\n allowEverything ", "\n allowArray ", "\n denyArray ", "\n mutableDicOfCurrentBundleIdentifier ",
        "\n globalRulesDic ", "\n globalAllowArray ", "\n globalDenyArray ", "\n whiteListArray ",
        "\n tempAllowAllString ", "\n aTheme "})
    EXPECT_NE(d.find(label), std::string::npos) << label;
}

}  // namespace
}  // namespace kst
