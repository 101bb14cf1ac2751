#include "platform/reachability/NetworkState.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <sstream>

#include "platform/fs/FileSystem.h"
#include "platform/reachability/NetworkReachability.h"

namespace kst {

namespace {

template <typename T>
bool parseNumber(std::string_view text, int base, T& out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out, base);
  return ec == std::errc() && ptr == end;
}

bool allZeros(std::string_view hex) {
  return !hex.empty() && std::all_of(hex.begin(), hex.end(), [](char c) { return c == '0'; });
}

bool startsWithAny(std::string_view name, std::initializer_list<std::string_view> prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [&](std::string_view p) { return name.starts_with(p); });
}

bool usableRoute(std::string_view iface, unsigned routeFlags) {
  return (routeFlags & RTF_UP) != 0 && (routeFlags & RTF_REJECT) == 0 && iface != "lo" &&
         isValidInterfaceName(iface);
}

void sortByMetric(std::vector<DefaultRoute>& routes) {
  std::stable_sort(routes.begin(), routes.end(),
                   [](const DefaultRoute& a, const DefaultRoute& b) { return a.metric < b.metric; });
}

// The first line of a sysfs attribute, without its newline.
std::optional<std::string> readAttribute(const std::string& path) {
  std::optional<std::string> text = FileSystem::real().readFile(path);
  if (!text) return std::nullopt;
  text->erase(std::min(text->find('\n'), text->size()));
  return text;
}

}  // namespace

bool isValidInterfaceName(std::string_view name) {
  if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return c == '/' || c == ':' || static_cast<unsigned char>(c) <= ' '; });
}

std::optional<std::vector<DefaultRoute>> NetworkState::readIpv4Routes() const {
  const std::optional<std::string> table = FileSystem::real().readFile(paths_.proc + "/net/route");
  if (!table) return std::nullopt;
  std::vector<DefaultRoute> routes;
  std::istringstream lines(*table);
  std::string line;
  // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT;
  // the header line fails the number checks and is skipped like any bad line.
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string iface, dest, gateway, flags, refCnt, use, metric, mask;
    if (!(fields >> iface >> dest >> gateway >> flags >> refCnt >> use >> metric >> mask)) continue;
    std::uint32_t destValue = 0, maskValue = 0, metricValue = 0;
    unsigned flagsValue = 0;
    if (!parseNumber(dest, 16, destValue) || !parseNumber(mask, 16, maskValue) ||
        !parseNumber(flags, 16, flagsValue) || !parseNumber(metric, 10, metricValue)) {
      continue;
    }
    if (destValue != 0 || maskValue != 0 || !usableRoute(iface, flagsValue)) continue;
    routes.push_back({iface, AF_INET, metricValue});
  }
  sortByMetric(routes);
  return routes;
}

std::optional<std::vector<DefaultRoute>> NetworkState::readIpv6Routes() const {
  const std::optional<std::string> table = FileSystem::real().readFile(paths_.proc + "/net/ipv6_route");
  if (!table) return std::nullopt;
  std::vector<DefaultRoute> routes;
  std::istringstream lines(*table);
  std::string line;
  // dest prefixlen src srcprefixlen nexthop metric refcnt use flags iface, all hex.
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string dest, prefix, src, srcPrefix, nextHop, metric, refCnt, use, flags, iface;
    if (!(fields >> dest >> prefix >> src >> srcPrefix >> nextHop >> metric >> refCnt >> use >> flags >>
          iface)) {
      continue;
    }
    std::uint32_t metricValue = 0;
    unsigned prefixValue = 0, flagsValue = 0;
    if (dest.size() != 32 || !parseNumber(prefix, 16, prefixValue) || !parseNumber(metric, 16, metricValue) ||
        !parseNumber(flags, 16, flagsValue)) {
      continue;
    }
    if (!allZeros(dest) || prefixValue != 0 || !usableRoute(iface, flagsValue)) continue;
    routes.push_back({iface, AF_INET6, metricValue});
  }
  sortByMetric(routes);
  return routes;
}

