#include "hook/store/RuleUsageFile.h"

#include <limits>
#include <unordered_set>
#include <vector>

#include "hook/rules/KstFiles.h"
#include "hook/store/RuleExpiry.h"
#include "platform/plist/PlistFile.h"

namespace kst {

namespace {

using namespace rule_usage;

constexpr std::uint64_t kMaxCount = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// {"allow": {RULE: {...}}, "deny": {...}} of one scope.
plist::Dictionary listsDictionary(const std::map<std::string, RuleUse>* allow,
                                  const std::map<std::string, RuleUse>* deny) {
  auto one = [](const std::map<std::string, RuleUse>& uses) {
    std::vector<plist::Dictionary::Entry> entries;
    entries.reserve(uses.size());
    for (const auto& [rule, use] : uses) {
      entries.emplace_back(rule,
                           plist::Dictionary{{std::string(kCountKey), static_cast<std::int64_t>(use.count)},
                                             {std::string(kLastKey), use.last}});
    }
    // Keys are unique already (a map's): no need for set()'s search.
    return plist::Dictionary::fromEntries(std::move(entries));
  };
  plist::Dictionary lists;
  if (allow != nullptr) lists.set(std::string(kAllowKey), one(*allow));
  if (deny != nullptr) lists.set(std::string(kDenyKey), one(*deny));
  return lists;
}

// Reads one scope's lists into the table; false when a part has the wrong
// type.
bool readLists(const plist::Value& value, const std::optional<std::string>& bundleId, RuleUsageTable& table,
               std::size_t maxEntries) {
  const plist::Dictionary* lists = value.asDictionary();
  if (lists == nullptr) return false;
  for (const auto& [listName, uses] : lists->entries()) {
    const bool deny = listName == kDenyKey;
    if (!deny && listName != kAllowKey) continue;  // a list this version does not know
    const plist::Dictionary* byRule = uses.asDictionary();
    if (byRule == nullptr) return false;
    for (const auto& [rule, useValue] : byRule->entries()) {
      if (table.size() >= maxEntries) return true;
      const plist::Dictionary* use = useValue.asDictionary();
      if (use == nullptr || rule.empty()) continue;
      const plist::Value* count = use->find(kCountKey);
      const plist::Value* last = use->find(kLastKey);
      if (count == nullptr || count->asInteger() == nullptr || *count->asInteger() <= 0) continue;
      if (last == nullptr || last->asDate() == nullptr) continue;
      addRuleUse(table, RuleUsageKey{bundleId, deny, rule},
                 RuleUse{static_cast<std::uint64_t>(*count->asInteger()), *last->asDate()});
    }
  }
  return true;
}

// The rule texts of a stored list that still decide at `now`.
std::unordered_set<std::string> liveRules(const plist::Array* list, plist::Date now) {
  std::unordered_set<std::string> rules;
  if (list == nullptr) return rules;
  for (const plist::Value& v : *list) {
    const plist::Dictionary* entry = v.asDictionary();
    if (entry == nullptr || ruleExpired(*entry, now)) continue;
    if (const std::string* rule = entry->string(files::kRuleKey)) rules.insert(*rule);
  }
  return rules;
}

}  // namespace

void addRuleUse(RuleUsageTable& table, const RuleUsageKey& key, const RuleUse& use) {
  RuleUse& kept = table[key];
  kept.count = use.count > kMaxCount - kept.count ? kMaxCount : kept.count + use.count;
  if (use.last.secondsSinceReference > kept.last.secondsSinceReference) kept.last = use.last;
}

plist::Dictionary ruleUsageDictionary(const RuleUsageTable& table) {
  // Grouped by scope and list; the table's order already is.
  std::map<std::optional<std::string>,
           std::pair<std::map<std::string, RuleUse>, std::map<std::string, RuleUse>>>
      scopes;
  for (const auto& [key, use] : table) {
    auto& lists = scopes[key.bundleId];
    (key.deny ? lists.second : lists.first).emplace(key.rule, use);
  }
  std::vector<plist::Dictionary::Entry> applications;
  plist::Dictionary dict{{std::string(kVersionKey), kVersion}};
  for (const auto& [bundleId, lists] : scopes) {
    plist::Dictionary scope = listsDictionary(lists.first.empty() ? nullptr : &lists.first,
                                              lists.second.empty() ? nullptr : &lists.second);
    if (bundleId) {
      applications.emplace_back(*bundleId, std::move(scope));
    } else {
      dict.set(std::string(kGlobalKey), std::move(scope));
    }
  }
  dict.set(std::string(kApplicationsKey), plist::Dictionary::fromEntries(std::move(applications)));
  return dict;
}

std::optional<RuleUsageTable> ruleUsageFromDictionary(const plist::Dictionary& dict, std::size_t maxEntries) {
  const plist::Value* version = dict.find(kVersionKey);
  if (version == nullptr || version->asInteger() == nullptr || *version->asInteger() < 1 ||
      *version->asInteger() > kVersion) {
    return std::nullopt;
  }
  RuleUsageTable table;
  if (const plist::Value* global = dict.find(kGlobalKey)) {
    if (!readLists(*global, std::nullopt, table, maxEntries)) return std::nullopt;
  }
  if (const plist::Value* applications = dict.find(kApplicationsKey)) {
    const plist::Dictionary* apps = applications->asDictionary();
    if (apps == nullptr) return std::nullopt;
    for (const auto& [bundleId, lists] : apps->entries()) {
      if (bundleId.empty()) continue;
      if (!readLists(lists, bundleId, table, maxEntries)) return std::nullopt;
    }
  }
  return table;
}

RuleUsageFile readRuleUsageFile(FileSystem& fs, const std::string& path) {
  RuleUsageFile file;
  plist::CheckedDictionaryFile checked = plist::readDictionaryFileChecked(fs, path);
  switch (checked.state) {
    case plist::CheckedDictionaryFile::State::kMissing:
      return file;
    case plist::CheckedDictionaryFile::State::kUnreadable:
    case plist::CheckedDictionaryFile::State::kDamaged:
      file.state = RuleUsageFile::State::kDamaged;
      file.bytes = std::move(checked.bytes);
      return file;
    case plist::CheckedDictionaryFile::State::kRead:
      break;
  }
  if (std::optional<RuleUsageTable> table = ruleUsageFromDictionary(checked.dict)) {
    file.state = RuleUsageFile::State::kRead;
    file.table = std::move(*table);
    return file;
  }
  const plist::Value* version = checked.dict.find(kVersionKey);
  const bool newer =
      version != nullptr && version->asInteger() != nullptr && *version->asInteger() > kVersion;
  file.state = newer ? RuleUsageFile::State::kNewer : RuleUsageFile::State::kDamaged;
  file.bytes = fs.readFile(path).value_or(std::string());
  return file;
}

bool writeRuleUsageFile(FileSystem& fs, const std::string& path, const RuleUsageTable& table) {
  return plist::writeDictionaryFile(fs, path, ruleUsageDictionary(table), true);
}

std::size_t pruneRuleUsage(RuleUsageTable& table, const plist::Dictionary* rulesFile,
                           const plist::Dictionary* globalFile, plist::Date now) {
  const std::unordered_set<std::string> globalAllow =
      liveRules(globalFile != nullptr ? globalFile->array(files::kGlobalAllowKey) : nullptr, now);
  const std::unordered_set<std::string> globalDeny =
      liveRules(globalFile != nullptr ? globalFile->array(files::kGlobalDenyKey) : nullptr, now);
  // An application's lists are read once, when its first count is met.
  std::map<std::string, std::pair<std::unordered_set<std::string>, std::unordered_set<std::string>>,
           std::less<>>
      apps;
  std::size_t dropped = 0;
  for (auto it = table.begin(); it != table.end();) {
    const RuleUsageKey& key = it->first;
    const std::unordered_set<std::string>* live = nullptr;
    if (!key.bundleId) {
      live = key.deny ? &globalDeny : &globalAllow;
    } else {
      auto found = apps.find(*key.bundleId);
      if (found == apps.end()) {
        const plist::Dictionary* entry =
            rulesFile != nullptr ? rulesFile->dictionary(*key.bundleId) : nullptr;
        found = apps.emplace(*key.bundleId,
                             std::pair{liveRules(entry ? entry->array(files::kAllowKey) : nullptr, now),
                                       liveRules(entry ? entry->array(files::kDenyKey) : nullptr, now)})
                    .first;
      }
      live = key.deny ? &found->second.second : &found->second.first;
    }
    if (live->count(key.rule) != 0) {
      ++it;
    } else {
      it = table.erase(it);
      ++dropped;
    }
  }
  return dropped;
}

const RuleUse* findRuleUse(const RuleUsageTable& table, const std::optional<std::string>& bundleId, bool deny,
                           const std::string& rule) {
  const auto it = table.find(RuleUsageKey{bundleId, deny, rule});
  return it != table.end() ? &it->second : nullptr;
}

}  // namespace kst
