#include "platform/applist/ApplicationCatalogue.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/bundle/DesktopFile.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"

namespace kst::applist {

namespace {

namespace fsys = std::filesystem;

constexpr std::string_view kApplicationsFolder = "/Applications";
constexpr std::string_view kBundleSuffix = ".app";
constexpr std::string_view kInfoPlist = "Info.plist";
constexpr std::string_view kBundleIdentifierKey = "CFBundleIdentifier";
constexpr std::string_view kDisplayNameKey = "CFBundleDisplayName";
constexpr std::string_view kBundleNameKey = "CFBundleName";
constexpr std::string_view kIconFileKey = "CFBundleIconFile";
constexpr const char* kDefaultIconFiles[] = {"icon.png", "Icon.png", "icon.svg"};
constexpr std::string_view kDesktopSuffix = ".desktop";

void scanBundles(const DeviceRoot& root, std::map<std::string, Application>& apps) {
  std::error_code ec;
  const fsys::path folder = root.path(kApplicationsFolder);
  for (fsys::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fsys::path bundle = it->path();
    if (bundle.extension() != kBundleSuffix) continue;
    const auto info = plist::readDictionaryFile(FileSystem::real(), (bundle / kInfoPlist).string());
    if (!info) continue;
    const std::string* id = info->string(kBundleIdentifierKey);
    if (id == nullptr || id->empty()) continue;
    Application app;
    app.bundleIdentifier = *id;
    if (const std::string* name = info->string(kDisplayNameKey); name != nullptr && !name->empty()) {
      app.displayName = *name;
    } else if (const std::string* bundleName = info->string(kBundleNameKey)) {
      app.displayName = *bundleName;
    }
    std::error_code iec;
    if (const std::string* iconFile = info->string(kIconFileKey);
        iconFile != nullptr && !iconFile->empty() && iconFile->find("..") == std::string::npos &&
        fsys::is_regular_file(bundle / *iconFile, iec)) {
      app.icon = (bundle / *iconFile).string();
    } else {
      for (const char* name : kDefaultIconFiles) {
        if (fsys::is_regular_file(bundle / name, iec)) {
          app.icon = (bundle / name).string();
          break;
        }
      }
    }
    apps.emplace(app.bundleIdentifier, std::move(app));
  }
}

void scanDesktopFolder(const fsys::path& folder, const fsys::path& base,
                       std::map<std::string, Application>& apps, int depth) {
  std::error_code ec;
  if (depth > 4) return;
  for (fsys::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code tec;
    if (it->is_directory(tec)) {
      scanDesktopFolder(it->path(), base, apps, depth + 1);
      continue;
    }
    if (it->path().extension() != kDesktopSuffix) continue;
    // The desktop file id: the path below applications/ with '/' as '-',
    // ".desktop" kept; kestrix-launch runs the application under that same
    // id, so the rules made here are the rules it is judged by.
    std::string id = fsys::relative(it->path(), base, tec).string();
    if (tec) continue;
    for (char& c : id) c = c == '/' ? '-' : c;
    if (apps.contains(id)) continue;  // an earlier folder, or a bundle, wins
    const auto text = FileSystem::real().readFile(it->path().string());
    if (!text || text->size() > (1u << 20)) continue;
    if (auto app = parseDesktopEntry(*text, id)) apps.emplace(id, std::move(*app));
  }
}

}  // namespace

std::optional<Application> parseDesktopEntry(std::string_view text, std::string desktopFileId) {
  const std::optional<DesktopFile> entry = DesktopFile::parse(text);
  if (!entry || entry->raw("Type") != "Application" || entry->boolean("NoDisplay") ||
      entry->boolean("Hidden") || desktopFileId.empty()) {
    return std::nullopt;
  }
  Application app;
  app.bundleIdentifier = std::move(desktopFileId);
  app.displayName = entry->string("Name").value_or("");
  if (std::optional<std::string> icon = entry->string("Icon")) {
    app.iconIsThemeName = !icon->starts_with('/');
    app.icon = std::move(*icon);
  }
  return app;
}

ApplicationCatalogue::ApplicationCatalogue(DeviceRoot root, std::vector<std::string> desktopDataDirs)
    : root_(std::move(root)), desktopDataDirs_(std::move(desktopDataDirs)) {}

std::vector<std::string> ApplicationCatalogue::defaultDesktopDataDirs() {
  std::vector<std::string> dirs;
  if (const char* home = std::getenv("XDG_DATA_HOME"); home != nullptr && *home == '/') {
    dirs.emplace_back(home);
  } else if (const char* h = std::getenv("HOME"); h != nullptr && *h == '/') {
    dirs.push_back(std::string(h) + "/.local/share");
  }
  const char* env = std::getenv("XDG_DATA_DIRS");
  std::string list = env != nullptr && *env != '\0' ? env : "/usr/local/share:/usr/share";
  std::istringstream parts(list);
  for (std::string dir; std::getline(parts, dir, ':');) {
    if (!dir.empty() && dir.front() == '/') dirs.push_back(dir);
  }
  return dirs;
}

void ApplicationCatalogue::scanLocked() const {
  if (scanned_) return;
  apps_.clear();
  scanBundles(root_, apps_);
  for (const std::string& dir : desktopDataDirs_) {
    const fsys::path folder = fsys::path(dir) / "applications";
    scanDesktopFolder(folder, folder, apps_, 0);
  }
  scanned_ = true;
}

std::map<std::string, std::string> ApplicationCatalogue::applicationsFilteredUsingPredicate(
    const Predicate& predicate) const {
  std::lock_guard lock(mu_);
  scanLocked();
  std::map<std::string, std::string> out;
  for (const auto& [id, app] : apps_) {
    if (predicate(id)) out.emplace(id, app.displayName);
  }
  return out;
}

std::optional<Application> ApplicationCatalogue::application(std::string_view bundleIdentifier) const {
  std::lock_guard lock(mu_);
  scanLocked();
  const auto it = apps_.find(std::string(bundleIdentifier));
  if (it == apps_.end()) return std::nullopt;
  return it->second;
}

std::size_t ApplicationCatalogue::count() const {
  std::lock_guard lock(mu_);
  scanLocked();
  return apps_.size();
}

void ApplicationCatalogue::rescan() {
  std::lock_guard lock(mu_);
  scanned_ = false;
  scanLocked();
}

}  // namespace kst::applist
