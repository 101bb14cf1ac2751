#include "panel/store/AppSwitchesModel.h"

#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"

namespace kst::panel {

namespace {

plist::Dictionary entryOf(const plist::Dictionary& rules, const std::string& id) {
  const plist::Dictionary* entry = rules.dictionary(id);
  return entry != nullptr ? *entry : plist::Dictionary{};
}

}  // namespace

AppSwitchesModel::AppSwitchesModel(const PanelStore& store, std::string bundleIdentifier)
    : store_(store), bundleID_(std::move(bundleIdentifier)) {
  const plist::Dictionary entry = entryOf(store_.readRules().value_or(plist::Dictionary{}), bundleID_);
  switches_.enabled = plist::boolValue(entry.find(files::kEnabledKey), true);
}

template <typename F>
void AppSwitchesModel::edit(F change) {
  plist::Dictionary rules = store_.readRules().value_or(plist::Dictionary{});
  plist::Dictionary entry = entryOf(rules, bundleID_);
  change(entry);
  rules.set(bundleID_, std::move(entry));
  store_.writeRules(std::move(rules));  // never empty: it holds the entry
}

void AppSwitchesModel::load() {
  const plist::Dictionary entry = entryOf(store_.readRules().value_or(plist::Dictionary{}), bundleID_);
  AppSwitches s;
  const std::string* everything = entry.string(files::kAllowEverythingKey);
  if (everything != nullptr && *everything == files::kAllowEverything) {
    s.allowAll = true;
    s.denyAllEnabled = false;
  } else if (everything != nullptr && *everything == files::kDenyEverything) {
    s.denyAll = true;
    s.allowAllEnabled = false;
  }
  s.enabled = plist::boolValue(entry.find(files::kEnabledKey), true);
  s.blockWiFi = plist::boolValue(entry.find(files::kBlockSpecificWiFiKey), false);
  s.stillUseRules = plist::boolValue(entry.find(files::kStillUseRulesKey), false);
  s.stillUseRulesEnabled = s.allowAll || s.denyAll;
  if (!s.stillUseRulesEnabled) s.stillUseRules = false;
  switches_ = s;
  const bool still = s.stillUseRules;
  edit([still](plist::Dictionary& e) { e.set(std::string(files::kStillUseRulesKey), still); });
}

void AppSwitchesModel::setEnabled(bool on) {
  switches_.enabled = on;
  edit([on](plist::Dictionary& e) { e.set(std::string(files::kEnabledKey), on); });
  if (on) store_.post(msg::kHookLateNotification);
}

void AppSwitchesModel::allowAllChanged(bool on) {
  AppSwitches& s = switches_;
  s.allowAll = on;
  if (on) {
    s.denyAll = false;
    s.denyAllEnabled = false;
    s.stillUseRulesEnabled = true;
  } else {
    s.denyAllEnabled = true;
  }
  if (!s.allowAll && !s.denyAll) {
    s.stillUseRules = false;
    s.stillUseRulesEnabled = false;
  }
  const std::string everything(on ? files::kAllowEverything : "");
  const bool still = s.stillUseRules;
  edit([&](plist::Dictionary& e) {
    e.set(std::string(files::kAllowEverythingKey), everything);
    e.set(std::string(files::kStillUseRulesKey), still);
  });
}

void AppSwitchesModel::denyAllChanged(bool on) {
  AppSwitches& s = switches_;
  s.denyAll = on;
  if (on) {
    s.allowAll = false;
    s.allowAllEnabled = false;
    s.stillUseRulesEnabled = true;
  } else {
    s.allowAllEnabled = true;
  }
  if (!s.allowAll && !s.denyAll) {
    s.stillUseRules = false;
    s.stillUseRulesEnabled = false;
  }
  const std::string everything(on ? files::kDenyEverything : "");
  const bool still = s.stillUseRules;
  edit([&](plist::Dictionary& e) {
    e.set(std::string(files::kAllowEverythingKey), everything);
    e.set(std::string(files::kStillUseRulesKey), still);
  });
}

void AppSwitchesModel::stillApplyChanged(bool on) {
  switches_.stillUseRules = on;
  edit([on](plist::Dictionary& e) { e.set(std::string(files::kStillUseRulesKey), on); });
}

void AppSwitchesModel::blockWiFiChanged(bool on) {
  switches_.blockWiFi = on;
  edit([on](plist::Dictionary& e) { e.set(std::string(files::kBlockSpecificWiFiKey), on); });
}

}  // namespace kst::panel
