#include "panel/store/Entries.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "hook/rules/KstFiles.h"

namespace kst::panel {

namespace {

char fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

RuleEntry RuleEntry::fromDictionary(plist::Dictionary d) {
  RuleEntry e;
  if (const std::string* rule = d.string(files::kRuleKey)) e.rule = *rule;
  if (const plist::Value* date = d.find(files::kDateKey); date != nullptr && date->asDate() != nullptr) {
    e.date = *date->asDate();
  }
  if (const plist::Value* expires = d.find(files::kExpiresKey);
      expires != nullptr && expires->asDate() != nullptr) {
    e.expires = *expires->asDate();
  }
  e.dict = std::move(d);
  return e;
}

RuleEntry RuleEntry::make(std::string rule, plist::Date date, std::optional<plist::Date> expires) {
  plist::Dictionary d{{std::string(files::kRuleKey), plist::Value(std::move(rule))},
                      {std::string(files::kDateKey), plist::Value(date)}};
  if (expires) d.set(std::string(files::kExpiresKey), *expires);
  return fromDictionary(std::move(d));
}

int compareCaseInsensitive(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(fold(a[i]));
    const auto cb = static_cast<unsigned char>(fold(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string lowerCased(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = fold(c);
  return out;
}

bool containsCaseInsensitive(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  const auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                              [](char x, char y) { return fold(x) == fold(y); });
  return it != haystack.end();
}

int alphabeticOrDateSort(const RuleEntry& a, const RuleEntry& b, bool byDate) {
  if (!byDate) return compareCaseInsensitive(a.rule, b.rule);
  // A missing (or not-a-number) date is the oldest, so the order stays strict.
  const auto seconds = [](const RuleEntry& e) {
    return e.date && !std::isnan(e.date->secondsSinceReference) ? e.date->secondsSinceReference
                                                                : -std::numeric_limits<double>::infinity();
  };
  const double da = seconds(a);
  const double db = seconds(b);
  if (db == da) return 0;
  return db < da ? -1 : 1;  // newest first: b's date against a's
}

int alphabeticAppInfoSort(const AppEntry& a, const AppEntry& b) {
  return compareCaseInsensitive(a.displayName.value_or(std::string()), b.displayName.value_or(std::string()));
}

int lastUsedSort(const RuleEntry& a, const RuleEntry& b) {
  const auto lastUse = [](const RuleEntry& e) {
    return e.use && !std::isnan(e.use->last.secondsSinceReference) ? e.use->last.secondsSinceReference
                                                                   : -std::numeric_limits<double>::infinity();
  };
  const double la = lastUse(a);
  const double lb = lastUse(b);
  if (la != lb) return lb < la ? -1 : 1;
  return compareCaseInsensitive(a.rule, b.rule);
}

void sortRules(std::vector<RuleEntry>& rules, RuleSort sort) {
  std::stable_sort(rules.begin(), rules.end(), [sort](const RuleEntry& a, const RuleEntry& b) {
    if (sort == RuleSort::kLastUsed) return lastUsedSort(a, b) < 0;
    return alphabeticOrDateSort(a, b, sort == RuleSort::kDate) < 0;
  });
}

void sortRules(std::vector<RuleEntry>& rules, bool byDate) {
  sortRules(rules, byDate ? RuleSort::kDate : RuleSort::kName);
}

void sortApps(std::vector<AppEntry>& apps) {
  std::stable_sort(apps.begin(), apps.end(),
                   [](const AppEntry& a, const AppEntry& b) { return alphabeticAppInfoSort(a, b) < 0; });
}

}  // namespace kst::panel
