#include "tools/rules/RulesTool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/RuleUsageFile.h"
#include "platform/fs/FileSystem.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst::rules {
namespace {

class RulesToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.dir().empty());
    std::filesystem::create_directories(temp_.path(files::kPreferencesDir));
    reloads_ = center_.addObserver(std::string(msg::kReloadBothNotification), [this] { ++reloadCount_; });
    ASSERT_NE(reloads_, 0u);
  }

  int rules(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", temp_.dir()});
    out_.str("");
    err_.str("");
    return runRules(args, out_, err_);
  }
  std::optional<plist::Dictionary> file(std::string_view devicePath) const {
    return plist::readDictionaryFile(FileSystem::real(), temp_.path(devicePath));
  }
  // The rule texts of one list of the rules file, in file order.
  std::vector<std::string> listed(const std::string& bundle, std::string_view key) const {
    std::vector<std::string> out;
    const auto rules = file(files::kRulesPath);
    const plist::Dictionary* entry = rules ? rules->dictionary(bundle) : nullptr;
    const plist::Array* list = entry ? entry->array(key) : nullptr;
    if (list == nullptr) return out;
    for (const plist::Value& v : *list) {
      const plist::Dictionary* d = v.asDictionary();
      const std::string* rule = d ? d->string(files::kRuleKey) : nullptr;
      out.push_back(rule ? *rule : "?");
    }
    return out;
  }
  std::vector<std::string> globalDeny() const {
    std::vector<std::string> out;
    const auto global = file(files::kGlobalRulesPath);
    const plist::Array* list = global ? global->array(files::kGlobalDenyKey) : nullptr;
    if (list == nullptr) return out;
    for (const plist::Value& v : *list) out.push_back(*v.asDictionary()->string(files::kRuleKey));
    return out;
  }
  // Evaluates a Python expression over `json` parsed by Python's own reader.
  std::string python(const std::string& json, const std::string& expression) {
    const std::string path = temp_.dir() + "/out.json";
    const std::string script = temp_.dir() + "/read.py";
    std::ofstream(path) << json;
    std::ofstream(script) << "import json, sys\nd = json.load(open(sys.argv[1]))\nprint(" << expression
                          << ")\n";
    const std::string command = "python3 " + script + " " + path;
    std::string result;
    if (FILE* p = ::popen(command.c_str(), "r")) {
      char buf[4096];
      while (std::fgets(buf, sizeof buf, p) != nullptr) result += buf;
      ::pclose(p);
    }
    while (!result.empty() && result.back() == '\n') result.pop_back();
    return result;
  }
  bool waitForReloads(int count) {
    for (int i = 0; i < 250 && reloadCount_.load() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return reloadCount_.load() >= count;
  }

  testing::TempRoot temp_;
  DarwinNotifyCenter center_{temp_.root()};
  DarwinNotifyCenter::ObserverId reloads_ = 0;
  std::atomic<int> reloadCount_{0};
  std::ostringstream out_, err_;
};

TEST_F(RulesToolTest, AddListAndRemoveApplicationRules) {
  EXPECT_EQ(rules({"add", "com.example.app", "deny", "Ads.Example", "*.tracker.example:443"}), kExitOk)
      << err_.str();
  EXPECT_EQ(listed("com.example.app", files::kDenyKey),
            (std::vector<std::string>{"*.tracker.example:443", "ads.example"}));
  const auto stored = file(files::kRulesPath);
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->contains(files::kMarkerKey)) << "every writer keeps \"150\"";
  EXPECT_NE(stored->dictionary("com.example.app")->find(files::kAllowKey), nullptr) << "a fresh entry";
  EXPECT_TRUE(waitForReloads(1)) << "running programs are told";

  // Adding again changes nothing and announces nothing.
  EXPECT_EQ(rules({"add", "com.example.app", "deny", "ads.example"}), kExitOk);
  EXPECT_NE(out_.str().find("added 0 of 1"), std::string::npos) << out_.str();
  EXPECT_EQ(listed("com.example.app", files::kDenyKey).size(), 2u);

  EXPECT_EQ(rules({"list", "com.example.app"}), kExitOk);
  EXPECT_NE(out_.str().find("deny (2):"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("ads.example  20"), std::string::npos) << "with its date: " << out_.str();

  EXPECT_EQ(rules({"list", "com.example.app", "--json"}), kExitOk);
  EXPECT_EQ(python(out_.str(),
                   "d['bundleIdentifier'], [r['rule'] for r in d['deny']], d['allow'], "
                   "d['switches']['enabled'], d['deny'][0]['date'][:2]"),
            "com.example.app ['*.tracker.example:443', 'ads.example'] [] True 20");

  EXPECT_EQ(rules({"remove", "com.example.app", "deny", "ADS.example"}), kExitOk) << err_.str();
  EXPECT_EQ(listed("com.example.app", files::kDenyKey), (std::vector<std::string>{"*.tracker.example:443"}));
  EXPECT_EQ(rules({"remove", "com.example.app", "deny", "never.example"}), kExitRefused);
  EXPECT_EQ(rules({"remove", "com.unknown", "deny", "a.example"}), kExitRefused);
  EXPECT_NE(err_.str().find("not in the rules file"), std::string::npos);
  EXPECT_EQ(rules({"list", "com.unknown"}), kExitRefused);
}

