#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kst {

// Whether `text` may name a destination in rules, prompts and the log:
// non-empty, well-formed UTF-8, without control characters. A resolver
// answer that is not is ignored, so odd bytes never travel further.
bool isUsableHostText(std::string_view text);

// `host` with every "www." removed, as destinations are judged and shown.
std::string withoutWww(std::string host);

// The URL a datagram's question carries: its payload read as UTF-8 up to the
// first zero byte, never beyond `length`; nothing when the payload is absent,
// shorter than 3 bytes, or not text.
std::optional<std::string> payloadText(const void* payload, std::size_t length);

// Whether `bytes` is well-formed UTF-8.
bool isUtf8(std::string_view bytes);

}  // namespace kst