std::optional<std::vector<DefaultRoute>> NetworkState::defaultRoutes() const {
  std::optional<std::vector<DefaultRoute>> v4 = readIpv4Routes();
  std::optional<std::vector<DefaultRoute>> v6 = readIpv6Routes();
  if (!v4 && !v6) return std::nullopt;
  std::vector<DefaultRoute> all = v4 ? std::move(*v4) : std::vector<DefaultRoute>();
  if (v6) all.insert(all.end(), v6->begin(), v6->end());
  return all;
}

InterfaceKind NetworkState::interfaceKind(std::string_view name) const {
  if (!isValidInterfaceName(name)) return InterfaceKind::kUnusable;
  FileSystem& fs = FileSystem::real();
  const std::string classDir = paths_.sys + "/class/net";
  // Without sysfs (some containers) the route alone has to do.
  if (!fs.exists(classDir)) return InterfaceKind::kWired;
  const std::string dir = classDir + "/" + std::string(name);
  if (!fs.exists(dir)) return InterfaceKind::kUnusable;

  unsigned type = ARPHRD_ETHER;
  if (std::optional<std::string> text = readAttribute(dir + "/type")) parseNumber(*text, 10, type);
  if (type == ARPHRD_LOOPBACK) return InterfaceKind::kUnusable;
  if (std::optional<std::string> text = readAttribute(dir + "/flags")) {
    unsigned ifFlags = 0;
    std::string_view hex = *text;
    if (hex.starts_with("0x")) hex.remove_prefix(2);
    if (parseNumber(hex, 16, ifFlags) && ((ifFlags & IFF_UP) == 0 || (ifFlags & IFF_LOOPBACK) != 0)) {
      return InterfaceKind::kUnusable;
    }
  }
  // "unknown" is normal for tunnels and point-to-point links, so only a
  // positive report of being down counts.
  if (std::optional<std::string> state = readAttribute(dir + "/operstate")) {
    if (*state == "down" || *state == "lowerlayerdown" || *state == "notpresent")
      return InterfaceKind::kUnusable;
  }

  std::string devType;
  if (std::optional<std::string> uevent = fs.readFile(dir + "/uevent")) {
    std::istringstream lines(*uevent);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.starts_with("DEVTYPE=")) devType = line.substr(8);
    }
  }
  if (devType == "wlan" || fs.exists(dir + "/wireless") || fs.exists(dir + "/phy80211")) {
    return InterfaceKind::kWireless;
  }
  if (devType == "wwan") return InterfaceKind::kMobile;
  // Modems that present raw IP or point-to-point links; a VPN tunnel has the
  // same link types but not these names, and counts as wired.
  const bool modemLink = type == ARPHRD_NONE || type == ARPHRD_RAWIP || type == ARPHRD_PPP;
  if (modemLink && startsWithAny(name, {"wwan", "rmnet", "ppp", "ccmni"})) return InterfaceKind::kMobile;
  return InterfaceKind::kWired;
}

std::optional<std::uint32_t> NetworkState::flags(bool linkLocalTarget) const {
  const std::optional<std::vector<DefaultRoute>> routes = defaultRoutes();
  if (!routes) return std::nullopt;
  for (const DefaultRoute& route : *routes) {
    const InterfaceKind kind = interfaceKind(route.interface);
    if (kind != InterfaceKind::kUnusable) return reachabilityFlagsFor(kind, linkLocalTarget);
  }
  return 0;
}

std::uint32_t reachabilityFlagsFor(InterfaceKind kind, bool linkLocalTarget) {
  switch (kind) {
    case InterfaceKind::kUnusable:
      return 0;
    case InterfaceKind::kMobile:
      return kReachabilityReachable | kReachabilityIsWWAN;
    case InterfaceKind::kWired:
    case InterfaceKind::kWireless:
      return kReachabilityReachable | (linkLocalTarget ? kReachabilityIsDirect : 0u);
  }
  return 0;
}

}  // namespace kst
