#include "platform/plist/PlistFile.h"

namespace kst::plist {

std::optional<Dictionary> readDictionaryFile(FileSystem& fs, const std::string& path) {
  std::optional<std::string> bytes = fs.readFile(path);
  if (!bytes) return std::nullopt;
  std::optional<Value> root = decode(*bytes);
  if (!root) return std::nullopt;
  Dictionary* dict = root->asDictionary();
  if (dict == nullptr) return std::nullopt;
  return std::move(*dict);
}

bool writeDictionaryFile(FileSystem& fs, const std::string& path, const Dictionary& dict,
                         bool createParents) {
  std::optional<std::string> bytes = encodeBinary(Value(dict));
  if (!bytes) return false;
  return fs.writeFileAtomic(path, *bytes, createParents);
}

}  // namespace kst::plist
