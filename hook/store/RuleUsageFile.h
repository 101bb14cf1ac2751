#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistValue.h"

namespace kst {

// What each stored rule has done: how many connections it decided and when
// it last did. The shell keeps these in a file of its own beside the rule
// files (the rule files' format belongs to their older writers), and hooked
// processes send their counts in the same shape:
//
//   {"version": 1,
//    "applications": {BUNDLE_ID: {"allow": {RULE: {"count": N, "last": DATE}},
//                                 "deny": {...}}},
//    "global": {"allow": {...}, "deny": {...}}}
//
// A rule is known by its scope (an application or the global lists), its
// list and its text. Counts of rules that are no longer in their list are
// dropped (pruneRuleUsage) and never shown.

struct RuleUsageKey {
  std::optional<std::string> bundleId;  // none: the global lists
  bool deny = false;
  std::string rule;
  auto operator<=>(const RuleUsageKey&) const = default;
};

struct RuleUse {
  std::uint64_t count = 0;
  plist::Date last;
};

using RuleUsageTable = std::map<RuleUsageKey, RuleUse>;

namespace rule_usage {

inline constexpr std::int64_t kVersion = 1;
inline constexpr std::string_view kVersionKey = "version";
inline constexpr std::string_view kApplicationsKey = "applications";
inline constexpr std::string_view kGlobalKey = "global";
inline constexpr std::string_view kAllowKey = "allow";
inline constexpr std::string_view kDenyKey = "deny";
inline constexpr std::string_view kCountKey = "count";
inline constexpr std::string_view kLastKey = "last";

}  // namespace rule_usage

// Adds `use` to the table: counts add up (saturating), the later use wins.
void addRuleUse(RuleUsageTable& table, const RuleUsageKey& key, const RuleUse& use);

// The table as the file and the messages hold it.
plist::Dictionary ruleUsageDictionary(const RuleUsageTable& table);

// Reads a dictionary of that shape. `maxEntries` bounds what is taken
// (extra entries are left out). None when the dictionary is not such a
// table: no "version", a version newer than this one, or a part of the
// wrong type. Entries that are wrong in themselves (a count that is not a
// positive number, a last use that is not a date) are left out.
std::optional<RuleUsageTable> ruleUsageFromDictionary(const plist::Dictionary& dict,
                                                      std::size_t maxEntries = SIZE_MAX);

// The counts file as a reader sees it.
struct RuleUsageFile {
  enum class State { kMissing, kRead, kDamaged, kNewer };
  State state = State::kMissing;
  RuleUsageTable table;  // empty unless read
  std::string bytes;     // damaged or newer: what the file holds
};
RuleUsageFile readRuleUsageFile(FileSystem& fs, const std::string& path);

// Writes the table whole, atomically.
bool writeRuleUsageFile(FileSystem& fs, const std::string& path, const RuleUsageTable& table);

// Drops the counts of rules that are not (or no longer) in their list: an
// application's "allow"/"deny" in the rules file, "globalAllow"/"globalDeny"
// in the global rules file; a rule that has expired at `now` is gone too.
// A file that is absent keeps nothing of its scope. Returns how many went.
std::size_t pruneRuleUsage(RuleUsageTable& table, const plist::Dictionary* rulesFile,
                           const plist::Dictionary* globalFile, plist::Date now);

// The use of one rule, if it was counted.
const RuleUse* findRuleUse(const RuleUsageTable& table, const std::optional<std::string>& bundleId, bool deny,
                           const std::string& rule);
// The answer points into the table, so a temporary one would leave it dangling.
const RuleUse* findRuleUse(RuleUsageTable&& table, const std::optional<std::string>& bundleId, bool deny,
                           const std::string& rule) = delete;

}  // namespace kst
