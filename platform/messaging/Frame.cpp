#include "platform/messaging/Frame.h"

#include <algorithm>

#include "platform/plist/BinaryPlistScan.h"

namespace kst::messaging {

namespace {

constexpr std::string_view kBinaryMagic = "bplist";

std::optional<std::string> frame(const plist::Dictionary& body) {
  auto bytes = plist::encodeBinary(plist::Value(body));
  if (!bytes || bytes->size() > kMaxFrameBody) return std::nullopt;
  const auto n = static_cast<std::uint32_t>(bytes->size());
  std::string out;
  out.reserve(kFrameHeaderSize + n);
  out.push_back(static_cast<char>((n >> 24) & 0xFF));
  out.push_back(static_cast<char>((n >> 16) & 0xFF));
  out.push_back(static_cast<char>((n >> 8) & 0xFF));
  out.push_back(static_cast<char>(n & 0xFF));
  out += *bytes;
  return out;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

// Text that is not UTF-8 (a binary list may carry any bytes in an "ASCII"
// string) would change on its way through the next encoder; refused.
bool textIsValid(const plist::Value& value) {
  if (const std::string* s = value.asString()) return validUtf8(*s);
  if (const plist::Array* a = value.asArray())
    return std::all_of(a->begin(), a->end(), [](const plist::Value& v) { return textIsValid(v); });
  if (const plist::Dictionary* d = value.asDictionary())
    return std::all_of(d->entries().begin(), d->entries().end(),
                       [](const auto& e) { return validUtf8(e.first) && textIsValid(e.second); });
  return true;
}

// Only the binary form travels: the XML reader is not exposed to peers.
std::optional<plist::Dictionary> decodeDictionary(std::string_view body) {
  if (body.substr(0, kBinaryMagic.size()) != kBinaryMagic || !plist::binaryPlistIsSafeToRead(body))
    return std::nullopt;
  auto value = plist::decode(body);
  if (!value || !textIsValid(*value)) return std::nullopt;
  plist::Dictionary* dict = value->asDictionary();
  if (dict == nullptr) return std::nullopt;
  return std::move(*dict);
}

}  // namespace

std::optional<std::string> encodeRequest(const Request& request) {
  plist::Dictionary body;
  body.set(std::string(kKeyName), plist::Value(request.name));
  if (request.userInfo) body.set(std::string(kKeyUserInfo), plist::Value(*request.userInfo));
  body.set(std::string(kKeyReply), plist::Value(request.wantsReply));
  return frame(body);
}

std::optional<std::string> encodeReply(const plist::Dictionary& reply) {
  return frame(reply);
}

std::optional<std::uint32_t> bodyLength(std::string_view header) {
  if (header.size() != kFrameHeaderSize) return std::nullopt;
  std::uint32_t n = 0;
  for (char c : header) n = (n << 8) | static_cast<std::uint8_t>(c);
  if (n > kMaxFrameBody) return std::nullopt;
  return n;
}

std::optional<Request> decodeRequest(std::string_view body) {
  auto dict = decodeDictionary(body);
  if (!dict) return std::nullopt;
  const std::string* name = dict->string(kKeyName);
  const plist::Value* reply = dict->find(kKeyReply);
  if (name == nullptr || reply == nullptr || reply->asBoolean() == nullptr) return std::nullopt;
  Request request;
  request.name = *name;
  request.wantsReply = *reply->asBoolean();
  if (const plist::Value* info = dict->find(kKeyUserInfo)) {
    if (info->asDictionary() == nullptr) return std::nullopt;
    request.userInfo = *info->asDictionary();
  }
  return request;
}

std::optional<plist::Dictionary> decodeReply(std::string_view body) {
  return decodeDictionary(body);
}

FrameReader::State FrameReader::feed(std::string_view bytes) {
  while (!bytes.empty() && state_ == State::kNeedMore) {
    if (!length_) {
      const std::size_t take = std::min(kFrameHeaderSize - header_.size(), bytes.size());
      header_.append(bytes.substr(0, take));
      bytes.remove_prefix(take);
      if (header_.size() < kFrameHeaderSize) break;
      length_ = bodyLength(header_);
      if (!length_) {
        state_ = State::kBad;
        break;
      }
    } else {
      const std::size_t take = std::min<std::size_t>(*length_ - body_.size(), bytes.size());
      body_.append(bytes.substr(0, take));
      bytes.remove_prefix(take);
    }
    if (length_ && body_.size() == *length_) state_ = State::kComplete;
  }
  if (!bytes.empty() && state_ != State::kBad) state_ = State::kBad;
  return state_;
}

std::size_t FrameReader::wanted() const {
  if (state_ != State::kNeedMore) return 0;
  if (!length_) return kFrameHeaderSize - header_.size();
  return *length_ - body_.size();
}

}  // namespace kst::messaging
