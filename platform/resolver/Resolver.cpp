#include "platform/resolver/Resolver.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "platform/fs/DeviceRoot.h"
#include "platform/resolver/PosixResolver.h"

namespace kst {

// Provided by the substrate when it is loaded (kestrix-launch preloads it);
// absent in programs that run without it.
extern "C" void kst_substrate_enter(void) __attribute__((weak));
extern "C" void kst_substrate_leave(void) __attribute__((weak));

namespace {

// The system's own lookups: in a hooked process they are the library's
// calls, not the application's, so they pass the substrate's replacements
// (the name capture would otherwise record every name the map resolves).
class OwnCallsResolver final : public Resolver {
 public:
  explicit OwnCallsResolver(Resolver& inner) : inner_(inner) {}
  std::optional<Addresses> resolve(std::string_view name, AddressFamily family) override {
    Scope own;
    return inner_.resolve(name, family);
  }
  std::optional<std::string> reverseLookup(const sockaddr* address, socklen_t length) override {
    Scope own;
    return inner_.reverseLookup(address, length);
  }

 private:
  struct Scope {
    Scope() {
      if (kst_substrate_enter != nullptr) kst_substrate_enter();
    }
    ~Scope() {
      if (kst_substrate_leave != nullptr) kst_substrate_leave();
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
  };
  Resolver& inner_;
};

}  // namespace

Resolver& Resolver::real() {
  // Used by hooks after exit: never destroyed.
  static Resolver* const resolver = new OwnCallsResolver(*new PosixResolver(DeviceRoot::process()));
  return *resolver;
}

namespace {

// Dotted decimal, as inet_ntop writes it, without its formatted printing
// (every judged call names its address).
std::string dottedQuad(const in_addr& address) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address.s_addr, sizeof bytes);
  char text[16];
  std::size_t n = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text[n++] = '.';
    const unsigned v = bytes[i];
    if (v >= 100) text[n++] = static_cast<char>('0' + v / 100);
    if (v >= 10) text[n++] = static_cast<char>('0' + v / 10 % 10);
    text[n++] = static_cast<char>('0' + v % 10);
  }
  return std::string(text, n);
}

}  // namespace

std::optional<std::string> addressText(const sockaddr* address, socklen_t length) {
  if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return std::nullopt;
  char buf[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    if (length < static_cast<socklen_t>(sizeof(sockaddr_in))) return std::nullopt;
    return dottedQuad(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
  }
  if (address->sa_family == AF_INET6) {
    if (length < static_cast<socklen_t>(sizeof(sockaddr_in6))) return std::nullopt;
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (::inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf) == nullptr) return std::nullopt;
    return std::string(buf);
  }
  return std::nullopt;
}

bool isNumericAddress(std::string_view text) {
  // Longer than any address text: not one (and keeps the copy small).
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos)
    return false;
  const std::string s(text);
  in6_addr bytes{};
  return ::inet_pton(AF_INET, s.c_str(), &bytes) == 1 || ::inet_pton(AF_INET6, s.c_str(), &bytes) == 1;
}

}  // namespace kst
