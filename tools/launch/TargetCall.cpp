#include "tools/launch/TargetCall.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>

namespace kst::launch {

namespace {

// The kernel takes lengths as int: one with the sign bit set is negative.
bool negativeAsInt(std::uint64_t length) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(length)) < 0;
}

std::uint64_t pointerValue(const void* p) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace

CopiedAddress copyAddress(TargetMemory& memory, std::uint64_t address, std::uint64_t length) {
  CopiedAddress copy;
  const std::uint32_t asInt = static_cast<std::uint32_t>(length);
  if (negativeAsInt(length) || asInt > kMaxAddressLength) {
    copy.error = EINVAL;
    return copy;
  }
  copy.length = static_cast<socklen_t>(asInt);
  if (copy.length > 0 && !memory.read(address, &copy.storage, copy.length)) copy.error = EFAULT;
  return copy;
}

CopiedMessage copyMessage(TargetMemory& memory, std::uint64_t header, bool withData) {
  CopiedMessage copy;
  msghdr h{};
  if (!memory.read(header, &h, sizeof h)) {
    copy.error = EFAULT;
    return copy;
  }
  copy.messageFlags = h.msg_flags;
  if (h.msg_name != nullptr && h.msg_namelen != 0) {
    if (negativeAsInt(h.msg_namelen)) {
      copy.error = EINVAL;
      return copy;
    }
    copy.hasName = true;
    copy.nameLength = static_cast<socklen_t>(std::min<std::size_t>(h.msg_namelen, kMaxAddressLength));
    if (!memory.read(pointerValue(h.msg_name), &copy.name, copy.nameLength)) {
      copy.error = EFAULT;
      return copy;
    }
  }
  if (!withData) return copy;

  if (h.msg_iovlen > kMaxBuffers) {
    copy.error = EMSGSIZE;
    return copy;
  }
  if (h.msg_iovlen > 0) {
    std::vector<iovec> buffers(h.msg_iovlen);
    if (h.msg_iov == nullptr ||
        !memory.read(pointerValue(h.msg_iov), buffers.data(), buffers.size() * sizeof(iovec))) {
      copy.error = EFAULT;
      return copy;
    }
    std::size_t total = 0;
    for (const iovec& b : buffers) {
      if (b.iov_len > kMaxPayload || total + b.iov_len > kMaxPayload) {
        copy.error = EMSGSIZE;
        return copy;
      }
      total += b.iov_len;
    }
    copy.payload.resize(total);
    std::size_t at = 0;
    for (const iovec& b : buffers) {
      if (b.iov_len == 0) continue;
      if (!memory.read(pointerValue(b.iov_base), copy.payload.data() + at, b.iov_len)) {
        copy.error = EFAULT;
        return copy;
      }
      at += b.iov_len;
    }
  }
  if (h.msg_controllen > 0) {
    if (h.msg_controllen > kMaxControl) {
      copy.error = ENOBUFS;
      return copy;
    }
    copy.control.resize(h.msg_controllen);
    if (h.msg_control == nullptr ||
        !memory.read(pointerValue(h.msg_control), copy.control.data(), copy.control.size())) {
      copy.error = EFAULT;
      return copy;
    }
  }
  return copy;
}

std::vector<mmsghdr> copyMessageVector(TargetMemory& memory, std::uint64_t vector, std::uint64_t count) {
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxMessages));
  std::vector<mmsghdr> headers(n);
  if (n == 0) return headers;
  if (memory.read(vector, headers.data(), n * sizeof(mmsghdr))) return headers;
  // Part of it is unreadable: the readable start, one header at a time.
  std::size_t readable = 0;
  while (readable < n &&
         memory.read(vector + readable * sizeof(mmsghdr), &headers[readable], sizeof(mmsghdr)))
    ++readable;
  headers.resize(readable);
  return headers;
}

std::uint64_t messageLengthAddress(std::uint64_t vector, std::size_t index) {
  return vector + index * sizeof(mmsghdr) + offsetof(mmsghdr, msg_len);
}

}  // namespace kst::launch
