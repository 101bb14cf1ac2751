#include "tools/rules/RulesTool.h"

#include <ctime>
#include <optional>
#include <string_view>

#include "hook/rules/KstMessageNames.h"
#include "panel/store/AppListModel.h"
#include "panel/store/AppSwitchesModel.h"
#include "panel/store/ImportExport.h"
#include "panel/store/RuleListModel.h"
#include "panel/store/SettingsModel.h"
#include "platform/fs/FileSystem.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/plist/PlistFile.h"
#include "tools/rules/RuleTexts.h"
#include "tools/rules/RulesListing.h"

namespace kst::rules {

namespace {

constexpr const char* kUsage =
    "usage: kestrix-rules [--root DIR] COMMAND ...\n"
    "  list [BUNDLE_ID | --global] [--json]\n"
    "  add    (BUNDLE_ID | --global) (allow | deny) [--for DURATION] RULE...   DURATION: 30m, 1h, 1d, 7d, "
    "...\n"
    "  remove (BUNDLE_ID | --global) (allow | deny) RULE...\n"
    "  set BUNDLE_ID (enabled | allowEverything | denyEverything | detailedRules | blockNonWiFi) (on | off)\n"
    "  set --global SWITCH (on | off)      SWITCH as the settings screen names it, e.g. \"Log\"\n"
    "  export [FILE]\n"
    "  import FILE\n"
    "  import-hosts FILE                   a hosts-style or one-name-a-line list into the global deny list\n";

// Host lists are text files; anything larger is not one.
constexpr std::size_t kMaxHostListBytes = 64u << 20;

struct Options {
  std::optional<std::string> root;
  std::optional<double> keepSeconds;  // add --for
  bool json = false;
  bool global = false;
  std::vector<std::string> words;  // the command and its operands
};

// One run of the tool over one device root.
class Session {
 public:
  Session(const Options& o, std::ostream& out, std::ostream& err)
      : root_(o.root ? DeviceRoot(*o.root) : DeviceRoot::process()),
        center_(root_),
        store_(
            FileSystem::real(), root_, [this](std::string_view name) { center_.post(name); },
            [] { return plist::Date::now(); }),
        o_(o),
        out_(out),
        err_(err) {}

  int run() {
    const std::string& command = o_.words[0];
    const std::vector<std::string> operands(o_.words.begin() + 1, o_.words.end());
    if (command == "list") return list(operands);
    if (command == "add" || command == "remove") return editRules(command == "add", operands);
    if (command == "set") return setSwitch(operands);
    if (command == "export") return exportTo(operands);
    if (command == "import") return importFrom(operands);
    if (command == "import-hosts") return importHosts(operands);
    return refuse("unknown command \"" + command + "\"", true);
  }

 private:
  int refuse(const std::string& why, bool withUsage = false) {
    err_ << "kestrix-rules: " << why << "\n";
    if (withUsage) err_ << kUsage;
    return kExitRefused;
  }
  int unwritable(const std::string& what) {
    err_ << "kestrix-rules: could not write " << what << " under " << root_.dir()
         << " (is the device root yours and writable?)\n";
    return kExitUnwritable;
  }
  void announce() { store_.post(msg::kReloadBothNotification); }

  int list(const std::vector<std::string>& operands) {
    if (operands.size() > 1 || (o_.global && !operands.empty()))
      return refuse("list takes one application", true);
    if (o_.global) {
      printGlobal(out_, readGlobal(store_), o_.json);
    } else if (operands.empty()) {
      printSummary(out_, readAllApps(store_), readGlobal(store_), o_.json);
    } else {
      const std::optional<AppView> app = readApp(store_, operands[0]);
      if (!app) return refuse("\"" + operands[0] + "\" is not in the rules file");
      printApp(out_, *app, o_.json);
    }
    return kExitOk;
  }

