#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kst {

// Which addresses a forward lookup asks for.
enum class AddressFamily { kAny, kIPv4, kIPv6 };

// Name-to-address and address-to-name lookups as the system's code sees them:
// the stand-in for the original platform's resolver. The real one
// (PosixResolver) consults the device's hosts file before the system's own
// resolver; tests pass a scripted one. Implementations are safe for
// concurrent use from any thread, and may block for as long as the network
// makes them.
class Resolver {
 public:
  using Addresses = std::vector<std::string>;

  virtual ~Resolver() = default;

  // The addresses `name` resolves to, as numeric texts (dotted IPv4, IPv6
  // text form), in the order the resolver gives them, each once. Nothing
  // when the lookup fails.
  virtual std::optional<Addresses> resolve(std::string_view name, AddressFamily family) = 0;

  // The name of an address, asking for a name only: nothing when there is
  // none, and a numeric answer counts as none.
  virtual std::optional<std::string> reverseLookup(const sockaddr* address, socklen_t length) = 0;

  // The device's resolver over the process's device root. Never destroyed,
  // so hooks may use it late.
  static Resolver& real();
};

// The numeric text of an IPv4 or IPv6 socket address; nothing for another
// family, a null address or a length too short for its family.
std::optional<std::string> addressText(const sockaddr* address, socklen_t length);

// Whether `text` is a numeric IPv4 or IPv6 address.
bool isNumericAddress(std::string_view text);

}  // namespace kst
