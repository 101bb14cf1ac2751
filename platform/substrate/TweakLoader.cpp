#include "platform/substrate/TweakLoader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/plist/PlistFile.h"

namespace kst::substrate {

namespace {

constexpr std::string_view kLibrarySuffix = ".dylib";
constexpr std::string_view kFilterSuffix = ".plist";

// Whether the filter's list under `key` names `name` (may be null: no name)
// or everyone.
bool lists(const plist::Dictionary& filter, const char* key, const std::string* name) {
  const plist::Array* entries = filter.array(key);
  if (entries == nullptr) return false;
  for (const plist::Value& entry : *entries) {
    const std::string* text = entry.asString();
    if (text != nullptr && (*text == kFilterEveryone || (name != nullptr && *text == *name))) return true;
  }
  return false;
}

}  // namespace

bool filterMatches(const plist::Dictionary& filterFile, const MainBundle& bundle) {
  const plist::Dictionary* filter = filterFile.dictionary(kFilterKey);
  if (filter == nullptr) return false;
  // "*" among the bundles still asks for a bundle.
  if (const std::optional<std::string>& id = bundle.bundleIdentifier();
      id && lists(*filter, kFilterBundlesKey, &*id)) {
    return true;
  }
  const std::string& processName = bundle.processName();
  return lists(*filter, kFilterExecutablesKey, processName.empty() ? nullptr : &processName);
}

std::vector<std::string> tweaksToLoad(const DeviceRoot& root, const MainBundle& bundle, FileSystem& fs) {
  std::vector<std::string> names;
  std::error_code ec;
  const std::filesystem::path folder = root.path(kDynamicLibrariesPath);
  std::filesystem::directory_iterator it(folder, ec);
  if (ec) return {};
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (name.size() <= kLibrarySuffix.size() || !name.ends_with(kLibrarySuffix)) continue;
    std::error_code typeError;
    if (!std::filesystem::is_regular_file(it->path(), typeError)) continue;  // follows links
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());

  std::vector<std::string> chosen;
  for (const std::string& name : names) {
    const std::string stem = name.substr(0, name.size() - kLibrarySuffix.size());
    const std::optional<plist::Dictionary> filter =
        plist::readDictionaryFile(fs, (folder / (stem + std::string(kFilterSuffix))).string());
    if (filter && filterMatches(*filter, bundle)) chosen.push_back((folder / name).string());
  }
  return chosen;
}

int loadTweaks(const std::vector<std::string>& paths) {
  int loaded = 0;
  for (const std::string& path : paths) {
    if (::dlopen(path.c_str(), RTLD_NOW) != nullptr) {
      ++loaded;
      continue;
    }
    const char* why = ::dlerror();
    std::fprintf(stderr, "substrate: cannot load %s: %s\n", path.c_str(),
                 why != nullptr ? why : "unknown error");
  }
  return loaded;
}

}  // namespace kst::substrate
