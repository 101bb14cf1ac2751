#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hook/rules/KstFiles.h"
#include "hook/store/KstSettingsManager.h"
#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst::testing {

// Rule entries as the files hold them.
inline plist::Array ruleEntries(const std::vector<std::string>& rules) {
  plist::Array out;
  for (const auto& r : rules)
    out.emplace_back(plist::Dictionary{{std::string(files::kRuleKey), plist::Value(r)},
                                       {std::string(files::kDateKey), plist::Value(plist::Date{0})}});
  return out;
}

// A temporary device root with helpers to lay down the rule files, and a
// settings manager over it with flags of its own.
class StoreFixture : public ::testing::Test {
 protected:
  void writeFile(std::string_view devicePath, const plist::Dictionary& dict) {
    ASSERT_TRUE(plist::writeDictionaryFile(FileSystem::real(), root_.path(devicePath), dict, true));
  }
  void writeRaw(std::string_view devicePath, const std::string& bytes) {
    ASSERT_TRUE(FileSystem::real().writeFileAtomic(root_.path(devicePath), bytes, true));
  }
  void writeRules(const plist::Dictionary& dict) { writeFile(files::kRulesPath, dict); }
  void writeGlobal(const plist::Dictionary& dict) { writeFile(files::kGlobalRulesPath, dict); }
  void writeWhiteList(const std::vector<std::string>& hosts) {
    plist::Array a;
    for (const auto& h : hosts) a.emplace_back(h);
    writeFile(files::kWhiteListPath, plist::Dictionary{{std::string(files::kWhiteListKey), plist::Value(a)}});
  }

  KstStoreEnv env(RulesRelay* relay = nullptr) {
    KstStoreEnv e;
    e.root = root_.root();
    e.flags = &flags_;
    e.relay = relay;
    return e;
  }

  // A manager for `bundleId` with both parts loaded.
  std::unique_ptr<KstSettingsManager> loaded(const std::string& bundleId, RulesRelay* relay = nullptr) {
    auto m = std::make_unique<KstSettingsManager>(env(relay));
    m->setCurrentBundleIdentifier(bundleId);
    m->clearTempAnswers();
    m->reloadAppSettings();
    m->reloadGlobalSettings();
    return m;
  }

  TempRoot root_;
  KstFlags flags_;
};

}  // namespace kst::testing
