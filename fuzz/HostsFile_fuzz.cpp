// Feeds the device's hosts file. Every word of the input is asked about as a
// name (each family and either) and, when it is an address, as an address;
// every address found for a name is asked about too. A name has addresses
// exactly when it has a canonical name.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/resolver/HostsFile.h"

namespace {

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!word.empty()) out.push_back(std::move(word));
      word.clear();
    } else {
      word.push_back(c);
    }
    if (out.size() >= 32) break;
  }
  if (!word.empty() && out.size() < 32) out.push_back(std::move(word));
  return out;
}

void askAddress(const kst::HostsFile& hosts, const std::string& text) {
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  std::optional<std::string> name;
  if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    name = hosts.nameOf(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
  } else if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    name = hosts.nameOf(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
  } else {
    return;
  }
  if (name && name->empty()) std::abort();  // a name, or none
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kst;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const HostsFile hosts{std::string(text)};
  for (const std::string& word : words(text)) {
    for (AddressFamily family : {AddressFamily::kAny, AddressFamily::kIPv4, AddressFamily::kIPv6}) {
      const Resolver::Addresses found = hosts.addressesOf(word, family);
      const std::optional<std::string> canonical = hosts.canonicalNameOf(word, family);
      // A name with addresses has a canonical name, and the other way round.
      if (found.empty() == canonical.has_value()) std::abort();
      for (const std::string& address : found) askAddress(hosts, address);
    }
    askAddress(hosts, word);
  }
  return 0;
}