TEST_F(RulesToolTest, GlobalListsAndSwitchesByTheirScreenNames) {
  EXPECT_EQ(rules({"add", "--global", "allow", "good.example"}), kExitOk) << err_.str();
  EXPECT_EQ(rules({"set", "--global", "Block If NOT On WiFi", "on"}), kExitOk) << err_.str();
  EXPECT_EQ(rules({"set", "--global", "log", "on"}), kExitOk) << "by key, any case";
  EXPECT_EQ(rules({"set", "--global", "Enabled", "off"}), kExitOk);
  EXPECT_TRUE(std::filesystem::exists(temp_.path(files::kDisabledMarkerPath)));
  const auto global = file(files::kGlobalRulesPath);
  ASSERT_TRUE(global);
  EXPECT_TRUE(plist::boolValue(global->find(files::kBlockNonWiFiKey), false));
  EXPECT_TRUE(plist::boolValue(global->find(files::kLogKey), false));

  EXPECT_EQ(rules({"list", "--global", "--json"}), kExitOk);
  EXPECT_EQ(python(out_.str(),
                   "d['switches']['enabled'], d['switches']['blockNonWiFi'], "
                   "d['switches']['playSoundInSleep'], [r['rule'] for r in d['allow']]"),
            "False True True ['good.example']");
  EXPECT_EQ(rules({"list", "--global"}), kExitOk);
  EXPECT_NE(out_.str().find("Block If NOT On WiFi: on"), std::string::npos) << out_.str();

  EXPECT_EQ(rules({"set", "--global", "Turbo", "on"}), kExitRefused);
  EXPECT_NE(err_.str().find("Solid Popup"), std::string::npos) << "the names are listed: " << err_.str();
  EXPECT_EQ(rules({"set", "--global", "Log", "maybe"}), kExitRefused);
}

TEST_F(RulesToolTest, ApplicationSwitchesFollowTheSettingsScreensLogic) {
  EXPECT_EQ(rules({"set", "com.example.app", "detailedRules", "on"}), kExitRefused)
      << "locked while neither everything switch is on";
  EXPECT_EQ(rules({"set", "com.example.app", "denyEverything", "on"}), kExitOk) << err_.str();
  EXPECT_EQ(rules({"set", "com.example.app", "detailedRules", "on"}), kExitOk) << err_.str();
  EXPECT_EQ(rules({"set", "com.example.app", "allowEverything", "on"}), kExitOk);
  EXPECT_EQ(rules({"set", "com.example.app", "enabled", "off"}), kExitOk);
  EXPECT_EQ(rules({"set", "com.example.app", "blockNonWiFi", "on"}), kExitOk);
  const plist::Dictionary entry = *file(files::kRulesPath)->dictionary("com.example.app");
  EXPECT_EQ(*entry.string(files::kAllowEverythingKey), "1") << "allow replaced deny, as the switches do";
  EXPECT_TRUE(plist::boolValue(entry.find(files::kStillUseRulesKey), false));
  EXPECT_FALSE(plist::boolValue(entry.find(files::kEnabledKey), true));
  EXPECT_TRUE(plist::boolValue(entry.find(files::kBlockSpecificWiFiKey), false));

  EXPECT_EQ(rules({"list", "--json"}), kExitOk);
  EXPECT_EQ(python(out_.str(),
                   "[(a['bundleIdentifier'], a['switches']['allowEverything'], a['allowCount']) "
                   "for a in d['applications']], d['global']"),
            "[('com.example.app', True, 0)] {'allowCount': 0, 'denyCount': 0}");
  EXPECT_EQ(rules({"set", "com.example.app", "turbo", "on"}), kExitRefused);
}

