#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hook/store/RuleUsageFile.h"
#include "platform/plist/PlistValue.h"

namespace kst::panel {

// One row of an application list: "bundleIdentifier" and "displayName"
// (absent when the catalogue supplied no name).
struct AppEntry {
  std::string bundleIdentifier;
  std::optional<std::string> displayName;
  bool operator==(const AppEntry&) const = default;
};

// One rule entry of a rule list, as a dictionary of "rule" and "date",
// with both taken out for sorting and showing. An element without a "rule"
// string has empty rule text.
struct RuleEntry {
  plist::Dictionary dict;
  std::string rule;
  std::optional<plist::Date> date;
  std::optional<plist::Date> expires;  // none: kept until removed
  // What the rule has done, from the shell's counts file; none: never
  // counted. Not part of `dict`: the rule files never hold it.
  std::optional<RuleUse> use;

  static RuleEntry fromDictionary(plist::Dictionary d);
  static RuleEntry make(std::string rule, plist::Date date,
                        std::optional<plist::Date> expires = std::nullopt);
};

// Case-insensitive three-way comparison of UTF-8 texts (ASCII letters fold;
// other characters compare by code point).
int compareCaseInsensitive(std::string_view a, std::string_view b);
// Lower-cases the ASCII letters of `s`; the rest is kept as typed.
std::string lowerCased(std::string_view s);
// `haystack` in lower case contains `needle` in lower case.
bool containsCaseInsensitive(std::string_view haystack, std::string_view needle);

// The orders of every list: by rule name (ascending, case-insensitive) or,
// with `byDate`, by date (newest first). A missing date is the oldest.
int alphabeticOrDateSort(const RuleEntry& a, const RuleEntry& b, bool byDate);
// By display name, case-insensitive; a missing name sorts as the empty text.
int alphabeticAppInfoSort(const AppEntry& a, const AppEntry& b);

// The third order, "Last used": the most recently used first; rules never
// used follow, by name.
int lastUsedSort(const RuleEntry& a, const RuleEntry& b);

enum class RuleSort { kName, kDate, kLastUsed };

void sortRules(std::vector<RuleEntry>& rules, RuleSort sort);
void sortRules(std::vector<RuleEntry>& rules, bool byDate);
void sortApps(std::vector<AppEntry>& apps);

}  // namespace kst::panel
