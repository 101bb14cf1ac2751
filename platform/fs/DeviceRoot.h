#pragma once

#include <string>
#include <string_view>

namespace kst {

// The folder that stands for the device's disk. Every absolute path the
// system knows ("/var/mobile/Library/Preferences/...", "/usr/lib/...") lives
// below it; path() is the one place where the two are joined.
class DeviceRoot {
 public:
  explicit DeviceRoot(std::string dir);

  // KESTRIX_ROOT, or ${XDG_DATA_HOME:-$HOME/.local/share}/kestrix/device.
  static std::string defaultDir();
  // The root of this process, read from the environment on first use.
  static const DeviceRoot& process();

  const std::string& dir() const { return dir_; }
  // Maps a device path such as "/var/mobile/Library/Preferences/x.plist" to
  // the real file under the root.
  std::string path(std::string_view devicePath) const;

 private:
  std::string dir_;
};

}  // namespace kst
