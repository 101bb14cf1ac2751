#include "panel/store/SettingsModel.h"

#include <string>

#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"

namespace kst::panel {

const GlobalSwitch SettingsModel::kBlockNonWiFi{files::kBlockNonWiFiKey, false, true};
const GlobalSwitch SettingsModel::kRespectGlobal{files::kRespectGlobalKey, false, true};
const GlobalSwitch SettingsModel::kLog{files::kLogKey, false, true};
const GlobalSwitch SettingsModel::kPlaySoundInSleep{files::kPlaySoundInSleepKey, true, true};
// The prompt reads it when it opens; no process needs to reload for it.
const GlobalSwitch SettingsModel::kSolidPopup{files::kSolidPopupKey, false, false};
const GlobalSwitch SettingsModel::kAdvancedHostnameResolution{files::kAdvancedHostnameResolutionKey, false,
                                                              true};

bool SettingsModel::value(const GlobalSwitch& which) const {
  const plist::Dictionary global = store_.readGlobal().value_or(plist::Dictionary{});
  return plist::boolValue(global.find(which.key), which.whenAbsent);
}

void SettingsModel::setValue(const GlobalSwitch& which, bool on) const {
  plist::Dictionary global = store_.readGlobal().value_or(plist::Dictionary{});
  global.set(std::string(which.key), on);
  store_.writeGlobal(std::move(global));
  if (which.posts) store_.post(msg::kReloadBothNotification);
}

void SettingsModel::setFirewallEnabled(bool on) const {
  store_.setDisabledMarker(!on);
  store_.post(msg::kReloadBothNotification);
}

void SettingsModel::deleteAll() const {
  store_.writeRules(plist::Dictionary{});
  store_.writeGlobal(plist::Dictionary{});
  store_.post(msg::kReloadBothNotification);
}

}  // namespace kst::panel
