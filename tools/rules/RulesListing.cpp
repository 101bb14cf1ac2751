#include "tools/rules/RulesListing.h"

#include <ctime>

#include "hook/rules/KstFiles.h"
#include "panel/store/RuleListModel.h"
#include "panel/ui/PanelTexts.h"
#include "tools/rules/JsonText.h"

namespace kst::rules {

namespace {

// Seconds from 1970-01-01 to the files' reference date, 2001-01-01 UTC.
constexpr double kReferenceDateUnixSeconds = 978307200.0;

std::vector<panel::RuleEntry> listOf(const panel::PanelStore& store, bool isDeny,
                                     std::optional<std::string> bundleIdentifier) {
  panel::RuleListModel model(store, isDeny, std::move(bundleIdentifier));
  model.reload();
  return model.rules();
}

AppSwitchStates switchesOf(const plist::Dictionary& entry) {
  AppSwitchStates s;
  s.enabled = plist::boolValue(entry.find(files::kEnabledKey), true);
  const std::string* everything = entry.string(files::kAllowEverythingKey);
  s.allowEverything = everything != nullptr && *everything == files::kAllowEverything;
  s.denyEverything = everything != nullptr && *everything == files::kDenyEverything;
  s.detailedRules = plist::boolValue(entry.find(files::kStillUseRulesKey), false);
  s.blockNonWiFi = plist::boolValue(entry.find(files::kBlockSpecificWiFiKey), false);
  return s;
}

const char* onOff(bool on) {
  return on ? "on" : "off";
}
const char* jsonBool(bool on) {
  return on ? "true" : "false";
}

void printRulesText(std::ostream& out, const char* title, const std::vector<panel::RuleEntry>& rules) {
  out << "  " << title << " (" << rules.size() << "):\n";
  for (const panel::RuleEntry& e : rules) {
    out << "    " << e.rule;
    if (e.date) out << "  " << isoDate(*e.date);
    if (e.expires) out << "  expires " << isoDate(*e.expires);
    out << "  " << usageText(e.use) << "\n";
  }
}

void printRulesJson(std::ostream& out, const std::vector<panel::RuleEntry>& rules) {
  out << "[";
  for (std::size_t i = 0; i < rules.size(); ++i) {
    out << (i == 0 ? "" : ",") << "{\"rule\":" << jsonString(rules[i].rule) << ",\"date\":";
    if (rules[i].date) {
      out << jsonString(isoDate(*rules[i].date));
    } else {
      out << "null";
    }
    if (rules[i].expires) out << ",\"expires\":" << jsonString(isoDate(*rules[i].expires));
    out << ",\"used\":" << (rules[i].use ? rules[i].use->count : 0) << ",\"lastUsed\":";
    if (rules[i].use) {
      out << jsonString(isoDate(rules[i].use->last));
    } else {
      out << "null";
    }
    out << "}";
  }
  out << "]";
}

void printAppSwitchesJson(std::ostream& out, const AppSwitchStates& s) {
  out << "{\"enabled\":" << jsonBool(s.enabled) << ",\"allowEverything\":" << jsonBool(s.allowEverything)
      << ",\"denyEverything\":" << jsonBool(s.denyEverything)
      << ",\"detailedRules\":" << jsonBool(s.detailedRules)
      << ",\"blockNonWiFi\":" << jsonBool(s.blockNonWiFi) << "}";
}

void printAppSwitchesText(std::ostream& out, const AppSwitchStates& s) {
  out << "  enabled " << onOff(s.enabled) << ", allowEverything " << onOff(s.allowEverything)
      << ", denyEverything " << onOff(s.denyEverything) << ", detailedRules " << onOff(s.detailedRules)
      << ", blockNonWiFi " << onOff(s.blockNonWiFi) << "\n";
}

}  // namespace

const std::vector<NamedGlobalSwitch>& globalSwitches() {
  using panel::SettingsModel;
  namespace text = panel::text;
  static const std::vector<NamedGlobalSwitch> kSwitches = {
      {text::kEnabled, "enabled", nullptr},
      {text::kBlockIfNotOnWiFi, files::kBlockNonWiFiKey, &SettingsModel::kBlockNonWiFi},
      {text::kRespectGlobal, files::kRespectGlobalKey, &SettingsModel::kRespectGlobal},
      {text::kLog, files::kLogKey, &SettingsModel::kLog},
      {text::kPlaySound, files::kPlaySoundInSleepKey, &SettingsModel::kPlaySoundInSleep},
      {text::kSolidPopup, files::kSolidPopupKey, &SettingsModel::kSolidPopup},
      {text::kAdvancedResolution, files::kAdvancedHostnameResolutionKey,
       &SettingsModel::kAdvancedHostnameResolution},
  };
  return kSwitches;
}

const NamedGlobalSwitch* findGlobalSwitch(std::string_view name) {
  for (const NamedGlobalSwitch& s : globalSwitches()) {
    if (panel::compareCaseInsensitive(name, s.title) == 0 ||
        panel::compareCaseInsensitive(name, s.key) == 0) {
      return &s;
    }
  }
  return nullptr;
}

std::string usageText(const std::optional<RuleUse>& use) {
  if (!use || use->count == 0) return "never used";
  return "used " + std::to_string(use->count) + (use->count == 1 ? " time" : " times") + ", last " +
         isoDate(use->last);
}

std::string isoDate(const plist::Date& date) {
  const auto seconds = static_cast<std::time_t>(date.secondsSinceReference + kReferenceDateUnixSeconds);
  std::tm utc{};
  if (::gmtime_r(&seconds, &utc) == nullptr) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::optional<AppView> readApp(const panel::PanelStore& store, const std::string& bundleIdentifier) {
  const std::optional<plist::Dictionary> rules = store.readRules();
  const plist::Dictionary* entry = rules ? rules->dictionary(bundleIdentifier) : nullptr;
  if (entry == nullptr) return std::nullopt;
  AppView app;
  app.bundleIdentifier = bundleIdentifier;
  app.switches = switchesOf(*entry);
  app.allow = listOf(store, false, bundleIdentifier);
  app.deny = listOf(store, true, bundleIdentifier);
  return app;
}

GlobalView readGlobal(const panel::PanelStore& store) {
  GlobalView g;
  const panel::SettingsModel settings(store);
  for (const NamedGlobalSwitch& s : globalSwitches()) {
    g.switches.emplace_back(&s, s.which == nullptr ? settings.firewallEnabled() : settings.value(*s.which));
  }
  g.allow = listOf(store, false, std::nullopt);
  g.deny = listOf(store, true, std::nullopt);
  return g;
}

std::vector<AppView> readAllApps(const panel::PanelStore& store) {
  std::vector<panel::AppEntry> ids;
  if (const std::optional<plist::Dictionary> rules = store.readRules()) {
    for (const auto& [key, value] : rules->entries()) {
      if (key != files::kMarkerKey && value.asDictionary() != nullptr) ids.push_back({key, key});
    }
  }
  panel::sortApps(ids);
  std::vector<AppView> apps;
  for (const panel::AppEntry& id : ids) {
    if (std::optional<AppView> app = readApp(store, id.bundleIdentifier)) apps.push_back(std::move(*app));
  }
  return apps;
}

void printApp(std::ostream& out, const AppView& app, bool json) {
  if (json) {
    out << "{\"bundleIdentifier\":" << jsonString(app.bundleIdentifier) << ",\"switches\":";
    printAppSwitchesJson(out, app.switches);
    out << ",\"allow\":";
    printRulesJson(out, app.allow);
    out << ",\"deny\":";
    printRulesJson(out, app.deny);
    out << "}\n";
    return;
  }
  out << app.bundleIdentifier << "\n";
  printAppSwitchesText(out, app.switches);
  printRulesText(out, "allow", app.allow);
  printRulesText(out, "deny", app.deny);
}

void printGlobal(std::ostream& out, const GlobalView& global, bool json) {
  if (json) {
    out << "{\"switches\":{";
    for (std::size_t i = 0; i < global.switches.size(); ++i) {
      out << (i == 0 ? "" : ",") << jsonString(global.switches[i].first->key) << ":"
          << jsonBool(global.switches[i].second);
    }
    out << "},\"allow\":";
    printRulesJson(out, global.allow);
    out << ",\"deny\":";
    printRulesJson(out, global.deny);
    out << "}\n";
    return;
  }
  out << "global\n";
  for (const auto& [which, on] : global.switches) out << "  " << which->title << ": " << onOff(on) << "\n";
  printRulesText(out, "allow", global.allow);
  printRulesText(out, "deny", global.deny);
}

void printSummary(std::ostream& out, const std::vector<AppView>& apps, const GlobalView& global, bool json) {
  if (json) {
    out << "{\"applications\":[";
    for (std::size_t i = 0; i < apps.size(); ++i) {
      out << (i == 0 ? "" : ",") << "{\"bundleIdentifier\":" << jsonString(apps[i].bundleIdentifier)
          << ",\"switches\":";
      printAppSwitchesJson(out, apps[i].switches);
      out << ",\"allowCount\":" << apps[i].allow.size() << ",\"denyCount\":" << apps[i].deny.size() << "}";
    }
    out << "],\"global\":{\"allowCount\":" << global.allow.size() << ",\"denyCount\":" << global.deny.size()
        << "}}\n";
    return;
  }
  for (const AppView& app : apps) {
    out << app.bundleIdentifier << ": " << app.allow.size() << " allow, " << app.deny.size() << " deny\n";
    printAppSwitchesText(out, app.switches);
  }
  out << "global: " << global.allow.size() << " allow, " << global.deny.size() << " deny\n";
}

}  // namespace kst::rules
