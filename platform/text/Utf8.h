#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kst::utf8 {

// The length of the well-formed UTF-8 sequence that starts at `i` (1 for an
// ASCII byte, NUL included), or 0 when the bytes there are not one: a stray
// continuation byte, a sequence cut short, an overlong form, a surrogate or
// a code point above U+10FFFF.
inline std::size_t sequenceLength(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  std::size_t extra = 0;
  std::uint32_t cp = 0;
  std::uint32_t min = 0;
  if ((c & 0xE0) == 0xC0) {
    extra = 1, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    extra = 2, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    extra = 3, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + extra >= s.size()) return 0;
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return extra + 1;
}

// The whole text is well-formed UTF-8.
inline bool isValid(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = sequenceLength(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace kst::utf8
