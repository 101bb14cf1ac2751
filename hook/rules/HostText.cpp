#include "hook/rules/HostText.h"

#include <cstring>

#include "platform/text/Utf8.h"

namespace kst {

bool isUtf8(std::string_view bytes) {
  return utf8::isValid(bytes);
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
