#pragma once

#include <string>
#include <vector>

#include "platform/fs/DeviceRoot.h"

namespace kst::install {

// kestrix-install: lays out a device root from the build it belongs to.
//
//   kestrix-install [--root DIR]
//
// The libraries come from the build's lib/ folder (beside the tool's bin/)
// and go under the names the system loads them by: the substrate to
// /usr/lib/libsubstrate.so, the hook libraries (and their prompt
// libraries) to /usr/lib/KestrixHook{7,9}[Prompt].dylib, and the loader to
// the injection folder as KestrixLoader.dylib with its filter. The folders
// the services need are made. Run again over an existing root, it replaces
// those files (each one atomically: a temporary copy renamed over the old,
// so running processes keep theirs), leaves other files of the injection
// folder alone, and never touches var/mobile/ beyond making its
// Preferences folder when it is missing.

inline constexpr const char* kLoaderPath = "/Library/MobileSubstrate/DynamicLibraries/KestrixLoader.dylib";
inline constexpr const char* kLoaderFilterPath =
    "/Library/MobileSubstrate/DynamicLibraries/KestrixLoader.plist";
inline constexpr const char* kServicesFolder = "/var/run/kestrix";
inline constexpr const char* kPreferencesFolder = "/var/mobile/Library/Preferences";

// One library of the build and where it goes.
struct Library {
  const char* buildName;   // in the build's lib/ folder
  const char* devicePath;  // under the root
  bool required;           // missing: the install fails (others are skipped quietly)
};

// Everything the install lays out from a build.
const std::vector<Library>& libraries();

// The prompt's data files, from the build's share/kestrix/ folder (beside
// lib/); each is optional. They are the tools' data, not the user's, so
// they are replaced like the libraries.
struct DataFile {
  const char* buildName;
  const char* devicePath;
};
const std::vector<DataFile>& dataFiles();

// The loader's filter: every process that has a bundle identifier
// ({"Filter": {"Bundles": ["*"]}}); the loader and the hook library decide
// the rest.
std::string loaderFilterBytes();

// Lays out `root` from the libraries in `libDir`. `installed` receives the
// device paths written. Returns false, with a message, at the first
// failure; what was replaced before stays replaced.
bool installDevice(const std::string& libDir, const DeviceRoot& root, std::vector<std::string>* installed,
                   std::string* error);

// The whole tool.
int installerMain(int argc, char** argv);

}  // namespace kst::install
