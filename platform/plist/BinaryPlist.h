#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/plist/PlistValue.h"

namespace kst::plist {

// The binary property-list format ("bplist00"), read and written in time
// linear in the size.
//
// Text is kept as stored: NUL and every other control character included.
// Strings are held as UTF-8; UTF-16 text with an unpaired surrogate keeps
// that surrogate in the generalised (three-byte) form and is written back
// as the same code unit. A one-byte ("ASCII") string with bytes above 0x7F
// reads them as Latin-1 characters. Dates are 64-bit floating-point seconds
// since 2001-01-01, whole range and fractions kept.
//
// Reading a hostile file is bounded: the offset table, every object and
// every count must lie inside the file; references must name objects of the
// file; a container met again inside itself (a cycle), nesting deeper than
// kBinaryMaxDepth, and sharing that would build more than the file's size
// allows (kBinaryExpansion below) make the whole file unreadable. So do
// object kinds this system has no value for (null, UIDs, sets) and integers
// outside the signed 64-bit range.

inline constexpr std::string_view kBinaryMagic = "bplist00";
// Anything larger is not read at all.
inline constexpr std::size_t kBinaryMaxInput = std::size_t{1} << 30;
inline constexpr int kBinaryMaxDepth = 256;
// A file may reference an object from several places; what the reader
// builds is still bounded by the file: at most kBinaryExpansion values and
// keys per byte of input, and kBinaryExpansion bytes of text and data per
// byte of input plus kBinaryTextSlack. The slack lets a file name one text
// from many places (writers store equal strings once) without letting a
// few bytes stand for gibibytes.
inline constexpr std::uint64_t kBinaryExpansion = 4;
inline constexpr std::uint64_t kBinaryTextSlack = std::uint64_t{64} << 20;

std::optional<Value> readBinary(std::string_view bytes);
// Whether readBinary would read `bytes`, and the type of the root it would
// give, found without building any value (a fraction of the time).
std::optional<Value::Type> binaryRootType(std::string_view bytes);

// Appends the encoding of `value` to `out` (so a caller can put a header in
// front without copying). Equal keys, and equal short texts, are stored
// once. False, with `out`
// as it was, when the value nests deeper than kBinaryMaxDepth.
bool writeBinary(const Value& value, std::string& out);
// The same for a dictionary held outside a Value (no copy to wrap it).
bool writeBinary(const Dictionary& dict, std::string& out);
// A dictionary of one level whose values are held elsewhere, such as a
// message around its argument: each entry names a value or a dictionary
// (neither: an empty dictionary).
struct EntryRef {
  std::string_view key;
  const Value* value = nullptr;
  const Dictionary* dictionary = nullptr;
};
bool writeBinary(std::span<const EntryRef> entries, std::string& out);

}  // namespace kst::plist
