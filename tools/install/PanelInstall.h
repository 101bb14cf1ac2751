#pragma once

#include <string>
#include <vector>

#include "platform/fs/DeviceRoot.h"

namespace kst::install {

// The settings application's part of a device: its bundle folder
// "/Applications/KestrixPanel.app/" (Info.plist, icon, the documentation
// page, the host lists of Lists/), and, for the host's desktop, a .desktop
// entry and an icon under the root's usr/share/; and the export folder
// "/var/mobile/Library/Preferences/Kst/" when it is missing. Everything comes from the
// build's share/kestrix/panel/ folder; a build without it (no Qt) installs
// no panel and that is no error. Exec of the entry runs `panelProgram`
// on this root.
inline constexpr const char* kPanelBundlePath = "/Applications/KestrixPanel.app";
inline constexpr const char* kPanelBundleIdentifier = "com.dovrane.KestrixPanel";
inline constexpr const char* kPanelDesktopEntryPath = "/usr/share/applications/KestrixPanel.desktop";
inline constexpr const char* kPanelExportFolder = "/var/mobile/Library/Preferences/Kst";
inline constexpr const char* kPanelIconPath = "/usr/share/icons/hicolor/128x128/apps/kestrix-panel.png";

bool installPanel(const std::string& panelShareDir, const std::string& panelProgram, const DeviceRoot& root,
                  std::vector<std::string>* installed, std::string* error);

}  // namespace kst::install
