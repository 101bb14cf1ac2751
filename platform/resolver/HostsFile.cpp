#include "platform/resolver/HostsFile.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kst {

namespace {

struct Address {
  int family = AF_UNSPEC;
  in_addr v4{};
  in6_addr v6{};
};

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\0';
}

// Takes the next blank-separated token off the front of `rest`; empty at
// the end.
std::string_view nextToken(std::string_view& rest) {
  std::size_t i = 0;
  while (i < rest.size() && isBlank(rest[i])) ++i;
  std::size_t j = i;
  while (j < rest.size() && !isBlank(rest[j])) ++j;
  const std::string_view token = rest.substr(i, j - i);
  rest.remove_prefix(j);
  return token;
}

// Calls `f(addressToken, namesPart)` for each line that has an address and
// at least one more token, until `f` returns false.
template <class F>
void forEachLine(std::string_view text, F&& f) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    line = line.substr(0, line.find('#'));
    const std::string_view address = nextToken(line);
    if (address.empty()) continue;
    std::string_view probe = line;
    if (nextToken(probe).empty()) continue;
    if (!f(address, line)) return;
  }
}

std::optional<Address> parseAddress(std::string_view token) {
  if (token.size() >= INET6_ADDRSTRLEN) return std::nullopt;
  char buf[INET6_ADDRSTRLEN] = {};
  std::memcpy(buf, token.data(), token.size());
  Address a;
  if (::inet_pton(AF_INET, buf, &a.v4) == 1) {
    a.family = AF_INET;
    return a;
  }
  if (::inet_pton(AF_INET6, buf, &a.v6) == 1) {
    a.family = AF_INET6;
    return a;
  }
  return std::nullopt;
}

std::string textOf(const Address& a) {
  char buf[INET6_ADDRSTRLEN] = {};
  const void* bytes = a.family == AF_INET ? static_cast<const void*>(&a.v4) : static_cast<const void*>(&a.v6);
  return ::inet_ntop(a.family, bytes, buf, sizeof buf) != nullptr ? std::string(buf) : std::string();
}

bool wanted(int family, AddressFamily asked) {
  switch (asked) {
    case AddressFamily::kAny:
      return true;
    case AddressFamily::kIPv4:
      return family == AF_INET;
    case AddressFamily::kIPv6:
      return family == AF_INET6;
  }
  return false;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool isValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t more = 0;
    unsigned min = 0;
    unsigned cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      more = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= more) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

}  // namespace

HostsFile::HostsFile(std::string text) : text_(std::move(text)) {
  if (text_.size() > kMaxBytes) {
    text_.resize(kMaxBytes);
    text_.resize(text_.rfind('\n') + 1);  // a cut line would name a cut host; npos + 1 is 0
  }
}

std::optional<HostsFile> HostsFile::read(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[16384];
  bool ok = true;
  // One byte past the limit tells the constructor that the file was cut.
  while (text.size() <= kMaxBytes) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return HostsFile(std::move(text));
}

Resolver::Addresses HostsFile::addressesOf(std::string_view name, AddressFamily family) const {
  Resolver::Addresses out;
  if (name.empty()) return out;
  forEachLine(text_, [&](std::string_view addressToken, std::string_view names) {
    for (std::string_view n = nextToken(names); !n.empty(); n = nextToken(names)) {
      if (!equalsIgnoringCase(n, name)) continue;
      const std::optional<Address> a = parseAddress(addressToken);
      if (a && wanted(a->family, family)) {
        std::string text = textOf(*a);
        if (!text.empty() && std::find(out.begin(), out.end(), text) == out.end())
          out.push_back(std::move(text));
      }
      break;
    }
    return true;
  });
  return out;
}

std::optional<std::string> HostsFile::canonicalNameOf(std::string_view name, AddressFamily family) const {
  std::optional<std::string> found;
  if (name.empty()) return found;
  forEachLine(text_, [&](std::string_view addressToken, std::string_view names) {
    const std::string_view canonical = nextToken(names);
    bool listed = equalsIgnoringCase(canonical, name);
    for (std::string_view n = nextToken(names); !listed && !n.empty(); n = nextToken(names))
      listed = equalsIgnoringCase(n, name);
    if (!listed) return true;
    const std::optional<Address> a = parseAddress(addressToken);
    if (!a || !wanted(a->family, family)) return true;
    found = std::string(canonical);
    return false;
  });
  return found;
}

std::optional<std::string> HostsFile::nameOf(const sockaddr* address, socklen_t length) const {
  if (address == nullptr) return std::nullopt;
  std::optional<in_addr> v4;
  std::optional<in6_addr> v6;
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    v4 = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
  } else if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&*v6)) {
      in_addr mapped{};
      std::memcpy(&mapped, v6->s6_addr + 12, sizeof mapped);
      v4 = mapped;
    }
  } else {
    return std::nullopt;
  }

  std::optional<std::string> found;
  forEachLine(text_, [&](std::string_view addressToken, std::string_view names) {
    const std::optional<Address> a = parseAddress(addressToken);
    if (!a) return true;
    const bool match = (a->family == AF_INET && v4 && std::memcmp(&a->v4, &*v4, sizeof(in_addr)) == 0) ||
                       (a->family == AF_INET6 && v6 && std::memcmp(&a->v6, &*v6, sizeof(in6_addr)) == 0);
    if (!match) return true;
    const std::string_view name = nextToken(names);
    if (isNumericAddress(name) || !isValidUtf8(name)) return true;
    found = std::string(name);
    return false;
  });
  return found;
}

}  // namespace kst
