#include "platform/fs/Utf16File.h"

#include <cstdint>
#include <cstring>

namespace kst::utf16 {

namespace {

constexpr char16_t kMark = 0xFEFF;
constexpr char16_t kSwappedMark = 0xFFFE;

char16_t swapped(char16_t u) {
  return static_cast<char16_t>((u >> 8) | (u << 8));
}

bool isHigh(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool isLow(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// The code unit at `index` of `bytes`, in the order the mark announced.
char16_t unitAt(std::string_view bytes, std::size_t index, bool swap) {
  char16_t u;
  std::memcpy(&u, bytes.data() + 2 * index, 2);
  return swap ? swapped(u) : u;
}

// The body of a file after its mark: its order and its unit count, or
// nothing when the bytes are not UTF-16 text.
struct Body {
  bool swap = false;
  std::size_t units = 0;
};

std::optional<Body> checkBody(std::string_view bytes) {
  if (bytes.empty()) return Body{};
  if (bytes.size() % 2 != 0) return std::nullopt;
  char16_t first;
  std::memcpy(&first, bytes.data(), 2);
  Body body;
  if (first == kMark) {
    body.swap = false;
  } else if (first == kSwappedMark) {
    body.swap = true;
  } else {
    return std::nullopt;
  }
  const std::string_view units = bytes.substr(2);
  body.units = units.size() / 2;
  for (std::size_t i = 0; i < body.units; ++i) {
    const char16_t u = unitAt(units, i, body.swap);
    if (isHigh(u)) {
      if (i + 1 >= body.units || !isLow(unitAt(units, i + 1, body.swap))) return std::nullopt;
      ++i;
    } else if (isLow(u)) {
      return std::nullopt;
    }
  }
  return body;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void appendUnit(std::string& out, char16_t u) {
  char b[2];
  std::memcpy(b, &u, 2);
  out.append(b, 2);
}

// UTF-8 to native UTF-16 bytes (no mark), appended to `out`. False, with
// `out` partly extended, for anything but well-formed UTF-8 (overlong
// forms, surrogates and code points past U+10FFFF included).
bool appendUtf16Units(std::string& out, std::string_view text) {
  out.reserve(out.size() + 2 * text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    char32_t c = 0;
    std::size_t len = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
      c = b0;
      len = 1;
    } else if ((b0 & 0xE0) == 0xC0) {
      c = b0 & 0x1F;
      len = 2;
      min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      c = b0 & 0x0F;
      len = 3;
      min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      c = b0 & 0x07;
      len = 4;
      min = 0x10000;
    } else {
      return false;
    }
    if (i + len > text.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      const char32_t v = c - 0x10000;
      appendUnit(out, static_cast<char16_t>(0xD800 + (v >> 10)));
      appendUnit(out, static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      appendUnit(out, static_cast<char16_t>(c));
    }
    i += len;
  }
  return true;
}

std::string markBytes() {
  std::string out;
  appendUnit(out, kMark);
  return out;
}

}  // namespace

std::optional<std::string> decode(std::string_view bytes) {
  const std::optional<Body> body = checkBody(bytes);
  if (!body) return std::nullopt;
  const std::string_view units = bytes.empty() ? bytes : bytes.substr(2);
  std::string out;
  out.reserve(body->units);
  for (std::size_t i = 0; i < body->units; ++i) {
    const char16_t u = unitAt(units, i, body->swap);
    if (isHigh(u)) {
      const char16_t low = unitAt(units, ++i, body->swap);  // paired: checked above
      appendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00));
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

std::optional<std::string> encode(std::string_view text) {
  std::string out = markBytes();
  if (!appendUtf16Units(out, text)) return std::nullopt;
  return out;
}

std::optional<std::string> readFile(FileSystem& fs, const std::string& path) {
  const std::optional<std::string> bytes = fs.readFile(path);
  if (!bytes) return std::nullopt;
  return decode(*bytes);
}

bool writeFileAtomic(FileSystem& fs, const std::string& path, std::string_view text, bool createParents) {
  const std::optional<std::string> bytes = encode(text);
  return bytes && fs.writeFileAtomic(path, *bytes, createParents);
}

AppendResult appendToFile(FileSystem& fs, const std::string& path, std::string_view text,
                          bool createParents) {
  std::string tail;
  if (!appendUtf16Units(tail, text)) return AppendResult::kBadInput;

  if (!fs.exists(path)) {
    return fs.writeFileAtomic(path, markBytes() + tail, createParents) ? AppendResult::kCreated
                                                                       : AppendResult::kWriteFailed;
  }
  std::optional<std::string> bytes = fs.readFile(path);
  if (!bytes) return AppendResult::kNotText;
  const std::optional<Body> body = checkBody(*bytes);
  if (!body) return AppendResult::kNotText;

  std::string out;
  if (bytes->empty()) {
    out = markBytes();
  } else if (!body->swap) {
    // The common case: the file is already in native order, so its bytes
    // stay as they are.
    out = std::move(*bytes);
  } else {
    out = markBytes();
    out.reserve(bytes->size() + tail.size());
    const std::string_view units = std::string_view(*bytes).substr(2);
    for (std::size_t i = 0; i < body->units; ++i) appendUnit(out, unitAt(units, i, true));
  }
  out += tail;
  return fs.writeFileAtomic(path, out, createParents) ? AppendResult::kAppended : AppendResult::kWriteFailed;
}

}  // namespace kst::utf16
