#pragma once

#include <optional>
#include <string>

#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistValue.h"

namespace kst::plist {

// A property-list file whose root is a dictionary. A file that is missing,
// empty, truncated, not a property list, or whose root is not a dictionary
// reads as absent.
std::optional<Dictionary> readDictionaryFile(FileSystem& fs, const std::string& path);

// Writes the dictionary as a binary property list, atomically. Parent
// folders are created only when createParents is set (the writers that the
// system lets create a folder say so).
bool writeDictionaryFile(FileSystem& fs, const std::string& path, const Dictionary& dict, bool createParents);

}  // namespace kst::plist
