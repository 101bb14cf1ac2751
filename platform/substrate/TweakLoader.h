#pragma once

#include <string>
#include <vector>

#include "platform/bundle/MainBundle.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistValue.h"

namespace kst::substrate {

// The injection folder: each "<name>.dylib" there is loaded into every
// process that its "<name>.plist" filter matches.
inline constexpr const char* kDynamicLibrariesPath = "/Library/MobileSubstrate/DynamicLibraries";
inline constexpr const char* kFilterKey = "Filter";
inline constexpr const char* kFilterBundlesKey = "Bundles";
inline constexpr const char* kFilterExecutablesKey = "Executables";
// In "Bundles": every process that has a bundle identifier. In
// "Executables": every process.
inline constexpr const char* kFilterEveryone = "*";

// Whether a library with this filter property list belongs in the process:
// {"Filter": {"Bundles": [ids...], "Executables": [names...]}} matches when
// the process's bundle identifier is among the bundles or its process name
// among the executables. A property list without a "Filter" dictionary, or
// whose filter names nothing, matches nothing; entries that are not strings
// are ignored.
bool filterMatches(const plist::Dictionary& filterFile, const MainBundle& bundle);

// The libraries of the device's injection folder whose filter matches the
// process, ordered by file name. A library without a readable filter is
// not loaded.
std::vector<std::string> tweaksToLoad(const DeviceRoot& root, const MainBundle& bundle,
                                      FileSystem& fs = FileSystem::real());

// Opens each library with RTLD_NOW, in order, never to close it; its
// constructors run now. A library that fails to load is reported on stderr
// and skipped. Returns how many were loaded.
int loadTweaks(const std::vector<std::string>& paths);

}  // namespace kst::substrate
