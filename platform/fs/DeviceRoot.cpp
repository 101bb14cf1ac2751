#include "platform/fs/DeviceRoot.h"

#include <cstdlib>

namespace kst {

DeviceRoot::DeviceRoot(std::string dir) : dir_(std::move(dir)) {
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
}

std::string DeviceRoot::defaultDir() {
  if (const char* root = std::getenv("KESTRIX_ROOT"); root != nullptr && *root != '\0') return root;
  std::string base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr && *home != '\0' ? home : "/tmp") + "/.local/share";
  }
  return base + "/kestrix/device";
}

const DeviceRoot& DeviceRoot::process() {
  // Built once and never destroyed: hooks may run after static destructors.
  static const DeviceRoot* root = new DeviceRoot(defaultDir());
  return *root;
}

std::string DeviceRoot::path(std::string_view devicePath) const {
  std::string out = dir_ == "/" ? std::string() : dir_;
  if (devicePath.empty() || devicePath.front() != '/') out += '/';
  out += devicePath;
  return out;
}

}  // namespace kst
