#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistValue.h"

namespace kst::plist {

// A property-list file whose root is a dictionary. A file that is missing,
// empty, truncated, not a property list, or whose root is not a dictionary
// reads as absent.
std::optional<Dictionary> readDictionaryFile(FileSystem& fs, const std::string& path);

// A dictionary file as a writer must see it: missing, read, or there but
// not readable as a dictionary (damaged bytes, or a file that cannot be
// opened). A writer never replaces what it could not read without keeping it.
struct CheckedDictionaryFile {
  enum class State { kMissing, kRead, kDamaged, kUnreadable };
  State state = State::kMissing;
  Dictionary dict;    // when read
  std::string bytes;  // when damaged: what the file holds
};
CheckedDictionaryFile readDictionaryFileChecked(FileSystem& fs, const std::string& path);

// Keeps the bytes of a damaged file beside it, as "<path>.damaged-<UTC
// time>" (a number added when that name is taken), and logs one line. The
// name of the copy, or nothing when it could not be written.
std::optional<std::string> keepDamagedFile(FileSystem& fs, const std::string& path, std::string_view bytes);

// Makes way for a writer that replaces the whole file: true when the file
// is missing or readable, or damaged and now kept beside it; false (and one
// log line) when it is there but could not be kept.
bool makeWayForWrite(FileSystem& fs, const std::string& path);

// Writes the dictionary as a binary property list, atomically. Parent
// folders are created only when createParents is set (the writers that the
// system lets create a folder say so).
bool writeDictionaryFile(FileSystem& fs, const std::string& path, const Dictionary& dict, bool createParents);

}  // namespace kst::plist
