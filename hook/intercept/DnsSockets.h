#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace kst {

// The process's DNS sockets: the descriptors the program connected or sent
// to port 53 with, whose received bytes are read for answers. One flag per
// descriptor number, read with one relaxed load, so that the receive
// replacements cost nothing measurable on every other descriptor. A flag
// is cleared when the descriptor is closed through close(); a number that
// was reused without it (dup2 onto it, a close the library did not see) is
// caught by the socket's identity (its inode), which is checked before any
// bytes are read. Descriptors from kMaxDescriptor on are never marked.
//
// A stream (TCP DNS) carries messages behind a 2-byte length, which a
// program may read in any pieces: its bytes are gathered per descriptor
// until a message is whole.
//
// Threads: any; the flags need no lock, the gathered stream bytes have one
// (free on both sides of a fork).
class DnsSockets {
 public:
  static constexpr int kMaxDescriptor = 1 << 16;
  enum class Kind : std::uint8_t { kNone = 0, kDatagram = 1, kStream = 2 };

  constexpr DnsSockets() = default;
  DnsSockets(const DnsSockets&) = delete;
  DnsSockets& operator=(const DnsSockets&) = delete;

  // Whether `address` is an IPv4 or IPv6 address with port 53.
  static bool isDnsDestination(const sockaddr* address, socklen_t length) noexcept;

  // Marks `fd` when it is a datagram or stream socket; nothing otherwise.
  void mark(int fd) noexcept;
  // Unmarks `fd`; with `dropGathered` also forgets its gathered stream
  // bytes (which takes a lock).
  void clear(int fd, bool dropGathered = true) noexcept;
  Kind kindOf(int fd) const noexcept {
    if (fd < 0 || fd >= kMaxDescriptor) return Kind::kNone;
    return static_cast<Kind>(kinds_[fd].load(std::memory_order_relaxed));
  }
  // Whether `fd` is still the socket that was marked; clears it if not.
  bool stillMarked(int fd) noexcept;

  // Appends stream bytes received on `fd` and calls `message` for every
  // whole DNS message (without its length) they complete.
  void addStreamBytes(int fd, std::string_view bytes,
                      const std::function<void(const unsigned char*, std::size_t)>& message);

  // Locks the gathered bytes around fork (see ReverseNameCache).
  void lockForFork() { streamsMu_.lock(); }
  void unlockAfterFork() { streamsMu_.unlock(); }

 private:
  static std::uint64_t identityOf(int fd) noexcept;
  void dropStream(int fd) noexcept;

  std::atomic<std::uint8_t> kinds_[kMaxDescriptor] = {};
  std::atomic<std::uint64_t> identities_[kMaxDescriptor] = {};
  std::atomic<bool> anyStream_{false};
  std::mutex streamsMu_;
  std::map<int, std::string>* streams_ = nullptr;  // made on first use, under the lock
};

// The process's table.
DnsSockets& dnsSockets() noexcept;

}  // namespace kst
