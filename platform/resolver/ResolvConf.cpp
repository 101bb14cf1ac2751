#include "platform/resolver/ResolvConf.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>

#include "platform/fs/DeviceRoot.h"
#include "platform/resolver/ConfigTokens.h"

namespace kst {

namespace {

constexpr std::string_view kNameserverKeyword = "nameserver";
constexpr const char* kSystemPath = "/etc/resolv.conf";
constexpr std::string_view kDevicePath = "/etc/resolv.conf";

using resolver::isBlank;
using resolver::nextToken;

// The scope after "%": an interface name or its number; 0 when there is
// none or the interface is unknown here.
std::uint32_t scopeOf(std::string_view scope) {
  if (scope.empty() || scope.size() >= IF_NAMESIZE + 8) return 0;
  std::uint32_t number = 0;
  const auto [end, ec] = std::from_chars(scope.data(), scope.data() + scope.size(), number);
  if (ec == std::errc() && end == scope.data() + scope.size()) return number;
  const std::string name(scope);
  return ::if_nametoindex(name.c_str());
}

std::optional<ResolvConf::Nameserver> parseNameserver(std::string_view token) {
  std::string_view scope;
  if (const std::size_t percent = token.find('%'); percent != std::string_view::npos) {
    scope = token.substr(percent + 1);
    token = token.substr(0, percent);
  }
  if (token.empty() || token.size() >= INET6_ADDRSTRLEN) return std::nullopt;
  const std::string text(token);
  ResolvConf::Nameserver ns;
  ns.address.sin6_family = AF_INET6;
  ns.address.sin6_port = htons(ResolvConf::kDnsPort);
  in_addr v4{};
  if (scope.empty() && ::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    ns.address.sin6_addr.s6_addr[10] = 0xff;
    ns.address.sin6_addr.s6_addr[11] = 0xff;
    std::memcpy(ns.address.sin6_addr.s6_addr + 12, &v4, sizeof v4);
  } else if (::inet_pton(AF_INET6, text.c_str(), &ns.address.sin6_addr) == 1) {
    ns.address.sin6_scope_id = scopeOf(scope);
  } else {
    return std::nullopt;
  }
  ns.text = text;
  return ns;
}

bool sameAddress(const sockaddr_in6& a, const sockaddr_in6& b) {
  if (std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) != 0) return false;
  return a.sin6_scope_id == 0 || b.sin6_scope_id == 0 || a.sin6_scope_id == b.sin6_scope_id;
}

// `address` as a mapped IPv6 socket address; nothing for another family or
// a short length.
std::optional<sockaddr_in6> asIPv6(const sockaddr* address, socklen_t length) {
  if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return std::nullopt;
  sa_family_t family = 0;
  std::memcpy(&family, address, sizeof family);
  sockaddr_in6 out{};
  out.sin6_family = AF_INET6;
  if (family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in in{};
    std::memcpy(&in, address, sizeof in);
    out.sin6_addr.s6_addr[10] = 0xff;
    out.sin6_addr.s6_addr[11] = 0xff;
    std::memcpy(out.sin6_addr.s6_addr + 12, &in.sin_addr, sizeof in.sin_addr);
    return out;
  }
  if (family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    std::memcpy(&out, address, sizeof out);
    return out;
  }
  return std::nullopt;
}

std::optional<std::string> readCapped(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[8192];
  bool ok = true;
  while (text.size() < ResolvConf::kMaxBytes) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return text;
}

}  // namespace

ResolvConf ResolvConf::parse(std::string_view text) {
  ResolvConf conf;
  if (text.size() > kMaxBytes) {
    // A line cut at the limit could name a cut address.
    text = text.substr(0, kMaxBytes);
    const std::size_t lastNewline = text.rfind('\n');
    text = text.substr(0, lastNewline == std::string_view::npos ? 0 : lastNewline + 1);
  }
  while (!text.empty() && conf.nameservers_.size() < kMaxNameservers) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    line = line.substr(0, line.find_first_of("#;"));
    if (nextToken(line) != kNameserverKeyword) continue;
    const std::optional<Nameserver> ns = parseNameserver(nextToken(line));
    if (!ns) continue;
    bool seen = false;
    for (const Nameserver& known : conf.nameservers_) seen = seen || sameAddress(known.address, ns->address);
    if (!seen) conf.nameservers_.push_back(*ns);
  }
  return conf;
}

bool ResolvConf::isNameserver(const sockaddr* address, socklen_t length) const {
  if (nameservers_.empty()) return false;
  const std::optional<sockaddr_in6> asked = asIPv6(address, length);
  if (!asked) return false;
  for (const Nameserver& ns : nameservers_) {
    if (sameAddress(ns.address, *asked)) return true;
  }
  return false;
}

ResolvConfFile::ResolvConfFile(std::string path) : path_(std::move(path)) {}

std::string ResolvConfFile::pathFor(const std::string& deviceRootDir) {
  const std::string device = DeviceRoot(deviceRootDir).path(kDevicePath);
  struct stat st {};
  return ::stat(device.c_str(), &st) == 0 ? device : std::string(kSystemPath);
}

ResolvConfFile& ResolvConfFile::process() {
  // Used by hooks after exit: never destroyed.
  static ResolvConfFile* const file = new ResolvConfFile(pathFor(DeviceRoot::process().dir()));
  return *file;
}

ResolvConfFile::Identity ResolvConfFile::identityOf(const std::string& path) {
  Identity id;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return id;
  id.exists = true;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return id;
}

std::shared_ptr<const ResolvConf> ResolvConfFile::current() {
  // Taken before the file is read: a change after this is a new generation,
  // and reads the file again.
  const FileChanges* changes = changes_.load(std::memory_order_acquire);
  const std::uint64_t generation = changes != nullptr ? changes->generation() : FileChanges::kUnwatched;
  const bool watched = generation != FileChanges::kUnwatched;
  Identity now;
  {
    // Held for the comparison and the swap only, never across file I/O.
    std::lock_guard<std::mutex> lock(mu_);
    if (watched && read_ && generation_ == generation) return conf_;
  }
  if (!watched) {
    now = identityOf(path_);
    std::lock_guard<std::mutex> lock(mu_);
    if (read_ && identityKnown_ && now == identity_) return conf_;
  }
  // Watched, the file is read whatever its stat says: two edits within one
  // tick of the file system's clock look alike, the watch tells them apart.
  std::optional<std::string> text = readCapped(path_);
  auto fresh = std::make_shared<const ResolvConf>(text ? ResolvConf::parse(*text) : ResolvConf());
  std::lock_guard<std::mutex> lock(mu_);
  read_ = true;
  identityKnown_ = !watched;
  identity_ = now;
  generation_ = generation;
  conf_ = std::move(fresh);
  return conf_;
}

}  // namespace kst
