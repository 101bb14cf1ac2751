// Feeds the system's property-list files to every reader that reads them, as
// it reads them: the input is the content of one file (XML or binary), the
// first byte says which. The hooked processes' settings manager loads its
// application's entry and the global rules (from the files, or from the
// rules service's reply, which carries the same dictionaries, or is the
// input itself); SpringBoard's
// rules service answers from them; the settings application shows them and
// changes them; an imported settings file replaces them.
//
// Whatever a writer stores after reading must read back as a dictionary.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "hook/messaging/KstDarwinMessage.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstFlags.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/KstSettingsManager.h"
#include "panel/store/AppSwitchesModel.h"
#include "panel/store/ImportExport.h"
#include "panel/store/PanelStore.h"
#include "panel/store/RuleListModel.h"
#include "panel/store/SettingsModel.h"
#include "panel/store/UserDefaults.h"
#include "platform/plist/PlistFile.h"

namespace {

using namespace kst;

constexpr std::string_view kApp = "com.example.app";
constexpr std::string_view kImported = "KstSettings-import.plist";

// The files the input may stand for, and a settings file to import.
const std::string kTargets[] = {
    std::string(files::kRulesPath),
    std::string(files::kGlobalRulesPath),
    std::string(files::kWhiteListPath),
    std::string(files::kPanelSettingsPath),
    std::string(panel::UserDefaults::kPath),
    std::string(panel::ImportExport::kSettingsFolder) + std::string(kImported),
};
constexpr std::size_t kImportTarget = 5;

// The rules service's replies: built from the same files the input wrote,
// or (a shell gone wrong) the input's own dictionary as the reply itself.
class FileRelay final : public RulesRelay {
 public:
  FileRelay(KstDarwinMessage& service, const plist::Dictionary* rawReply)
      : service_(service), raw_(rawReply) {}
  plist::Dictionary sendAndWait(std::string_view name, const plist::Dictionary* userInfo) override {
    if (raw_ != nullptr) return *raw_;
    return service_.handleMessageNamed(name, userInfo).value_or(plist::Dictionary());
  }

 private:
  KstDarwinMessage& service_;
  const plist::Dictionary* raw_;
};

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// The application the file is about: its first key that is not the marker.
std::string firstApplication(FileSystem& fs, const DeviceRoot& root) {
  if (auto rules = plist::readDictionaryFile(fs, root.path(files::kRulesPath)))
    for (const auto& [key, value] : rules->entries())
      if (key != files::kMarkerKey) return key;
  return std::string(kApp);
}

void readWithSettingsManager(FileSystem& fs, const DeviceRoot& root, const std::string& app, bool relayed,
                             const plist::Dictionary* rawReply) {
  KstFlags flags;
  KstServiceEnv serviceEnv;
  serviceEnv.root = root;
  serviceEnv.fs = &fs;
  serviceEnv.flags = &flags;
  KstDarwinMessage service(serviceEnv);
  FileRelay relay(service, rawReply);

  KstStoreEnv env;
  env.root = root;
  env.fs = &fs;
  env.flags = &flags;
  env.relay = &relay;
  set(flags.alternativeLoading, relayed);
  KstSettingsManager manager(env);
  manager.setCurrentBundleIdentifier(app);
  manager.clearTempAnswers();
  manager.reallyReloadAppSettings();
  manager.reallyReloadGlobalSettings();
  (void)manager.description();
}

void readAndEditInPanel(FileSystem& fs, const DeviceRoot& root, const std::string& app, bool importFirst) {
  panel::PanelStore store(
      fs, root, [](std::string_view) {}, [] { return plist::Date{0}; });
  if (importFirst) (void)panel::ImportExport(store).importSettings(std::string(kImported));

  (void)panel::UserDefaults(store).objectForKey(panel::UserDefaults::kShownIntroductionAlertKey);
  panel::AppSwitchesModel switches(store, app);
  switches.load();
  panel::SettingsModel settings(store);
  for (const panel::GlobalSwitch* s :
       {&panel::SettingsModel::kBlockNonWiFi, &panel::SettingsModel::kRespectGlobal,
        &panel::SettingsModel::kLog, &panel::SettingsModel::kSolidPopup})
    (void)settings.value(*s);
  for (bool isDeny : {false, true}) {
    panel::RuleListModel global(store, isDeny);
    global.reload();
    panel::RuleListModel own(store, isDeny, app);
    own.reload();
    (void)own.helpAlert();
  }

  // One change through each writer, then each file must read back.
  switches.setEnabled(false);
  settings.setValue(panel::SettingsModel::kLog, true);
  panel::RuleListModel own(store, false, app);
  own.reload();
  (void)own.add("fuzz.example");
  require(store.readRules().has_value(), "the rules file does not read back after a write");
  require(store.readGlobal().has_value(), "the global rules file does not read back after a write");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t selector = input.byte();
  const std::string& target = kTargets[(selector & 0x0f) % std::size(kTargets)];

  fuzz::MemoryFileSystem fs;
  const DeviceRoot root("/device");
  fs.writeFileAtomic(root.path(target), input.rest(), true);
  const std::string app = firstApplication(fs, root);

  std::optional<plist::Dictionary> rawReply;
  if ((selector & 0x20) != 0) rawReply = plist::readDictionaryFile(fs, root.path(target));
  readWithSettingsManager(fs, root, app, (selector & 0x30) != 0, rawReply ? &*rawReply : nullptr);
  readAndEditInPanel(fs, root, app, target == kTargets[kImportTarget]);
  return 0;
}
