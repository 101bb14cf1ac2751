#include "platform/plist/BinaryPlistScan.h"

#include <cstdint>
#include <optional>

namespace kst::plist {

namespace {

constexpr std::string_view kMagic = "bplist0";
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

enum Marker : std::uint8_t { kInt = 0x1, kAscii = 0x5, kUtf16 = 0x6, kUtf8 = 0x7 };

std::optional<std::uint64_t> readBigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
  if (width == 0 || width > 8 || at > bytes.size() || bytes.size() - at < width) return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return v;
}

// The length of a string object whose marker is at `at`, and where its
// characters start.
std::optional<std::pair<std::uint64_t, std::size_t>> stringLength(std::string_view bytes, std::size_t at) {
  const auto marker = static_cast<std::uint8_t>(bytes[at]);
  if ((marker & 0x0F) != 0x0F) return std::pair<std::uint64_t, std::size_t>(marker & 0x0F, at + 1);
  // A longer length follows as an integer object of 1, 2, 4 or 8 bytes.
  if (at + 1 >= bytes.size()) return std::nullopt;
  const auto intMarker = static_cast<std::uint8_t>(bytes[at + 1]);
  if ((intMarker >> 4) != kInt || (intMarker & 0x0F) > 3) return std::nullopt;
  const std::size_t width = std::size_t{1} << (intMarker & 0x0F);
  const auto length = readBigEndian(bytes, at + 2, width);
  if (!length) return std::nullopt;
  return std::pair<std::uint64_t, std::size_t>(*length, at + 2 + width);
}

bool stringHasNoNul(std::string_view bytes, std::size_t at, std::size_t end) {
  const auto type = static_cast<std::uint8_t>(bytes[at]) >> 4;
  if (type != kAscii && type != kUtf16 && type != kUtf8) return true;
  const auto length = stringLength(bytes, at);
  if (!length) return false;
  const auto [count, start] = *length;
  const std::uint64_t unit = type == kUtf16 ? 2 : 1;
  if (start > end || count > (end - start) / unit) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::size_t p = start + static_cast<std::size_t>(i * unit);
    if (unit == 1 ? bytes[p] == '\0' : (bytes[p] == '\0' && bytes[p + 1] == '\0')) return false;
  }
  return true;
}

}  // namespace

bool binaryPlistIsSafeToRead(std::string_view bytes) {
  if (bytes.size() < kHeaderSize + kTrailerSize || bytes.substr(0, kMagic.size()) != kMagic) return false;
  const std::size_t trailer = bytes.size() - kTrailerSize;
  const auto offsetWidth = static_cast<std::uint8_t>(bytes[trailer + 6]);
  const auto objects = readBigEndian(bytes, trailer + 8, 8);
  const auto table = readBigEndian(bytes, trailer + 24, 8);
  if (offsetWidth == 0 || offsetWidth > 8 || !objects || !table) return false;
  // The table lies between the objects and the trailer, whole.
  if (*table < kHeaderSize || *table > trailer || *objects > (trailer - *table) / offsetWidth) return false;
  for (std::uint64_t i = 0; i < *objects; ++i) {
    const auto offset = readBigEndian(bytes, static_cast<std::size_t>(*table + i * offsetWidth), offsetWidth);
    if (!offset || *offset < kHeaderSize || *offset >= *table) return false;
    if (!stringHasNoNul(bytes, static_cast<std::size_t>(*offset), static_cast<std::size_t>(*table)))
      return false;
  }
  return true;
}

}  // namespace kst::plist
