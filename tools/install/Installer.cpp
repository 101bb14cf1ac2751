#include "tools/install/Installer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistValue.h"
#include "platform/substrate/TweakLoader.h"
#include "tools/install/MenuEntry.h"
#include "tools/install/PanelInstall.h"

namespace kst::install {

namespace {

bool makeFolder(const std::string& path, std::optional<mode_t> mode, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) {
    *error = "cannot make " + path + ": " + ec.message();
    return false;
  }
  if (mode && ::chmod(path.c_str(), *mode) != 0) {
    *error = "cannot set the mode of " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

const std::vector<Library>& libraries() {
  static const std::vector<Library> all = {
      {"libsubstrate.so", "/usr/lib/libsubstrate.so", true},
      {"libKestrixHook7.so", "/usr/lib/KestrixHook7.dylib", false},
      {"libKestrixHook9.so", "/usr/lib/KestrixHook9.dylib", false},
      {"libKestrixHook7Prompt.so", "/usr/lib/KestrixHook7Prompt.dylib", false},
      {"libKestrixHook9Prompt.so", "/usr/lib/KestrixHook9Prompt.dylib", false},
      {"libKestrixLoader.so", kLoaderPath, false},
  };
  return all;
}

const std::vector<DataFile>& dataFiles() {
  static const std::vector<DataFile> all = {
      {"ports.txt", "/var/mobile/Library/Preferences/Radazira/ports.txt"},
      {"blueThemebutton_silver.png", "/var/mobile/Library/Preferences/Radazira/blueThemebutton_silver.png"},
  };
  return all;
}

std::string loaderFilterBytes() {
  const plist::Dictionary filter{
      {substrate::kFilterKey,
       plist::Dictionary{{substrate::kFilterBundlesKey, plist::Array{substrate::kFilterEveryone}}}}};
  return plist::encodeBinary(plist::Value(filter)).value_or(std::string());
}

bool installDevice(const std::string& libDir, const DeviceRoot& root, std::vector<std::string>* installed,
                   std::string* error) {
  FileSystem& fs = FileSystem::real();
  // A root that cannot be written is refused before anything is laid out,
  // so it is never left half done.
  std::error_code rootError;
  std::filesystem::create_directories(root.dir(), rootError);
  if (rootError || ::access(root.dir().c_str(), W_OK | X_OK) != 0) {
    *error = "the device root " + root.dir() + " cannot be written" +
             (rootError ? ": " + rootError.message() : std::string(": ") + std::strerror(errno));
    return false;
  }
  for (const Library& lib : libraries()) {
    const std::string source = libDir + "/" + lib.buildName;
    const std::optional<std::string> bytes = fs.readFile(source);
    if (!bytes) {
      if (!lib.required) continue;
      *error = "cannot read " + source;
      return false;
    }
    if (!fs.writeFileAtomic(root.path(lib.devicePath), *bytes, true)) {
      *error = "cannot write " + root.path(lib.devicePath);
      return false;
    }
    installed->push_back(lib.devicePath);
    if (std::strcmp(lib.devicePath, kLoaderPath) == 0) {
      const std::string filter = loaderFilterBytes();
      if (filter.empty() || !fs.writeFileAtomic(root.path(kLoaderFilterPath), filter, true)) {
        *error = "cannot write " + root.path(kLoaderFilterPath);
        return false;
      }
      installed->push_back(kLoaderFilterPath);
    }
  }
  // Beside lib/ in a build; a package's libraries are one folder deeper
  // (lib/kestrix/) than its share/.
  std::error_code dataError;
  std::string dataDir = libDir + "/../share/kestrix";
  if (!std::filesystem::is_directory(dataDir, dataError)) dataDir = libDir + "/../../share/kestrix";
  for (const DataFile& data : dataFiles()) {
    const std::optional<std::string> bytes = fs.readFile(dataDir + "/" + data.buildName);
    if (!bytes) continue;
    if (!fs.writeFileAtomic(root.path(data.devicePath), *bytes, true)) {
      *error = "cannot write " + root.path(data.devicePath);
      return false;
    }
    installed->push_back(data.devicePath);
  }
  // The services' sockets live in a folder only this user may enter.
  if (!makeFolder(root.path(kServicesFolder), 0700, error)) return false;
  std::error_code ec;
  if (!std::filesystem::is_directory(root.path(kPreferencesFolder), ec) &&
      !makeFolder(root.path(kPreferencesFolder), std::nullopt, error)) {
    return false;
  }
  return true;
}

namespace {

constexpr const char* kUsage =
    "usage: kestrix-install [--root DIR]\n"
    "       kestrix-install [--root DIR] --menu-entry ID.desktop... | --remove-menu-entry ID.desktop...\n";

// The menu-entry actions: each id in turn, every failure said.
int menuEntries(const std::vector<std::string>& add, const std::vector<std::string>& remove,
                const std::optional<std::string>& root, const std::string& launcher) {
  int status = 0;
  for (const std::string& id : add) {
    std::string written;
    std::string error;
    if (addMenuEntry(id, launcher, root, &written, &error)) {
      std::printf("%s now runs under Kestrix (%s)\n", id.c_str(), written.c_str());
    } else {
      std::fprintf(stderr, "kestrix-install: %s\n", error.c_str());
      status = 1;
    }
  }
  for (const std::string& id : remove) {
    std::string error;
    if (removeMenuEntry(id, &error)) {
      std::printf("%s runs as before\n", id.c_str());
    } else {
      std::fprintf(stderr, "kestrix-install: %s\n", error.c_str());
      status = 1;
    }
  }
  return status;
}

}  // namespace

int installerMain(int argc, char** argv) {
  std::optional<std::string> rootDir;
  std::vector<std::string> addEntries;
  std::vector<std::string> removeEntries;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc && argv[i + 1][0] != '\0';
    if (arg == "--root" && hasValue) {
      rootDir = argv[++i];
    } else if (arg.starts_with("--root=") && arg.size() > 7) {
      rootDir = arg.substr(7);
    } else if (arg == "--menu-entry" && hasValue) {
      addEntries.emplace_back(argv[++i]);
    } else if (arg == "--remove-menu-entry" && hasValue) {
      removeEntries.emplace_back(argv[++i]);
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "kestrix-install: unexpected argument %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    std::fprintf(stderr, "kestrix-install: cannot tell where this build is: %s\n", ec.message().c_str());
    return 1;
  }
  // A package keeps the libraries in lib/kestrix/, a build in lib/.
  std::string libDir = (self.parent_path().parent_path() / "lib" / "kestrix").string();
  if (!std::filesystem::is_directory(libDir, ec)) libDir = (self.parent_path().parent_path() / "lib").string();
  const std::string dir =
      std::filesystem::absolute(rootDir ? *rootDir : DeviceRoot::defaultDir(), ec).string();
  if (!addEntries.empty() || !removeEntries.empty()) {
    const std::string launcher = (self.parent_path() / "kestrix-launch").string();
    return menuEntries(addEntries, removeEntries, rootDir ? std::optional<std::string>(dir) : std::nullopt,
                       launcher);
  }
  const DeviceRoot root(dir);
  std::vector<std::string> installed;
  std::string error;
  const std::filesystem::path build = self.parent_path().parent_path();
  const bool ok = installDevice(libDir, root, &installed, &error) &&
                  installPanel((build / "share/kestrix/panel").string(), (build / "bin/KestrixPanel").string(), root,
                               &installed, &error);
  for (const std::string& path : installed) std::printf("installed %s\n", root.path(path).c_str());
  if (!ok) {
    std::fprintf(stderr, "kestrix-install: %s\n", error.c_str());
    return 1;
  }
  std::printf("device root %s is ready\n", dir.c_str());
  return 0;
}

}  // namespace kst::install
