#include "platform/springboard/PauseSwitch.h"

#include <string_view>
#include <utility>

#include "platform/fs/FileSystem.h"
#include "platform/notify/DarwinNotifyCenter.h"

namespace kst::springboard {

PauseSwitch::PauseSwitch(DeviceRoot root, std::string markerDevicePath, std::string reloadNotification)
    : marker_(root.path(markerDevicePath)), reloadNotification_(std::move(reloadNotification)) {}

bool PauseSwitch::paused() const {
  return FileSystem::real().exists(marker_);
}

bool PauseSwitch::setPaused(bool paused) const {
  FileSystem& fs = FileSystem::real();
  const bool written = paused ? fs.writeFileAtomic(marker_, std::string_view(), true)
                              : (!fs.exists(marker_) || fs.removeFile(marker_));
  if (!written) return false;
  DarwinNotifyCenter::process().post(reloadNotification_);
  return true;
}

}  // namespace kst::springboard
