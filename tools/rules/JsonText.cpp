#include "tools/rules/JsonText.h"

#include <cstdint>
#include <cstdio>

namespace kst::rules {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the valid UTF-8 sequence at `i`, or 0.
std::size_t utf8Length(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t n = 0;
  std::uint32_t cp = 0;
  if ((c & 0xE0) == 0xC0) {
    n = 1, cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 2, cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 3, cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n >= s.size()) return 0;
  for (std::size_t k = 1; k <= n; ++k) {
    const auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  const bool overlong = (n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000);
  if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n + 1;
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (const std::size_t n = utf8Length(text, i); n != 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += kReplacement;
      ++i;
    }
  }
  out += '"';
  return out;
}

}  // namespace kst::rules
