#include "panel/store/AppListModel.h"

#include <algorithm>

#include "hook/rules/KstFiles.h"
#include "panel/store/KstAppList.h"

namespace kst::panel {

namespace {

const SpecialApp* specialApp(const std::string& id) {
  for (const SpecialApp& s : kSpecialApps) {
    if (s.bundleIdentifier == id) return &s;
  }
  return nullptr;
}

}  // namespace

void AppListModel::ensureRulesFile() const {
  if (store_.readRules()) return;
  store_.writeRules(plist::Dictionary{});
}

std::vector<AppEntry> AppListModel::loadApps() const {
  plist::Dictionary rules = store_.readRules().value_or(plist::Dictionary{});
  const std::vector<std::string> keys = rules.keys();
  const auto known = KstAppList::applicationsWithBundleIdentifiers(catalogue_, keys);
  std::vector<AppEntry> apps;
  std::vector<std::string> removals;
  if (!known.empty()) {
    for (const std::string& key : keys) {
      if (const auto it = known.find(key); it != known.end()) {
        apps.push_back({key, it->second.empty() ? std::nullopt : std::optional<std::string>(it->second)});
      } else if (const SpecialApp* special = specialApp(key)) {
        apps.push_back({key, std::string(special->displayName)});
      } else {
        removals.push_back(key);  // "150" lands here too
      }
    }
  } else {
    // An empty catalogue never shrinks the file.
    for (const std::string& key : keys) {
      if (key != files::kMarkerKey) apps.push_back({key, std::nullopt});
    }
  }
  // "150" alone is not a removal worth a write.
  removals.erase(std::remove(removals.begin(), removals.end(), std::string(files::kMarkerKey)),
                 removals.end());
  if (!removals.empty()) {
    for (const std::string& key : removals) rules.erase(key);
    store_.writeRules(std::move(rules));
  }
  sortApps(apps);
  return apps;
}

std::vector<AppEntry> AppListModel::chooserApps() const {
  const plist::Dictionary rules = store_.readRules().value_or(plist::Dictionary{});
  std::vector<std::string> keys = rules.keys();
  keys.emplace_back(kSpringBoardBundleIdentifier);
  std::vector<AppEntry> apps;
  for (const auto& [id, name] : KstAppList::applicationsWithoutBundleIdentifiers(catalogue_, keys)) {
    apps.push_back({id, name.empty() ? std::nullopt : std::optional<std::string>(name)});
  }
  if (std::find(keys.begin(), keys.end(), kGamedBundleIdentifier) == keys.end()) {
    for (const SpecialApp& s : kSpecialApps) {
      apps.push_back({std::string(s.bundleIdentifier), std::string(s.displayName)});
    }
  }
  sortApps(apps);
  return apps;
}

bool AppListModel::deleteApp(const std::string& bundleIdentifier) const {
  plist::Dictionary rules = store_.readRules().value_or(plist::Dictionary{});
  rules.erase(bundleIdentifier);
  return store_.writeRules(std::move(rules), /*ensureMarker=*/false);
}

bool AppListModel::addFreshEntry(const PanelStore& store, const std::string& bundleIdentifier) {
  plist::Dictionary rules = store.readRules().value_or(plist::Dictionary{});
  rules.set(bundleIdentifier, plist::Dictionary{{std::string(files::kAllowKey), plist::Array{}},
                                                {std::string(files::kDenyKey), plist::Array{}},
                                                {std::string(files::kAllowEverythingKey), ""}});
  return store.writeRules(std::move(rules));
}

std::vector<AppEntry> AppListModel::filter(const std::vector<AppEntry>& apps, const std::string& text) {
  std::vector<AppEntry> out;
  for (const AppEntry& app : apps) {
    if (app.displayName && containsCaseInsensitive(*app.displayName, text)) out.push_back(app);
  }
  return out;
}

}  // namespace kst::panel
