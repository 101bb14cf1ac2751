#include "hook/intercept/DatagramSockets.h"

#include <algorithm>

namespace kst {

namespace {
constinit DatagramSockets gDatagramSockets;
}  // namespace

void DatagramSockets::forget(int first, int last) noexcept {
  if (!any_.load(std::memory_order_relaxed)) return;
  first = std::max(first, 0);
  last = std::min(last, kMaxDescriptor - 1);
  for (int fd = first; fd <= last; ++fd) known_[fd].store(0, std::memory_order_relaxed);
}

DatagramSockets& datagramSockets() noexcept {
  return gDatagramSockets;
}

}  // namespace kst
