#pragma once

#include <sys/socket.h>

#include <optional>

namespace kst {

// A destination the socket hooks judge, copied out of the caller's address
// structure: always a whole sockaddr_in or sockaddr_in6, whatever length the
// caller passed, so later steps (address text, reverse lookup, the port)
// never read beyond the bytes the caller's length covers.
struct JudgedAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  sa_family_t family() const { return storage.ss_family; }
  int port() const;  // host byte order
};

// The IPv4 or IPv6 destination of (`address`, `length`) as the kernel takes
// it, or nothing for the families that are not judged (local, netlink,
// AF_UNSPEC, ...) and for lengths the kernel refuses (it fails those calls
// itself). An IPv6 address needs only the 24 bytes of the older structure
// (no scope id); an IPv4-mapped IPv6 address (::ffff:a.b.c.d) becomes its
// IPv4 form, so rules, names and the log see one destination either way.
// Reads no byte past `length`; allocates nothing, takes no lock.
std::optional<JudgedAddress> judgedAddress(const sockaddr* address, socklen_t length) noexcept;

}  // namespace kst
