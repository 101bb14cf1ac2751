#pragma once

#include <string_view>

#include "panel/store/PanelStore.h"

namespace kst::panel {

// One global switch of the settings screen: its key in the global rules
// file, the value shown while the key is absent, and whether a change is
// announced with "com.dovrane.kst.reloadBoth".
struct GlobalSwitch {
  std::string_view key;
  bool whenAbsent;
  bool posts;
};

// The store side of the settings screen. Each switch change re-reads the
// global rules file and replaces only its own key, so rules a prompt answer
// stored since the screen was built are kept.
class SettingsModel {
 public:
  explicit SettingsModel(const PanelStore& store) : store_(store) {}

  // The state a switch shows: the file's value by its boolean value, or the
  // default.
  bool value(const GlobalSwitch& which) const;
  void setValue(const GlobalSwitch& which, bool on) const;

  // The master switch: on while the disabled marker is absent.
  bool firewallEnabled() const { return !store_.disabledMarkerExists(); }
  void setFirewallEnabled(bool on) const;

  // "Delete All Rules and Settings": both rule files become {"150": true}.
  void deleteAll() const;

  static const GlobalSwitch kBlockNonWiFi, kRespectGlobal, kLog, kPlaySoundInSleep, kSolidPopup,
      kAdvancedHostnameResolution;

 private:
  const PanelStore& store_;
};

}  // namespace kst::panel
