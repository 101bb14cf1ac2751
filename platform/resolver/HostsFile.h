#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/resolver/Resolver.h"

namespace kst {

// The device's hosts file, in hosts(5) format: per line a numeric address,
// the host's canonical name and any aliases, separated by blanks; "#" starts
// a comment. Names match without regard to ASCII case. A line whose address
// is not a plain IPv4 or IPv6 address (a scope suffix included), or that
// names no host, is skipped; so is anything past kMaxBytes. Bytes are taken
// as they come, so garbage and text that is not UTF-8 only fail to match.
// Immutable once made; safe to share between threads.
class HostsFile {
 public:
  static constexpr std::size_t kMaxBytes = std::size_t{16} << 20;

  explicit HostsFile(std::string text);
  // The file at `path`; nothing when it is missing or cannot be read.
  static std::optional<HostsFile> read(const std::string& path);

  // Every address listed for `name` in `family`, in file order, each once,
  // as normalised numeric text. Empty when no line names it.
  Resolver::Addresses addressesOf(std::string_view name, AddressFamily family) const;

  // The canonical name (the first name) of the first line that lists
  // `name` with an address of `family`; nothing when none does.
  std::optional<std::string> canonicalNameOf(std::string_view name, AddressFamily family) const;

  // The canonical name on the first line listing the address (an IPv4
  // address mapped into IPv6 also matches its IPv4 lines). Lines whose name
  // is numeric or not valid UTF-8 do not count.
  std::optional<std::string> nameOf(const sockaddr* address, socklen_t length) const;

 private:
  std::string text_;
};

}  // namespace kst
