#include "tools/install/PanelInstall.h"

#include <filesystem>
#include <optional>

#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"

namespace kst::install {

namespace {

namespace fsys = std::filesystem;

bool copy(const std::string& from, const std::string& devicePath, const DeviceRoot& root,
          std::vector<std::string>* installed, std::string* error) {
  FileSystem& fs = FileSystem::real();
  const std::optional<std::string> bytes = fs.readFile(from);
  if (!bytes) {
    *error = "cannot read " + from;
    return false;
  }
  if (!fs.writeFileAtomic(root.path(devicePath), *bytes, true)) {
    *error = "cannot write " + root.path(devicePath);
    return false;
  }
  installed->push_back(devicePath);
  return true;
}

}  // namespace

bool installPanel(const std::string& panelShareDir, const std::string& panelProgram, const DeviceRoot& root,
                  std::vector<std::string>* installed, std::string* error) {
  std::error_code ec;
  if (!fsys::is_directory(panelShareDir, ec)) return true;
  const std::string bundle = kPanelBundlePath;
  const plist::Dictionary info{{"CFBundleIdentifier", kPanelBundleIdentifier},
                               {"CFBundleDisplayName", "Kestrix"},
                               {"CFBundleExecutable", "KestrixPanel"},
                               {"CFBundleIconFile", "icon.png"}};
  if (!plist::writeDictionaryFile(FileSystem::real(), root.path(bundle + "/Info.plist"), info, true)) {
    *error = "cannot write " + root.path(bundle + "/Info.plist");
    return false;
  }
  installed->push_back(bundle + "/Info.plist");
  const std::string icon = panelShareDir + "/images/kestrix-panel.png";
  if (!copy(icon, bundle + "/icon.png", root, installed, error) ||
      !copy(icon, kPanelIconPath, root, installed, error) ||
      !copy(panelShareDir + "/Documentation/firewall.html", bundle + "/Documentation/firewall.html", root,
            installed, error)) {
    return false;
  }
  // The host lists: every file of Lists/ (the user's own lists stay).
  for (fsys::directory_iterator it(panelShareDir + "/Lists", ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    if (!copy(it->path().string(), bundle + "/Lists/" + it->path().filename().string(), root, installed,
              error)) {
      return false;
    }
  }
  // The desktop entry runs the build's program on this root.
  std::optional<std::string> entry =
      FileSystem::real().readFile(panelShareDir + "/desktop/KestrixPanel.desktop");
  if (!entry) {
    *error = "cannot read the desktop entry in " + panelShareDir;
    return false;
  }
  const std::string execLine = "Exec=KestrixPanel";
  if (const std::size_t at = entry->find(execLine); at != std::string::npos) {
    entry->replace(at, execLine.size(), "Exec=\"" + panelProgram + "\" --root \"" + root.dir() + "\"");
  }
  if (const std::size_t at = entry->find("Icon=kestrix-panel"); at != std::string::npos) {
    entry->replace(at, 18, "Icon=" + root.path(kPanelIconPath));
  }
  if (!FileSystem::real().writeFileAtomic(root.path(kPanelDesktopEntryPath), *entry, true)) {
    *error = "cannot write " + root.path(kPanelDesktopEntryPath);
    return false;
  }
  installed->push_back(kPanelDesktopEntryPath);
  // The export folder the application expects (made when missing, as the
  // Preferences folder is; nothing in it is touched).
  fsys::create_directories(root.path(kPanelExportFolder), ec);
  if (ec) {
    *error = "cannot make " + root.path(kPanelExportFolder) + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace kst::install
