#include "panel/store/PanelStore.h"

#include "hook/rules/KstFiles.h"
#include "hook/store/RuleExpiry.h"
#include "platform/fs/Utf16File.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/plist/PlistFile.h"

namespace kst::panel {

PanelStore::PanelStore(FileSystem& fs, DeviceRoot root, Poster post, Clock now)
    : fs_(fs), root_(std::move(root)), post_(std::move(post)), now_(std::move(now)) {}

PanelStore& PanelStore::process() {
  static PanelStore* store = new PanelStore(
      FileSystem::real(), DeviceRoot::process(),
      [](std::string_view name) { DarwinNotifyCenter::process().post(name); },
      [] { return plist::Date::now(); });
  return *store;
}

std::optional<plist::Dictionary> PanelStore::read(std::string_view devicePath) const {
  return plist::readDictionaryFile(fs_, path(devicePath));
}

bool PanelStore::write(std::string_view devicePath, const plist::Dictionary& dict) const {
  const std::string file = path(devicePath);
  // Every writer replaces a file it could not read with what it holds; the
  // unreadable one is kept beside it, so a damaged file is never simply lost.
  if (fs_.exists(file) && !plist::readDictionaryFile(fs_, file)) {
    if (const std::optional<std::string> bytes = fs_.readFile(file)) {
      fs_.writeFileAtomic(file + std::string(kDamagedSuffix), *bytes, false);
    }
  }
  return plist::writeDictionaryFile(fs_, file, dict, true);
}

std::optional<plist::Dictionary> PanelStore::readRules() const {
  return read(files::kRulesPath);
}
std::optional<plist::Dictionary> PanelStore::readGlobal() const {
  return read(files::kGlobalRulesPath);
}
std::optional<plist::Dictionary> PanelStore::readFlags() const {
  return read(files::kPanelSettingsPath);
}

void PanelStore::ensureMarker(plist::Dictionary& dict) {
  if (!dict.contains(files::kMarkerKey)) dict.set(std::string(files::kMarkerKey), true);
}

bool PanelStore::writeRules(plist::Dictionary dict, bool ensure) const {
  dropExpiredRules(dict, now());
  if (ensure) ensureMarker(dict);
  return write(files::kRulesPath, dict);
}

bool PanelStore::writeGlobal(plist::Dictionary dict, bool ensure) const {
  dropExpiredGlobalRules(dict, now());
  if (ensure) ensureMarker(dict);
  return write(files::kGlobalRulesPath, dict);
}

bool PanelStore::writeFlags(const plist::Dictionary& dict) const {
  return write(files::kPanelSettingsPath, dict);
}

RuleUsageTable PanelStore::readRuleUsage() const {
  return readRuleUsageFile(fs_, path(files::kRuleUsagePath)).table;
}

bool PanelStore::flagsFileExists() const {
  return fs_.exists(path(files::kPanelSettingsPath));
}

bool PanelStore::disabledMarkerExists() const {
  return fs_.exists(path(files::kDisabledMarkerPath));
}

bool PanelStore::setDisabledMarker(bool present) const {
  const std::string marker = path(files::kDisabledMarkerPath);
  if (present) return fs_.writeFileAtomic(marker, std::string_view(), true);
  return !fs_.exists(marker) || fs_.removeFile(marker);
}

std::optional<std::string> PanelStore::readLog() const {
  return utf16::readFile(fs_, path(files::kLogPath));
}
bool PanelStore::logExists() const {
  return fs_.exists(path(files::kLogPath));
}
bool PanelStore::removeLog() const {
  return fs_.removeFile(path(files::kLogPath));
}

}  // namespace kst::panel
