#pragma once

#include <string>

#include "panel/store/PanelStore.h"

namespace kst::panel {

// What the per-application screen's five switches show.
struct AppSwitches {
  bool enabled = true;                                       // E, the master switch in the title bar
  bool allowAll = false, allowAllEnabled = true;             // A
  bool denyAll = false, denyAllEnabled = true;               // D
  bool stillUseRules = false, stillUseRulesEnabled = false;  // S
  bool blockWiFi = false;                                    // W
  bool operator==(const AppSwitches&) const = default;
};

// The store side of one application's screen. Every action re-reads the
// rules file, changes only its own keys of the application's entry, and
// writes the file whole; only switching the application on posts
// "com.dovrane.kst.hookLate".
class AppSwitchesModel {
 public:
  AppSwitchesModel(const PanelStore& store, std::string bundleIdentifier);

  const AppSwitches& switches() const { return switches_; }

  // The first display: loads the states and leaves the entry with a
  // "stillUseRules" value.
  void load();
  void setEnabled(bool on);
  void allowAllChanged(bool on);
  void denyAllChanged(bool on);
  void stillApplyChanged(bool on);
  void blockWiFiChanged(bool on);

 private:
  // Runs `change` on the freshly read entry and writes the file back.
  template <typename F>
  void edit(F change);

  const PanelStore& store_;
  const std::string bundleID_;
  AppSwitches switches_;
};

}  // namespace kst::panel
