#include "panel/store/UserDefaults.h"

#include "platform/plist/PlistFile.h"

namespace kst::panel {

std::optional<plist::Value> UserDefaults::objectForKey(std::string_view key) const {
  const auto dict = plist::readDictionaryFile(store_.fs(), store_.path(kPath));
  if (!dict) return std::nullopt;
  const plist::Value* v = dict->find(key);
  if (v == nullptr) return std::nullopt;
  return *v;
}

bool UserDefaults::setObject(std::string_view key, plist::Value value) const {
  plist::Dictionary dict =
      plist::readDictionaryFile(store_.fs(), store_.path(kPath)).value_or(plist::Dictionary{});
  dict.set(std::string(key), std::move(value));
  return plist::writeDictionaryFile(store_.fs(), store_.path(kPath), dict, true);
}

}  // namespace kst::panel
