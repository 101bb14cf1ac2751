#pragma once

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "hook/rules/KstFiles.h"

#include "platform/plist/PlistValue.h"

namespace kst {

// Rules that expire: an entry of a rule list may carry "expires", a date.
// From that moment the rule no longer decides (readers skip it and reload
// when the earliest expiry they hold passes), and whoever writes its file
// next leaves it out. An entry without the key, or with a value that is not
// a date, never expires, so files stay readable by writers that do not know
// the key.

inline constexpr double kNeverExpires = std::numeric_limits<double>::infinity();

// The entry's expiry, in seconds since the files' reference date.
std::optional<double> ruleExpiry(const plist::Dictionary& entry);
bool ruleExpired(const plist::Dictionary& entry, plist::Date now);

// Removes expired entries from the "allow" and "deny" lists of every
// application of a rules file, or from "globalAllow" and "globalDeny" of the
// global rules file. Returns how many were removed.
std::size_t dropExpiredRules(plist::Dictionary& rulesFile, plist::Date now);
std::size_t dropExpiredGlobalRules(plist::Dictionary& globalFile, plist::Date now);

// Shared by the settings application, which links no library code: inline.
namespace rule_expiry_detail {

inline std::size_t countExpired(const plist::Dictionary& dict, std::string_view key, plist::Date now) {
  const plist::Array* list = dict.array(key);
  std::size_t expired = 0;
  if (list == nullptr) return expired;
  for (const plist::Value& v : *list) {
    const plist::Dictionary* entry = v.asDictionary();
    if (entry != nullptr && ruleExpired(*entry, now)) ++expired;
  }
  return expired;
}

// Replaces the array under `key` by its entries that have not expired. An
// array without expired entries is left alone (it is shared with others).
inline std::size_t dropFrom(plist::Dictionary& dict, std::string_view key, plist::Date now) {
  const std::size_t expired = countExpired(dict, key, now);
  if (expired == 0) return 0;
  const plist::Array& list = *dict.array(key);
  plist::Array kept;
  kept.reserve(list.size() - expired);
  for (const plist::Value& v : list) {
    const plist::Dictionary* entry = v.asDictionary();
    if (entry == nullptr || !ruleExpired(*entry, now)) kept.push_back(v);
  }
  dict.set(std::string(key), std::move(kept));
  return expired;
}

}  // namespace rule_expiry_detail

inline std::optional<double> ruleExpiry(const plist::Dictionary& entry) {
  const plist::Value* expires = entry.find(files::kExpiresKey);
  if (expires == nullptr || expires->asDate() == nullptr) return std::nullopt;
  return expires->asDate()->secondsSinceReference;
}

inline bool ruleExpired(const plist::Dictionary& entry, plist::Date now) {
  const std::optional<double> expiry = ruleExpiry(entry);
  return expiry && *expiry <= now.secondsSinceReference;
}

inline std::size_t dropExpiredRules(plist::Dictionary& rulesFile, plist::Date now) {
  using rule_expiry_detail::countExpired;
  std::vector<std::string> changed;
  for (const auto& [key, value] : rulesFile.entries()) {
    const plist::Dictionary* app = value.asDictionary();
    if (app == nullptr) continue;
    if (countExpired(*app, files::kAllowKey, now) + countExpired(*app, files::kDenyKey, now) > 0)
      changed.push_back(key);
  }
  std::size_t dropped = 0;
  for (const std::string& key : changed) {
    plist::Dictionary app = *rulesFile.dictionary(key);
    dropped += rule_expiry_detail::dropFrom(app, files::kAllowKey, now) +
               rule_expiry_detail::dropFrom(app, files::kDenyKey, now);
    rulesFile.set(key, std::move(app));
  }
  return dropped;
}

inline std::size_t dropExpiredGlobalRules(plist::Dictionary& globalFile, plist::Date now) {
  return rule_expiry_detail::dropFrom(globalFile, files::kGlobalAllowKey, now) +
         rule_expiry_detail::dropFrom(globalFile, files::kGlobalDenyKey, now);
}

}  // namespace kst