  // Operands: [BUNDLE_ID] allow|deny RULE...
  int editRules(bool adding, const std::vector<std::string>& operands) {
    const std::size_t listAt = o_.global ? 0 : 1;
    if (operands.size() < listAt + 2) return refuse("which list and which rules?", true);
    const std::string& listName = operands[listAt];
    if (listName != "allow" && listName != "deny") return refuse("the list is \"allow\" or \"deny\"", true);
    std::optional<std::string> bundle;
    if (!o_.global) bundle = operands[0];
    if (bundle && !adding && !readApp(store_, *bundle))
      return refuse("\"" + *bundle + "\" is not in the rules file");
    std::vector<std::string> texts;
    for (std::size_t i = listAt + 1; i < operands.size(); ++i) {
      std::string why;
      std::optional<std::string> rule = checkedRuleText(operands[i], &why);
      if (!rule) return refuse(why + ": \"" + operands[i].substr(0, kMaxRuleLength) + "\"");
      texts.push_back(std::move(*rule));
    }
    if (bundle && adding && !readApp(store_, *bundle)) {
      // A new application starts with the entry the settings application gives it.
      if (!panel::AppListModel::addFreshEntry(store_, *bundle)) return unwritable("the rules file");
    }
    if (o_.keepSeconds && !adding) return refuse("--for belongs to add");
    std::optional<plist::Date> expires;
    if (o_.keepSeconds) expires = plist::Date{store_.now().secondsSinceReference + *o_.keepSeconds};
    panel::RuleListModel model(store_, listName == "deny", bundle);
    const std::optional<std::size_t> changed =
        adding ? model.addRules(texts, expires) : model.removeRules(texts);
    if (!changed) return unwritable(o_.global ? "the global rules file" : "the rules file");
    out_ << (adding ? "added " : "removed ") << *changed << " of " << texts.size() << " rule"
         << (texts.size() == 1 ? "" : "s") << "\n";
    if (*changed > 0) announce();
    if (!adding && *changed < texts.size()) return refuse("some rules were not in the list");
    return kExitOk;
  }

  int setSwitch(const std::vector<std::string>& operands) {
    const std::size_t valueAt = o_.global ? 1 : 2;
    if (operands.size() != valueAt + 1) return refuse("set takes a switch and on or off", true);
    const std::string& value = operands[valueAt];
    if (value != "on" && value != "off") return refuse("the value is \"on\" or \"off\"");
    const bool on = value == "on";
    return o_.global ? setGlobal(operands[0], on) : setApp(operands[0], operands[1], on);
  }

  int setGlobal(const std::string& name, bool on) {
    const NamedGlobalSwitch* which = findGlobalSwitch(name);
    if (which == nullptr) {
      std::string names;
      for (const NamedGlobalSwitch& s : globalSwitches()) names += "\n  " + std::string(s.title);
      return refuse("no global switch \"" + name + "\"; the switches are:" + names);
    }
    const panel::SettingsModel settings(store_);
    if (which->which == nullptr) {
      settings.setFirewallEnabled(on);
      if (settings.firewallEnabled() != on) return unwritable("the disabled marker");
    } else {
      settings.setValue(*which->which, on);
      if (settings.value(*which->which) != on) return unwritable("the global rules file");
    }
    return kExitOk;
  }

  int setApp(const std::string& bundle, const std::string& name, bool on) {
    panel::AppSwitchesModel model(store_, bundle);
    model.load();
    if (name == "enabled") {
      model.setEnabled(on);
    } else if (name == "allowEverything") {
      model.allowAllChanged(on);
    } else if (name == "denyEverything") {
      model.denyAllChanged(on);
    } else if (name == "detailedRules") {
      if (on && !model.switches().stillUseRulesEnabled) {
        return refuse("detailedRules applies only while allowEverything or denyEverything is on");
      }
      model.stillApplyChanged(on);
    } else if (name == "blockNonWiFi") {
      model.blockWiFiChanged(on);
    } else {
      return refuse("no application switch \"" + name + "\"", true);
    }
    const std::optional<AppView> app = readApp(store_, bundle);
    const AppSwitchStates& s = app ? app->switches : AppSwitchStates{};
    const bool stored = name == "enabled"           ? s.enabled == on
                        : name == "allowEverything" ? s.allowEverything == on
                        : name == "denyEverything"  ? s.denyEverything == on
                        : name == "detailedRules"   ? s.detailedRules == on
                                                    : s.blockNonWiFi == on;
    if (!app || !stored) return unwritable("the rules file");
    announce();
    return kExitOk;
  }

