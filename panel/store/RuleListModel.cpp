#include "panel/store/RuleListModel.h"

#include <unordered_set>

#include "hook/rules/KstFiles.h"

namespace kst::panel {

RuleListModel::RuleListModel(const PanelStore& store, bool isDeny,
                             std::optional<std::string> bundleIdentifier)
    : store_(store), isDeny_(isDeny), bundleID_(std::move(bundleIdentifier)) {}

std::string RuleListModel::key() const {
  if (isGlobal()) return std::string(isDeny_ ? files::kGlobalDenyKey : files::kGlobalAllowKey);
  return std::string(isDeny_ ? files::kDenyKey : files::kAllowKey);
}

void RuleListModel::reload() {
  rulesArray_.clear();
  const std::optional<plist::Dictionary> file = isGlobal() ? store_.readGlobal() : store_.readRules();
  const plist::Array* list = nullptr;
  if (file && isGlobal()) {
    list = file->array(key());
  } else if (file) {
    if (const plist::Dictionary* entry = file->dictionary(*bundleID_)) list = entry->array(key());
  }
  if (list != nullptr) {
    const plist::Date now = store_.now();
    std::unordered_set<std::string> seen;
    rulesArray_.reserve(list->size());
    for (const plist::Value& v : *list) {
      const plist::Dictionary* d = v.asDictionary();
      if (d == nullptr) continue;  // not a rule entry: nothing to show or keep
      RuleEntry e = RuleEntry::fromDictionary(*d);
      // An expired rule decides nothing and goes with the next write.
      if (e.expires && e.expires->secondsSinceReference <= now.secondsSinceReference) continue;
      if (!seen.insert(e.rule).second) continue;
      rulesArray_.push_back(std::move(e));
    }
  }
  if (!rulesArray_.empty()) {
    const RuleUsageTable uses = store_.readRuleUsage();
    for (RuleEntry& e : rulesArray_) {
      if (const RuleUse* use = findRuleUse(uses, bundleID_, isDeny_, e.rule)) e.use = *use;
    }
  }
  sortRules(rulesArray_, sort_);
}

void RuleListModel::setSortByDate(bool byDate) {
  setSort(byDate ? RuleSort::kDate : RuleSort::kName);
}

void RuleListModel::setSort(RuleSort sort) {
  sort_ = sort;
  sortRules(rulesArray_, sort_);
}

bool RuleListModel::store() const {
  plist::Array list;
  list.reserve(rulesArray_.size());
  for (const RuleEntry& e : rulesArray_) list.emplace_back(e.dict);
  if (isGlobal()) {
    plist::Dictionary global = store_.readGlobal().value_or(plist::Dictionary{});
    global.set(key(), std::move(list));
    return store_.writeGlobal(std::move(global));
  }
  plist::Dictionary rules = store_.readRules().value_or(plist::Dictionary{});
  const plist::Dictionary* old = rules.dictionary(*bundleID_);
  plist::Dictionary entry = old != nullptr ? *old : plist::Dictionary{};
  entry.set(key(), std::move(list));
  rules.set(*bundleID_, std::move(entry));
  return store_.writeRules(std::move(rules));
}

std::optional<std::size_t> RuleListModel::add(const std::string& text, std::optional<plist::Date> expires) {
  if (text.empty()) return std::nullopt;
  RuleEntry entry = RuleEntry::make(lowerCased(text), store_.now(), expires);
  const plist::Dictionary added = entry.dict;
  rulesArray_.push_back(std::move(entry));
  sortRules(rulesArray_, sort_);
  store();
  // The stable sort keeps an equal earlier entry first; the new one is the
  // last of its equals.
  for (std::size_t i = rulesArray_.size(); i-- > 0;) {
    if (rulesArray_[i].dict == added) return i;
  }
  return std::nullopt;
}

bool RuleListModel::removeAt(std::size_t index) {
  if (index >= rulesArray_.size()) return false;
  rulesArray_.erase(rulesArray_.begin() + static_cast<std::ptrdiff_t>(index));
  store();
  return true;
}

bool RuleListModel::retype(std::size_t index, const std::string& text) {
  if (index >= rulesArray_.size()) return false;
  rulesArray_[index] = RuleEntry::make(lowerCased(text), store_.now());
  store();
  return true;
}

std::optional<plist::Date> RuleListModel::expiryFor(KeepFor keep) const {
  constexpr double kHour = 3600;
  double seconds = 0;
  switch (keep) {
    case KeepFor::kOneHour:
      seconds = kHour;
      break;
    case KeepFor::kOneDay:
      seconds = 24 * kHour;
      break;
    case KeepFor::kOneWeek:
      seconds = 7 * 24 * kHour;
      break;
    case KeepFor::kUnchanged:
    case KeepFor::kAlways:
      return std::nullopt;
  }
  return plist::Date{store_.now().secondsSinceReference + seconds};
}

bool RuleListModel::edit(std::size_t index, const std::string& text, KeepFor keep) {
  if (index >= rulesArray_.size() || text.empty()) return false;
  RuleEntry& entry = rulesArray_[index];
  const std::optional<plist::Date> expires = keep == KeepFor::kUnchanged ? entry.expires : expiryFor(keep);
  std::string rule = lowerCased(text);
  if (rule != entry.rule) {
    entry = RuleEntry::make(std::move(rule), store_.now(), expires);
  } else {
    plist::Dictionary dict = entry.dict;
    if (expires) {
      dict.set(std::string(files::kExpiresKey), *expires);
    } else {
      dict.erase(files::kExpiresKey);
    }
    const std::optional<RuleUse> use = entry.use;
    entry = RuleEntry::fromDictionary(std::move(dict));
    entry.use = use;
  }
  return store();
}

void RuleListModel::deleteAll() {
  rulesArray_.clear();
  store();
}

std::optional<std::size_t> RuleListModel::addRules(const std::vector<std::string>& texts,
                                                   std::optional<plist::Date> expires) {
  reload();
  std::unordered_set<std::string> present;
  for (const RuleEntry& e : rulesArray_) present.insert(e.rule);
  const plist::Date now = store_.now();
  std::size_t added = 0;
  for (const std::string& text : texts) {
    std::string rule = lowerCased(text);
    if (rule.empty() || !present.insert(rule).second) continue;
    rulesArray_.push_back(RuleEntry::make(std::move(rule), now, expires));
    ++added;
  }
  sortRules(rulesArray_, sort_);
  if (added == 0) return added;
  if (!store()) return std::nullopt;
  return added;
}

std::optional<std::size_t> RuleListModel::removeRules(const std::vector<std::string>& texts) {
  reload();
  std::unordered_set<std::string> gone;
  for (const std::string& text : texts) gone.insert(lowerCased(text));
  const std::size_t before = rulesArray_.size();
  std::erase_if(rulesArray_, [&](const RuleEntry& e) { return gone.count(lowerCased(e.rule)) != 0; });
  const std::size_t removed = before - rulesArray_.size();
  if (removed == 0) return removed;
  if (!store()) return std::nullopt;
  return removed;
}

std::vector<std::size_t> RuleListModel::filter(const std::string& text) const {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < rulesArray_.size(); ++i) {
    if (containsCaseInsensitive(rulesArray_[i].rule, text)) out.push_back(i);
  }
  return out;
}

RuleListModel::Help RuleListModel::helpAlert() const {
  if (!store_.flagsFileExists()) return Help::kWithoutAllowed;
  const std::optional<plist::Dictionary> flags = store_.readFlags();
  if (!flags) return Help::kNone;
  const plist::Value* show = flags->find(files::kShowAllowHelpKey);
  if (show != nullptr && show->asBoolean() != nullptr && *show->asBoolean()) return Help::kWithAllowed;
  return Help::kNone;
}

void RuleListModel::hideHelp() const {
  plist::Dictionary flags = store_.readFlags().value_or(plist::Dictionary{});
  flags.set(std::string(files::kShowAllowHelpKey), false);
  store_.writeFlags(flags);
}

bool RuleListModel::takeEditAlert() const {
  plist::Dictionary flags = store_.readFlags().value_or(plist::Dictionary{});
  if (plist::boolValue(flags.find(files::kDidShowEditAlertKey), false)) return false;
  flags.set(std::string(files::kDidShowEditAlertKey), true);
  store_.writeFlags(flags);
  return true;
}

}  // namespace kst::panel
