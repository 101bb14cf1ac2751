#include "hook/intercept/JudgedAddress.h"

#include <netinet/in.h>

#include <cstddef>
#include <cstring>

namespace kst {

namespace {

// The IPv6 structure before the scope id was added; Linux still accepts it.
constexpr socklen_t kOldIpv6Length = offsetof(sockaddr_in6, sin6_scope_id);
static_assert(kOldIpv6Length == 24);

bool isV4Mapped(const in6_addr& a) {
  static constexpr unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(a.s6_addr, kPrefix, sizeof kPrefix) == 0;
}

}  // namespace

int JudgedAddress::port() const {
  const in_port_t p = family() == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port
                                           : reinterpret_cast<const sockaddr_in*>(&storage)->sin_port;
  return ntohs(p);
}

std::optional<JudgedAddress> judgedAddress(const sockaddr* address, socklen_t length) noexcept {
  if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return std::nullopt;
  sa_family_t family = 0;
  std::memcpy(&family, address, sizeof family);
  JudgedAddress out;
  if (family == AF_INET) {
    if (length < static_cast<socklen_t>(sizeof(sockaddr_in))) return std::nullopt;
    std::memcpy(&out.storage, address, sizeof(sockaddr_in));
    out.length = sizeof(sockaddr_in);
    return out;
  }
  if (family != AF_INET6 || length < kOldIpv6Length) return std::nullopt;
  sockaddr_in6 in6{};
  std::memcpy(&in6, address, length < static_cast<socklen_t>(sizeof in6) ? length : sizeof in6);
  if (isV4Mapped(in6.sin6_addr)) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = in6.sin6_port;
    std::memcpy(&in.sin_addr, &in6.sin6_addr.s6_addr[12], sizeof in.sin_addr);
    std::memcpy(&out.storage, &in, sizeof in);
    out.length = sizeof in;
    return out;
  }
  std::memcpy(&out.storage, &in6, sizeof in6);
  out.length = sizeof in6;
  return out;
}

}  // namespace kst
