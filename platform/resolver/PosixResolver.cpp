#include "platform/resolver/PosixResolver.h"

#include <algorithm>

namespace kst {

namespace {

// Longer than any host name the system's resolver accepts; it would only
// fail, perhaps after asking the network.
constexpr std::size_t kMaxSystemName = 1024;

int familyOf(AddressFamily family) {
  switch (family) {
    case AddressFamily::kIPv4:
      return AF_INET;
    case AddressFamily::kIPv6:
      return AF_INET6;
    case AddressFamily::kAny:
      break;
  }
  return AF_UNSPEC;
}

}  // namespace

PosixResolver::PosixResolver(const DeviceRoot& root, ResolverCalls calls)
    : hosts_(std::make_unique<CachedHostsFile>(root.path("/etc/hosts"))), calls_(calls) {}

std::optional<Resolver::Addresses> PosixResolver::resolve(std::string_view name, AddressFamily family) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;
  if (const std::shared_ptr<const HostsFile> hosts = hosts_->current()) {
    Addresses listed = hosts->addressesOf(name, family);
    if (!listed.empty()) return listed;
  }
  if (name.size() > kMaxSystemName) return std::nullopt;

  addrinfo hints{};
  hints.ai_family = familyOf(family);
  // One answer per address rather than one per socket type.
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  const std::string host(name);
  if (calls_.getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0) return std::nullopt;
  Addresses out;
  for (const addrinfo* r = results; r != nullptr; r = r->ai_next) {
    std::optional<std::string> text = addressText(r->ai_addr, r->ai_addrlen);
    if (text && std::find(out.begin(), out.end(), *text) == out.end()) out.push_back(std::move(*text));
  }
  if (results != nullptr) calls_.freeaddrinfo(results);
  return out;
}

std::optional<std::string> PosixResolver::reverseLookup(const sockaddr* address, socklen_t length) {
  if (!addressText(address, length)) return std::nullopt;  // not an IPv4 or IPv6 address
  if (const std::shared_ptr<const HostsFile> hosts = hosts_->current()) {
    if (std::optional<std::string> name = hosts->nameOf(address, length)) return name;
  }
  char host[NI_MAXHOST] = {};
  if (calls_.getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
    return std::nullopt;
  const std::string name(host);
  if (name.empty() || isNumericAddress(name)) return std::nullopt;
  return name;
}

}  // namespace kst
