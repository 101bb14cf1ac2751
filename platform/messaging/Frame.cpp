#include "platform/messaging/Frame.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/plist/BinaryPlist.h"

namespace kst::messaging {

namespace {

std::atomic<std::uint32_t> frameLimit{kMaxFrameBody};

// The body is written straight behind room for its header, which is filled
// in afterwards: neither the frame nor the argument is copied.
template <typename Body>
std::optional<std::string> frame(const Body& body) {
  std::string out(kFrameHeaderSize, '\0');
  if (!plist::writeBinary(body, out)) return std::nullopt;
  const std::size_t size = out.size() - kFrameHeaderSize;
  if (size > maxFrameBody()) return std::nullopt;
  const auto n = static_cast<std::uint32_t>(size);
  out[0] = static_cast<char>((n >> 24) & 0xFF);
  out[1] = static_cast<char>((n >> 16) & 0xFF);
  out[2] = static_cast<char>((n >> 8) & 0xFF);
  out[3] = static_cast<char>(n & 0xFF);
  return out;
}

// Only the binary form travels: the XML reader is not exposed to peers.
std::optional<plist::Dictionary> decodeDictionary(std::string_view body) {
  if (body.substr(0, plist::kBinaryMagic.size()) != plist::kBinaryMagic) return std::nullopt;
  auto value = plist::readBinary(body);
  if (!value) return std::nullopt;
  plist::Dictionary* dict = value->asDictionary();
  if (dict == nullptr) return std::nullopt;
  return std::move(*dict);
}

}  // namespace

std::uint32_t maxFrameBody() {
  return frameLimit.load(std::memory_order_relaxed);
}

ScopedFrameLimitForTesting::ScopedFrameLimitForTesting(std::uint32_t limit)
    : old_(frameLimit.exchange(limit)) {}

ScopedFrameLimitForTesting::~ScopedFrameLimitForTesting() {
  frameLimit.store(old_);
}

std::optional<std::string> encodeRequest(const Request& request) {
  const plist::Value name(request.name);
  const plist::Value reply(request.wantsReply);
  std::vector<plist::EntryRef> body{{kKeyName, &name, nullptr}};
  if (request.userInfo) body.push_back({kKeyUserInfo, nullptr, &*request.userInfo});
  body.push_back({kKeyReply, &reply, nullptr});
  return frame(std::span<const plist::EntryRef>(body));
}

std::optional<std::string> encodeReply(const plist::Dictionary& reply) {
  return frame(reply);
}

std::optional<std::uint32_t> bodyLength(std::string_view header) {
  if (header.size() != kFrameHeaderSize) return std::nullopt;
  std::uint32_t n = 0;
  for (char c : header) n = (n << 8) | static_cast<std::uint8_t>(c);
  if (n > maxFrameBody()) return std::nullopt;
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
  if (plist::Value* info = dict->find(kKeyUserInfo)) {
    if (info->asDictionary() == nullptr) return std::nullopt;
    request.userInfo = std::move(*info->asDictionary());
  }
  return request;
}

std::optional<plist::Dictionary> decodeReply(std::string_view body) {
  return decodeDictionary(body);
}

FrameReader::State FrameReader::feed(std::string_view bytes) {
  while (!bytes.empty() && state_ == State::kNeedMore) {
    std::span<char> room = space(bytes.size());
    std::memcpy(room.data(), bytes.data(), room.size());
    bytes.remove_prefix(room.size());
    commit(room.size());
  }
  if (!bytes.empty() && state_ != State::kBad) state_ = State::kBad;
  return state_;
}

std::span<char> FrameReader::space(std::size_t max) {
  const std::size_t take = std::min(wanted(), max);
  if (!length_) return std::span<char>(header_ + headerSize_, take);
  pending_ = body_.size();
  body_.resize(pending_ + take);
  return std::span<char>(body_.data() + pending_, take);
}

FrameReader::State FrameReader::commit(std::size_t n) {
  if (state_ != State::kNeedMore) return state_;
  if (!length_) {
    headerSize_ += n;
    if (headerSize_ < kFrameHeaderSize) return state_;
    length_ = bodyLength(std::string_view(header_, kFrameHeaderSize));
    if (!length_) {
      state_ = State::kBad;
      return state_;
    }
  } else {
    body_.resize(pending_ + n);
  }
  if (body_.size() == *length_) state_ = State::kComplete;
  return state_;
}

std::size_t FrameReader::wanted() const {
  if (state_ != State::kNeedMore) return 0;
  if (!length_) return kFrameHeaderSize - headerSize_;
  return *length_ - body_.size();
}

}  // namespace kst::messaging
