#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs/DeviceRoot.h"

namespace kst::applist {

// One installed application as the catalogue knows it.
struct Application {
  std::string bundleIdentifier;
  std::string displayName;  // may be empty: an application without a name
  // Where its icon comes from: a file path, or a theme icon name
  // (iconIsThemeName); empty when it has none.
  std::string icon;
  bool iconIsThemeName = false;
};

// The catalogue of installed applications: the application bundles
// "<root>/Applications/<Name>.app/" (Info.plist: CFBundleIdentifier,
// CFBundleDisplayName or CFBundleName, CFBundleIconFile or icon.png), and
// the host's freedesktop applications (the .desktop files of the XDG data
// folders, the desktop file id as bundle identifier; NoDisplay and Hidden
// entries are not applications a person starts). A bundle wins over a
// desktop entry of the same identifier; an earlier data folder over a later.
//
// The folders are scanned once, on first use, and again on rescan(). Safe
// to use from any thread.
class ApplicationCatalogue {
 public:
  using Predicate = std::function<bool(std::string_view bundleIdentifier)>;

  // `desktopDataDirs`: the XDG data folders whose "applications/" are read.
  ApplicationCatalogue(DeviceRoot root, std::vector<std::string> desktopDataDirs);
  // The process's root and $XDG_DATA_HOME, $XDG_DATA_DIRS (with their defaults).
  static std::vector<std::string> defaultDesktopDataDirs();

  // Identifier to display name of every application the predicate accepts.
  std::map<std::string, std::string> applicationsFilteredUsingPredicate(const Predicate& predicate) const;
  std::optional<Application> application(std::string_view bundleIdentifier) const;
  std::size_t count() const;
  void rescan();

 private:
  void scanLocked() const;

  const DeviceRoot root_;
  const std::vector<std::string> desktopDataDirs_;
  mutable std::mutex mu_;
  mutable bool scanned_ = false;
  mutable std::map<std::string, Application> apps_;  // GUARDED_BY(mu_)
};

// The pieces of a .desktop file the catalogue uses; absent when the file is
// not an application entry to list.
std::optional<Application> parseDesktopEntry(std::string_view text, std::string desktopFileId);

}  // namespace kst::applist
