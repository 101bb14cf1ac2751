#pragma once

#include <string>

#include "platform/fs/DeviceRoot.h"

namespace kst::springboard {

// Pausing the firewall from the shell: the same two steps the settings
// application's switch takes (the disabled marker, then the reload
// notification), so every program under the firewall sees one meaning.
class PauseSwitch {
 public:
  PauseSwitch(DeviceRoot root, std::string markerDevicePath, std::string reloadNotification);

  bool paused() const;
  // False when the marker could not be written or removed; the
  // notification is posted only after a change on disk.
  bool setPaused(bool paused) const;

 private:
  std::string marker_;
  std::string reloadNotification_;
};

}  // namespace kst::springboard
