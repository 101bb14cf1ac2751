#include "platform/springboard/DeviceState.h"

#include <algorithm>
#include <filesystem>

#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"

namespace kst::springboard {

namespace {

constexpr const char* kApplicationsFolder = "/Applications";
constexpr const char* kInfoPlist = "Info.plist";
constexpr const char* kBundleIdentifierKey = "CFBundleIdentifier";
constexpr const char* kDisplayNameKey = "CFBundleDisplayName";
constexpr std::size_t kAnswersKept = 10;

}  // namespace

DeviceState& DeviceState::shared() {
  static auto* state = new DeviceState();  // used by stand-ins until exit
  return *state;
}

void DeviceState::changed() {
  if (observer_) observer_();
}

void DeviceState::setLocked(bool locked) {
  locked_ = locked;
  changed();
}

void DeviceState::setDim(bool dim) {
  dim_ = dim;
  changed();
}

bool DeviceState::setOrientation(int orientation) {
  if (orientation < 0 || orientation > 6) return false;
  orientation_ = orientation;
  changed();
  return true;
}

void DeviceState::setModel(std::string model) {
  model_ = std::move(model);
  changed();
}

void DeviceState::setScreen(double width, double height, double scale) {
  screenWidth_ = width;
  screenHeight_ = height;
  screenScale_ = scale;
  changed();
}

void DeviceState::lockButtonPressed() {
  if (dim_) {
    dim_ = false;
  } else if (!locked_) {
    locked_ = true;
    dim_ = true;
  }
  changed();
}

void DeviceState::setIdleTimerDisabled(bool disabled) {
  idleTimerDisabled_ = disabled;
  changed();
}

void DeviceState::resetIdleTimer() {
  ++idleTimerResets_;
}

void DeviceState::playSound(int sound) {
  sounds_.push_back(sound);
}

void DeviceState::flash() {
  ++flashes_;
}

AlertItem* DeviceState::makeAlertItem(std::string text) {
  if (items_.size() >= kMaxAlertItems) return nullptr;
  items_.push_back(std::make_unique<AlertItem>(AlertItem{std::move(text)}));
  return items_.back().get();
}

void DeviceState::activateAlert(AlertItem* item) {
  if (item == nullptr || item == visible_) return;
  pending_.erase(std::remove(pending_.begin(), pending_.end(), item), pending_.end());
  if (visible_ != nullptr || forcePend_)
    pending_.push_back(item);
  else
    visible_ = item;
  changed();
}

void DeviceState::deactivateAlert(AlertItem* item) {
  if (item == nullptr) return;
  if (visible_ == item) visible_ = nullptr;
  pending_.erase(std::remove(pending_.begin(), pending_.end(), item), pending_.end());
  changed();
}

void DeviceState::moveActiveAlertsToPending() {
  if (visible_ == nullptr) return;
  pending_.push_front(visible_);
  visible_ = nullptr;
  changed();
}

void DeviceState::activatePendedAlerts() {
  if (visible_ != nullptr || forcePend_ || pending_.empty()) return;
  visible_ = pending_.front();
  pending_.pop_front();
  changed();
}

void DeviceState::loadApplications(const DeviceRoot& root) {
  applications_.clear();
  std::error_code ec;
  std::vector<std::filesystem::path> folders;
  for (const auto& entry : std::filesystem::directory_iterator(root.path(kApplicationsFolder), ec))
    if (entry.path().extension() == ".app") folders.push_back(entry.path());
  std::sort(folders.begin(), folders.end());
  for (const auto& folder : folders) {
    auto info = plist::readDictionaryFile(FileSystem::real(), (folder / kInfoPlist).string());
    if (!info) continue;
    const std::string* id = info->string(kBundleIdentifierKey);
    if (id == nullptr) continue;
    const std::string* name = info->string(kDisplayNameKey);
    applications_.push_back({*id, name != nullptr ? *name : folder.stem().string()});
  }
}

void DeviceState::noteAnswer(std::string line) {
  answers_.push_back(std::move(line));
  while (answers_.size() > kAnswersKept) answers_.pop_front();
  changed();
}

}  // namespace kst::springboard
