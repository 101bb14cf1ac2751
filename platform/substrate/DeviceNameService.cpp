#include "platform/substrate/DeviceNameService.h"

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <array>
#include <vector>

#include "platform/fs/DeviceRoot.h"
#include "platform/resolver/HostsFile.h"

namespace kst::substrate {

namespace {

using GetaddrinfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
using GethostbynameFn = hostent* (*)(const char*);
using Gethostbyname2Fn = hostent* (*)(const char*, int);

std::atomic<GetaddrinfoFn> gGetaddrinfo{nullptr};
std::atomic<GethostbynameFn> gGethostbyname{nullptr};
std::atomic<Gethostbyname2Fn> gGethostbyname2{nullptr};

// The addresses the device's hosts file lists for a name; empty when it has
// none (or no file), and for numeric names, which need no lookup.
Resolver::Addresses deviceAddresses(const char* name, AddressFamily family) {
  if (name == nullptr || *name == '\0' || isNumericAddress(name)) return {};
  std::optional<HostsFile> hosts = HostsFile::read(DeviceRoot::process().path("/etc/hosts"));
  if (!hosts) return {};
  return hosts->addressesOf(name, family);
}

AddressFamily familyOf(int af) {
  if (af == AF_INET) return AddressFamily::kIPv4;
  if (af == AF_INET6) return AddressFamily::kIPv6;
  return AddressFamily::kAny;
}

// The C library's own result for each numeric address, chained: every node
// is its allocation, so the application's freeaddrinfo frees the chain.
int numericChain(const Resolver::Addresses& addresses, const char* name, const char* service, const addrinfo* hints,
                 addrinfo** result, GetaddrinfoFn libc) {
  addrinfo numeric{};
  if (hints != nullptr) numeric = *hints;
  numeric.ai_flags = (numeric.ai_flags | AI_NUMERICHOST) & ~AI_CANONNAME;
  numeric.ai_canonname = nullptr;
  numeric.ai_addr = nullptr;
  numeric.ai_next = nullptr;
  addrinfo* head = nullptr;
  addrinfo** tail = &head;
  int firstError = EAI_NONAME;
  for (const std::string& address : addresses) {
    addrinfo* part = nullptr;
    const int rc = libc(address.c_str(), service, &numeric, &part);
    if (rc != 0) {
      if (firstError == EAI_NONAME) firstError = rc;
      continue;
    }
    *tail = part;
    while (*tail != nullptr) tail = &(*tail)->ai_next;
  }
  if (head == nullptr) return firstError;
  if (hints != nullptr && (hints->ai_flags & AI_CANONNAME) != 0) head->ai_canonname = ::strdup(name);
  *result = head;
  return 0;
}

struct HostentStorage {
  hostent entry{};
  std::string name;
  std::vector<std::array<unsigned char, 16>> bytes;
  std::vector<char*> list;
  char* noAliases[1] = {nullptr};
};

hostent* hostentFor(const char* name, int family, const Resolver::Addresses& addresses) {
  thread_local HostentStorage storage;
  storage.name = name;
  storage.bytes.clear();
  for (const std::string& a : addresses) {
    std::array<unsigned char, 16> b{};
    if (::inet_pton(family, a.c_str(), b.data()) == 1) storage.bytes.push_back(b);
  }
  if (storage.bytes.empty()) return nullptr;
  storage.list.clear();
  for (auto& b : storage.bytes) storage.list.push_back(reinterpret_cast<char*>(b.data()));
  storage.list.push_back(nullptr);
  storage.entry.h_name = storage.name.data();
  storage.entry.h_aliases = storage.noAliases;
  storage.entry.h_addrtype = family;
  storage.entry.h_length = family == AF_INET6 ? 16 : 4;
  storage.entry.h_addr_list = storage.list.data();
  return &storage.entry;
}

}  // namespace

void setLibcNameService(void* getaddrinfo, void* gethostbyname, void* gethostbyname2) {
  gGetaddrinfo.store(reinterpret_cast<GetaddrinfoFn>(getaddrinfo));
  gGethostbyname.store(reinterpret_cast<GethostbynameFn>(gethostbyname));
  gGethostbyname2.store(reinterpret_cast<Gethostbyname2Fn>(gethostbyname2));
}

int deviceGetaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** result) {
  const GetaddrinfoFn libc = gGetaddrinfo.load();
  if (libc == nullptr) return EAI_SYSTEM;
  const int saved = errno;
  const Resolver::Addresses addresses = deviceAddresses(name, familyOf(hints != nullptr ? hints->ai_family : 0));
  errno = saved;
  if (addresses.empty() || result == nullptr) return libc(name, service, hints, result);
  return numericChain(addresses, name, service, hints, result, libc);
}

hostent* deviceGethostbyname(const char* name) {
  const Resolver::Addresses addresses = deviceAddresses(name, AddressFamily::kIPv4);
  if (!addresses.empty()) return hostentFor(name, AF_INET, addresses);
  const GethostbynameFn libc = gGethostbyname.load();
  return libc != nullptr ? libc(name) : nullptr;
}

hostent* deviceGethostbyname2(const char* name, int family) {
  if (family == AF_INET || family == AF_INET6) {
    const Resolver::Addresses addresses = deviceAddresses(name, familyOf(family));
    if (!addresses.empty()) return hostentFor(name, family, addresses);
  }
  const Gethostbyname2Fn libc = gGethostbyname2.load();
  return libc != nullptr ? libc(name, family) : nullptr;
}

}  // namespace kst::substrate