TEST_F(RulesToolTest, ExportAndImportRoundTrip) {
  ASSERT_EQ(rules({"add", "com.a", "allow", "a.example"}), kExitOk);
  ASSERT_EQ(rules({"add", "--global", "deny", "g.example"}), kExitOk);
  const std::string exported = temp_.dir() + "/backup.plist";
  ASSERT_EQ(rules({"export", exported}), kExitOk) << err_.str();
  const auto rulesBefore = file(files::kRulesPath);
  const auto globalBefore = file(files::kGlobalRulesPath);

  ASSERT_EQ(rules({"remove", "com.a", "allow", "a.example"}), kExitOk);
  ASSERT_EQ(rules({"remove", "--global", "deny", "g.example"}), kExitOk);
  const int reloadsBefore = reloadCount_.load();
  ASSERT_EQ(rules({"import", exported}), kExitOk) << err_.str();
  EXPECT_EQ(file(files::kRulesPath), rulesBefore);
  EXPECT_EQ(file(files::kGlobalRulesPath), globalBefore);
  EXPECT_TRUE(waitForReloads(reloadsBefore + 1));

  // Into the settings folder, named as the settings application names it.
  std::filesystem::create_directories(temp_.path("/var/mobile/Library/Preferences/Kst"));
  ASSERT_EQ(rules({"export"}), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("/Kst/KstSettings-"), std::string::npos) << out_.str();

  // Files that are not exports change nothing.
  std::ofstream(temp_.dir() + "/junk.plist") << "not a property list";
  EXPECT_EQ(rules({"import", temp_.dir() + "/junk.plist"}), kExitRefused);
  ASSERT_TRUE(plist::writeDictionaryFile(FileSystem::real(), temp_.dir() + "/other.plist",
                                         plist::Dictionary{{"appRules", plist::Value("a string")}}, false));
  EXPECT_EQ(rules({"import", temp_.dir() + "/other.plist"}), kExitRefused);
  EXPECT_EQ(rules({"import", temp_.dir() + "/missing.plist"}), kExitRefused);
  EXPECT_EQ(file(files::kRulesPath), rulesBefore);
}

TEST_F(RulesToolTest, HostListsGoIntoTheGlobalDenyList) {
  const std::string list = temp_.dir() + "/hosts.txt";
  std::ofstream(list) << "# list\n127.0.0.1 localhost\n0.0.0.0 ads.example tracker.example\nplain.example\n";
  ASSERT_EQ(rules({"add", "--global", "deny", "ads.example"}), kExitOk);
  EXPECT_EQ(rules({"import-hosts", list}), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("added 2 of 3"), std::string::npos) << out_.str();
  EXPECT_EQ(globalDeny(), (std::vector<std::string>{"ads.example", "plain.example", "tracker.example"}));

  std::ofstream(temp_.dir() + "/binary") << std::string("\x00\x01\x02", 3);
  EXPECT_EQ(rules({"import-hosts", temp_.dir() + "/binary"}), kExitRefused);
  EXPECT_EQ(rules({"import-hosts", temp_.dir() + "/absent"}), kExitRefused);
}

TEST_F(RulesToolTest, RulesAddedForAWhileExpireAndTheNextWriteDropsThem) {
  ASSERT_EQ(rules({"add", "com.a", "deny", "--for", "1s", "brief.example"}), kExitOk) << err_.str();
  ASSERT_EQ(rules({"add", "com.a", "deny", "--for", "7d", "week.example"}), kExitOk) << err_.str();
  EXPECT_EQ(rules({"list", "com.a", "--json"}), kExitOk);
  EXPECT_EQ(python(out_.str(), "sorted((r['rule'], 'expires' in r) for r in d['deny'])"),
            "[('brief.example', True), ('week.example', True)]");
  EXPECT_EQ(rules({"list", "com.a"}), kExitOk);
  EXPECT_NE(out_.str().find("brief.example  20"), std::string::npos);
  EXPECT_NE(out_.str().find("expires 20"), std::string::npos) << out_.str();

  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(rules({"list", "com.a", "--json"}), kExitOk);
  EXPECT_EQ(python(out_.str(), "[r['rule'] for r in d['deny']]"), "['week.example']") << "expired: not shown";
  EXPECT_EQ(listed("com.a", files::kDenyKey).size(), 2u) << "still in the file until the next write";
  ASSERT_EQ(rules({"add", "com.a", "allow", "other.example"}), kExitOk);
  EXPECT_EQ(listed("com.a", files::kDenyKey), (std::vector<std::string>{"week.example"}));

  for (const char* bad : {"0m", "5x", "m", "-1h", "99999999999d"})
    EXPECT_EQ(rules({"add", "com.a", "deny", "--for", bad, "x.example"}), kExitRefused) << bad;
  EXPECT_EQ(rules({"remove", "com.a", "deny", "--for", "1h", "week.example"}), kExitRefused);
}

