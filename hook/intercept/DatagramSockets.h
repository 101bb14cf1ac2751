#pragma once

#include <atomic>
#include <cstdint>

namespace kst {

// The descriptor numbers last seen to be sockets of a type other than
// stream, so that a send with an address on one is judged without asking
// the kernel the socket's type every time. Only that answer is kept: a
// number kept wrongly (its socket closed past the C library, the number
// taken by a stream socket) is judged as a datagram would be, never let
// through unjudged. The close-family replacements forget numbers as they go.
// Every operation is atomic loads and stores (async-signal-safe).
class DatagramSockets {
 public:
  static constexpr int kMaxDescriptor = 1 << 16;

  constexpr DatagramSockets() = default;
  DatagramSockets(const DatagramSockets&) = delete;
  DatagramSockets& operator=(const DatagramSockets&) = delete;

  bool known(int fd) const noexcept {
    return fd >= 0 && fd < kMaxDescriptor && known_[fd].load(std::memory_order_relaxed) != 0;
  }
  void remember(int fd) noexcept {
    if (fd < 0 || fd >= kMaxDescriptor) return;
    any_.store(true, std::memory_order_relaxed);
    known_[fd].store(1, std::memory_order_relaxed);
  }
  // The numbers first..last no longer name what they did.
  void forget(int first, int last) noexcept;

 private:
  std::atomic<std::uint8_t> known_[kMaxDescriptor] = {};
  // Whether any number was ever remembered: most programs send no datagram.
  std::atomic<bool> any_{false};
};

// The process's table.
DatagramSockets& datagramSockets() noexcept;

}  // namespace kst
