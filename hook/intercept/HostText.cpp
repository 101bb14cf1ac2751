#include "hook/intercept/HostText.h"

#include <cstring>

namespace kst {

bool isUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    int extra = 0;
    unsigned int min = 0;
    unsigned int cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      min = 0x80;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      min = 0x800;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      min = 0x10000;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(extra) >= bytes.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

bool isUsableHostText(std::string_view text) {
  if (text.empty() || !isUtf8(text)) return false;
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

std::string withoutWww(std::string host) {
  for (std::size_t pos; (pos = host.find("www.")) != std::string::npos;) host.erase(pos, 4);
  return host;
}

std::optional<std::string> payloadText(const void* payload, std::size_t length) {
  if (payload == nullptr || length < 3) return std::nullopt;
  const char* bytes = static_cast<const char*>(payload);
  const void* zero = std::memchr(bytes, 0, length);
  const std::size_t n =
      zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes) : length;
  std::string text(bytes, n);
  if (!isUtf8(text)) return std::nullopt;
  return text;
}

}  // namespace kst
