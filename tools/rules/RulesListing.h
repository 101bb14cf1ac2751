#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "panel/store/Entries.h"
#include "panel/store/PanelStore.h"
#include "panel/store/SettingsModel.h"

namespace kst::rules {

// The switches of one application's entry by their command-line names, as
// the file holds them (a missing key reads as its default).
struct AppSwitchStates {
  bool enabled = true;
  bool allowEverything = false;
  bool denyEverything = false;
  bool detailedRules = false;
  bool blockNonWiFi = false;
};

struct AppView {
  std::string bundleIdentifier;
  AppSwitchStates switches;
  std::vector<panel::RuleEntry> allow, deny;
};

// A global switch by the title the settings screen shows it under and the
// key it is stored as; `which` is null for the master switch, which is the
// disabled marker rather than a key.
struct NamedGlobalSwitch {
  std::string_view title;
  std::string_view key;
  const panel::GlobalSwitch* which;
};
const std::vector<NamedGlobalSwitch>& globalSwitches();
// The switch named by its title or key, ignoring case.
const NamedGlobalSwitch* findGlobalSwitch(std::string_view name);

struct GlobalView {
  std::vector<std::pair<const NamedGlobalSwitch*, bool>> switches;
  std::vector<panel::RuleEntry> allow, deny;
};

// What the files say; none for an application without an entry.
std::optional<AppView> readApp(const panel::PanelStore& store, const std::string& bundleIdentifier);
GlobalView readGlobal(const panel::PanelStore& store);
// Every application of the rules file, in the settings application's order.
std::vector<AppView> readAllApps(const panel::PanelStore& store);

void printApp(std::ostream& out, const AppView& app, bool json);
void printGlobal(std::ostream& out, const GlobalView& global, bool json);
void printSummary(std::ostream& out, const std::vector<AppView>& apps, const GlobalView& global, bool json);

// "used 10 times, last 2026-12-09T10:00:00Z", or "never used", of a rule
// by the shell's counts.
std::string usageText(const std::optional<RuleUse>& use);

// "2026-12-09T10:00:00Z" of a file date.
std::string isoDate(const plist::Date& date);

}  // namespace kst::rules
