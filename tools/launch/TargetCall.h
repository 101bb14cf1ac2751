#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kst::launch {

// What a supervised program hands the supervisor with a call: pointers into
// its own memory, lengths and counts of its choosing. Everything here reads
// that memory through TargetMemory only, copies what the kernel would copy,
// and checks it as the kernel would, so the supervisor performs the call on
// its copies and never on memory the program can still change.
class TargetMemory {
 public:
  virtual ~TargetMemory() = default;
  // Copies `length` bytes at `address` of the target; false when any of them
  // cannot be read.
  virtual bool read(std::uint64_t address, void* out, std::size_t length) = 0;
};

// The kernel's own bounds: a socket address fits a sockaddr_storage; a
// message has at most this many buffers; sendmmsg takes at most this many
// messages.
inline constexpr std::size_t kMaxAddressLength = sizeof(sockaddr_storage);
inline constexpr std::size_t kMaxBuffers = 1024;
inline constexpr unsigned kMaxMessages = 1024;
// The supervisor's bounds: more than an IP datagram can carry, and more
// ancillary data than the kernel's default allowance.
inline constexpr std::size_t kMaxPayload = 256 * 1024;
inline constexpr std::size_t kMaxControl = 64 * 1024;

// A copied socket address, or the errno the kernel would fail with.
struct CopiedAddress {
  int error = 0;
  sockaddr_storage storage{};
  socklen_t length = 0;
};

// connect's and sendto's address: a length above a sockaddr_storage (or
// negative as an int) is EINVAL, an unreadable one EFAULT.
CopiedAddress copyAddress(TargetMemory& memory, std::uint64_t address, std::uint64_t length);

// One message of sendmsg or sendmmsg, copied: its destination (if any),
// its data joined into one buffer, and its ancillary data.
struct CopiedMessage {
  int error = 0;
  bool hasName = false;
  sockaddr_storage name{};
  socklen_t nameLength = 0;
  std::vector<char> payload;
  std::vector<char> control;
  int messageFlags = 0;
};

// The header at `header` (a struct msghdr of the target): only its name when
// `withData` is false, everything when true. A name longer than a
// sockaddr_storage is cut to one (as the kernel does for messages); more
// than kMaxBuffers buffers is EMSGSIZE; data above kMaxPayload is EMSGSIZE,
// ancillary data above kMaxControl ENOBUFS; unreadable memory EFAULT.
CopiedMessage copyMessage(TargetMemory& memory, std::uint64_t header, bool withData);

// The headers of sendmmsg's vector, at most kMaxMessages (the kernel's
// bound); fewer when the vector's memory ends (the rest is unreadable).
std::vector<mmsghdr> copyMessageVector(TargetMemory& memory, std::uint64_t vector, std::uint64_t count);

// Where sendmmsg's count of bytes sent for message `index` goes.
std::uint64_t messageLengthAddress(std::uint64_t vector, std::size_t index);

}  // namespace kst::launch
