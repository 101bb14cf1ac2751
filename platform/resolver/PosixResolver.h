#pragma once

#include <netdb.h>

#include <memory>
#include <string>

#include "platform/fs/DeviceRoot.h"
#include "platform/resolver/HostsFile.h"
#include "platform/resolver/Resolver.h"

namespace kst {

// The C library's resolver functions a PosixResolver calls. Inside a hooked
// process the interposing library passes the real ones, so that the
// resolver's own lookups are not taken for the application's.
struct ResolverCalls {
  decltype(&::getaddrinfo) getaddrinfo = &::getaddrinfo;
  decltype(&::freeaddrinfo) freeaddrinfo = &::freeaddrinfo;
  decltype(&::getnameinfo) getnameinfo = &::getnameinfo;
};

// The device's resolver: the device's hosts file (<root>/etc/hosts) first,
// in both directions, then the system's resolver. The hosts file is parsed
// once and read again whenever it changed (one stat per lookup), so edits
// count from the next lookup on. Forward lookups ask the
// system for stream addresses, one result per address; reverse lookups ask
// for a name only. Safe for concurrent use; lookups may block.
class PosixResolver final : public Resolver {
 public:
  explicit PosixResolver(const DeviceRoot& root, ResolverCalls calls = {});

  std::optional<Addresses> resolve(std::string_view name, AddressFamily family) override;
  std::optional<std::string> reverseLookup(const sockaddr* address, socklen_t length) override;

 private:
  std::unique_ptr<CachedHostsFile> hosts_;
  ResolverCalls calls_;
};

}  // namespace kst