  int exportTo(const std::vector<std::string>& operands) {
    if (operands.size() > 1) return refuse("export takes at most one file", true);
    const panel::ImportExport io(store_);
    if (operands.empty()) {
      const std::optional<std::string> name = io.exportAll(std::time(nullptr));
      if (!name) return unwritable("an export (is there anything to export, and a Kst folder?)");
      out_ << root_.path(std::string(panel::ImportExport::kSettingsFolder) + *name) << "\n";
      return kExitOk;
    }
    const std::optional<plist::Dictionary> all = io.exportDictionary();
    if (!all) return refuse("there is nothing to export");
    if (!plist::writeDictionaryFile(store_.fs(), operands[0], *all, false)) {
      err_ << "kestrix-rules: could not write " << operands[0] << "\n";
      return kExitUnwritable;
    }
    return kExitOk;
  }

  int importFrom(const std::vector<std::string>& operands) {
    if (operands.size() != 1) return refuse("import takes one file", true);
    const panel::ImportExport io(store_);
    const std::optional<plist::Dictionary> settings = io.readSettingsFile(operands[0]);
    if (!settings) return refuse(operands[0] + " is not a settings export");
    int parts = 0;
    for (std::string_view key : {panel::ImportExport::kAppRulesKey, panel::ImportExport::kGlobalRulesKey,
                                 panel::ImportExport::kSettingsKey}) {
      parts += settings->dictionary(key) != nullptr ? 1 : 0;
    }
    const int written = io.importDictionary(*settings);
    if (written > 0) announce();
    if (written != parts) return unwritable("every file of the import");
    return kExitOk;
  }

  int importHosts(const std::vector<std::string>& operands) {
    if (operands.size() != 1) return refuse("import-hosts takes one file", true);
    const std::optional<std::string> bytes = store_.fs().readFile(operands[0]);
    if (!bytes) return refuse("cannot read " + operands[0]);
    if (bytes->size() > kMaxHostListBytes) return refuse(operands[0] + " is too large for a host list");
    const std::optional<std::string> text = panel::ImportExport::decodeText(*bytes);
    if (!text) return refuse(operands[0] + " is not a text file");
    const std::vector<std::string> names = hostListNames(*text);
    panel::RuleListModel model(store_, true, std::nullopt);
    const std::optional<std::size_t> added = model.addRules(names);
    if (!added) return unwritable("the global rules file");
    out_ << "added " << *added << " of " << names.size() << " names to the global deny list\n";
    if (*added > 0) announce();
    return kExitOk;
  }

  DeviceRoot root_;
  DarwinNotifyCenter center_;
  panel::PanelStore store_;
  const Options& o_;
  std::ostream& out_;
  std::ostream& err_;
};

// "90s", "30m", "1h", "7d": a whole number and its unit, up to ten years.
std::optional<double> durationSeconds(const std::string& text) {
  constexpr double kMaxSeconds = 10.0 * 366 * 24 * 3600;
  if (text.size() < 2 || text.size() > 12) return std::nullopt;
  const std::string digits = text.substr(0, text.size() - 1);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  double unit = 0;
  switch (text.back()) {
    case 's':
      unit = 1;
      break;
    case 'm':
      unit = 60;
      break;
    case 'h':
      unit = 3600;
      break;
    case 'd':
      unit = 86400;
      break;
    default:
      return std::nullopt;
  }
  const double seconds = std::stod(digits) * unit;
  if (seconds <= 0 || seconds > kMaxSeconds) return std::nullopt;
  return seconds;
}

std::optional<Options> parse(const std::vector<std::string>& args, std::ostream& err) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--root") {
      if (++i >= args.size()) {
        err << "kestrix-rules: --root needs a folder\n";
        return std::nullopt;
      }
      o.root = args[i];
    } else if (a == "--for") {
      if (++i >= args.size() || !(o.keepSeconds = durationSeconds(args[i]))) {
        err << "kestrix-rules: --for needs a duration such as 30m, 1h, 1d or 7d\n";
        return std::nullopt;
      }
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--global") {
      o.global = true;
    } else if (a == "--help" || a == "-h") {
      return std::nullopt;
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-' && o.words.empty()) {
      err << "kestrix-rules: unknown option " << a << "\n";
      return std::nullopt;
    } else {
      o.words.push_back(a);
    }
  }
  if (o.words.empty()) return std::nullopt;
  return o;
}

}  // namespace

int runRules(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const std::optional<Options> o = parse(args, err);
  if (!o) {
    err << kUsage;
    return kExitRefused;
  }
  try {
    Session session(*o, out, err);
    return session.run();
  } catch (const std::exception& e) {
    err << "kestrix-rules: " << e.what() << "\n";
    return kExitUnwritable;
  }
}

}  // namespace kst::rules
