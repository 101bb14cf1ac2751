#include "tools/rules/JsonText.h"

#include <cstdint>
#include <cstdio>

#include "platform/text/Utf8.h"

namespace kst::rules {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

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
    } else if (const std::size_t n = utf8::sequenceLength(text, i); n != 0) {
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