TEST_F(RulesToolTest, ListSaysWhatEachRuleHasDoneByTheShellsCounts) {
  ASSERT_EQ(rules({"add", "com.a", "allow", "used.example", "idle.example"}), kExitOk) << err_.str();
  ASSERT_EQ(rules({"add", "--global", "deny", "ads.example"}), kExitOk) << err_.str();
  RuleUsageTable counts;
  const plist::Date last{786931200};  // 2025-12-09T00:00:00Z
  addRuleUse(counts, RuleUsageKey{std::string("com.a"), false, "used.example"}, RuleUse{10, last});
  addRuleUse(counts, RuleUsageKey{std::string("com.a"), true, "used.example"},
             RuleUse{3, last});  // other list
  addRuleUse(counts, RuleUsageKey{std::nullopt, true, "ads.example"}, RuleUse{1, last});
  const std::string countsPath = temp_.path(files::kRuleUsagePath);
  ASSERT_TRUE(writeRuleUsageFile(FileSystem::real(), countsPath, counts));

  EXPECT_EQ(rules({"list", "com.a"}), kExitOk);
  EXPECT_NE(out_.str().find("used.example  "), std::string::npos);
  EXPECT_NE(out_.str().find("used 10 times, last 2025-12-09T00:00:00Z"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("never used"), std::string::npos) << out_.str();
  EXPECT_EQ(rules({"list", "com.a", "--json"}), kExitOk);
  EXPECT_EQ(python(out_.str(), "sorted((r['rule'], r['used'], r['lastUsed']) for r in d['allow'])"),
            "[('idle.example', 0, None), ('used.example', 10, '2025-12-09T00:00:00Z')]");
  EXPECT_EQ(rules({"list", "--global"}), kExitOk);
  EXPECT_NE(out_.str().find("used 1 time, last"), std::string::npos) << out_.str();

  // A counts file the tool cannot read counts nothing and stays as it is.
  std::ofstream(countsPath, std::ios::trunc) << "not a property list";
  EXPECT_EQ(rules({"list", "com.a", "--json"}), kExitOk);
  EXPECT_EQ(python(out_.str(), "sorted(r['used'] for r in d['allow'])"), "[0, 0]");
  EXPECT_EQ(FileSystem::real().readFile(countsPath), "not a property list");
}

TEST_F(RulesToolTest, BadArgumentsAreRefusedAndNothingIsWritten) {
  EXPECT_EQ(rules({}), kExitRefused);
  EXPECT_NE(err_.str().find("usage:"), std::string::npos);
  EXPECT_EQ(rules({"frobnicate"}), kExitRefused);
  EXPECT_NE(err_.str().find("unknown command"), std::string::npos);
  EXPECT_EQ(rules({"add", "com.a", "maybe", "x.example"}), kExitRefused);
  EXPECT_EQ(rules({"add", "com.a", "deny"}), kExitRefused);
  EXPECT_EQ(rules({"add", "com.a", "deny", std::string(100000, 'a')}), kExitRefused);
  EXPECT_LT(err_.str().size(), 2000u) << "the message does not repeat a huge argument";
  EXPECT_EQ(rules({"add", "com.a", "deny", ""}), kExitRefused);
  EXPECT_EQ(rules({"add", "com.a", "deny", "ok.example", "bad\x01.example"}), kExitRefused)
      << "one bad rule refuses the whole command";
  EXPECT_FALSE(std::filesystem::exists(temp_.path(files::kRulesPath)));
  EXPECT_EQ(rules({"--bogus", "list"}), kExitRefused);
}

TEST_F(RulesToolTest, DamagedFilesAreKeptAsideAndUnwritableStoresSayStatusTwo) {
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(temp_.path(files::kRulesPath), "bplist00 garbage", true));
  EXPECT_EQ(rules({"list"}), kExitOk) << "an unreadable file lists as empty";
  EXPECT_EQ(rules({"add", "com.a", "deny", "x.example"}), kExitOk) << err_.str();
  EXPECT_EQ(listed("com.a", files::kDenyKey), (std::vector<std::string>{"x.example"}));
  bool keptAside = false;
  for (const auto& e : std::filesystem::directory_iterator(temp_.path(files::kPreferencesDir)))
    keptAside = keptAside || e.path().filename().string().find(".damaged") != std::string::npos;
  EXPECT_TRUE(keptAside);

  // A store that cannot be written, whoever runs the test: the preferences
  // folder is a plain file.
  testing::TempRoot broken;
  std::filesystem::create_directories(broken.path("/var/mobile/Library"));
  std::ofstream(broken.path("/var/mobile/Library/Preferences")) << "in the way";
  out_.str("");
  err_.str("");
  EXPECT_EQ(runRules({"--root", broken.dir(), "add", "com.a", "deny", "x.example"}, out_, err_),
            kExitUnwritable);
  EXPECT_NE(err_.str().find("could not write"), std::string::npos) << err_.str();
  EXPECT_EQ(runRules({"--root", broken.dir(), "set", "--global", "Log", "on"}, out_, err_), kExitUnwritable);
  EXPECT_EQ(runRules({"--root", broken.dir(), "set", "com.a", "enabled", "off"}, out_, err_),
            kExitUnwritable);
}

}  // namespace
}  // namespace kst::rules
