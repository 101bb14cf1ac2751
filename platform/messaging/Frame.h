#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/plist/PlistValue.h"

namespace kst::messaging {

// The wire format of the named services. Every message and every reply is
// one frame: a 4-byte big-endian body length, then the body, a binary
// property list. A request body is a dictionary {"name": string,
// "userInfo": dictionary (absent when the message has none), "reply":
// boolean (the sender waits)}; a reply body is a dictionary, empty when the
// handler returned nothing. Pure functions, safe from any thread.

inline constexpr std::size_t kFrameHeaderSize = 4;
// Bodies above this are refused without reading them, and never produced.
// It bounds what one connection may make a process hold: 256 MiB of body,
// and what the reader builds from it (BinaryPlist.h). The largest message
// of the system, the "global.Rules" reply, carries the global list twice
// (the whole file and the rule arrays): with 30-character rule texts it
// takes about 150 bytes per rule, 148 MB for 1,000,000 rules, which leaves
// room for longer texts.
inline constexpr std::uint32_t kMaxFrameBody = 256u * 1024u * 1024u;

// The bound in force: kMaxFrameBody, unless a test lowered it (to reach the
// over-limit paths without building a quarter of a gibibyte).
std::uint32_t maxFrameBody();
class ScopedFrameLimitForTesting {
 public:
  explicit ScopedFrameLimitForTesting(std::uint32_t limit);
  ScopedFrameLimitForTesting(const ScopedFrameLimitForTesting&) = delete;
  ScopedFrameLimitForTesting& operator=(const ScopedFrameLimitForTesting&) = delete;
  ~ScopedFrameLimitForTesting();

 private:
  std::uint32_t old_;
};

inline constexpr std::string_view kKeyName = "name";
inline constexpr std::string_view kKeyUserInfo = "userInfo";
inline constexpr std::string_view kKeyReply = "reply";

struct Request {
  std::string name;
  std::optional<plist::Dictionary> userInfo;
  bool wantsReply = false;
};

// Whole frames (header and body); nothing when the body cannot be encoded
// or is above the limit.
std::optional<std::string> encodeRequest(const Request& request);
std::optional<std::string> encodeReply(const plist::Dictionary& reply);

// The body length a header announces; nothing when it is above the limit.
std::optional<std::uint32_t> bodyLength(std::string_view header);

// Bodies, checked: nothing for anything but a binary property list of the
// shape above (a string "name", a dictionary "userInfo" when present, a
// boolean "reply").
std::optional<Request> decodeRequest(std::string_view body);
std::optional<plist::Dictionary> decodeReply(std::string_view body);

// Collects one frame from bytes arriving in pieces (a non-blocking socket).
// Holds at most the announced body; memory grows with the bytes that really
// arrive, never with what a header claims.
class FrameReader {
 public:
  enum class State { kNeedMore, kComplete, kBad };

  // Appends bytes and returns the new state. Bytes past the end of the
  // frame make it bad: one connection carries one request.
  State feed(std::string_view bytes);
  // Receiving without a copy: room for at most `max` of the bytes the frame
  // still wants, then commit() of the `n` bytes written there. The room is
  // valid until the next call.
  std::span<char> space(std::size_t max);
  State commit(std::size_t n);
  State state() const { return state_; }
  // The body, once complete.
  std::string_view body() const { return body_; }
  // How many more bytes the frame wants (header first, then body).
  std::size_t wanted() const;
  // The body's length once the header has been read.
  std::optional<std::uint32_t> bodySize() const { return length_; }

 private:
  State state_ = State::kNeedMore;
  char header_[kFrameHeaderSize] = {};
  std::size_t headerSize_ = 0;
  std::optional<std::uint32_t> length_;
  std::string body_;
  std::size_t pending_ = 0;  // where the room of space() starts
};

}  // namespace kst::messaging
