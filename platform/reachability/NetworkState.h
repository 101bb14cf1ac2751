#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kst {

// Where the kernel's network tables are read from. Tests point both at a
// fake tree in a temporary folder.
struct NetPaths {
  std::string proc = "/proc";
  std::string sys = "/sys";
};

struct DefaultRoute {
  std::string interface;
  int family = 0;  // AF_INET or AF_INET6
  std::uint32_t metric = 0;
};

// What a default route's interface is, as far as reachability cares.
enum class InterfaceKind {
  kUnusable,  // loopback, down, or gone
  kWired,     // ethernet and everything else that is not below
  kWireless,
  kMobile,  // mobile broadband
};

// A read-only view of the machine's routes and interfaces, read afresh on
// every call (no caching: the answer must follow the network). Holds no
// state beyond the paths, so any thread may use it.
class NetworkState {
 public:
  explicit NetworkState(NetPaths paths = {}) : paths_(std::move(paths)) {}

  // The usable-looking default routes, best first: IPv4 by metric, then
  // IPv6 by metric (IPv6 is only a fallback). Routes that are down, rejecting,
  // or on loopback are left out. Absent when neither table can be read.
  std::optional<std::vector<DefaultRoute>> defaultRoutes() const;

  InterfaceKind interfaceKind(std::string_view name) const;

  // The reachability flags of the first default route whose interface is
  // usable, or 0 when there is none. `linkLocalTarget` adds the is-direct bit
  // on wireless and wired links. Absent when the routes cannot be read.
  std::optional<std::uint32_t> flags(bool linkLocalTarget) const;

 private:
  std::optional<std::vector<DefaultRoute>> readIpv4Routes() const;
  std::optional<std::vector<DefaultRoute>> readIpv6Routes() const;

  NetPaths paths_;
};

// The flag arithmetic on its own: none for an unusable interface, reachable
// otherwise, plus is-WWAN for mobile broadband or is-direct for a link-local
// target on a wireless or wired link.
std::uint32_t reachabilityFlagsFor(InterfaceKind kind, bool linkLocalTarget);

// A name the kernel could have given an interface, safe to join to a path.
bool isValidInterfaceName(std::string_view name);

}  // namespace kst
