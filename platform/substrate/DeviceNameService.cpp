#include "platform/substrate/DeviceNameService.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fs/DeviceRoot.h"
#include "platform/resolver/HostsFile.h"
#include "platform/substrate/LibcFunctionTypes.h"

namespace kst::substrate {

namespace {

std::atomic<GetaddrinfoFn> gGetaddrinfo{nullptr};
std::atomic<GethostbynameFn> gGethostbyname{nullptr};
std::atomic<Gethostbyname2Fn> gGethostbyname2{nullptr};
std::atomic<GethostbynameRFn> gGethostbynameR{nullptr};
std::atomic<Gethostbyname2RFn> gGethostbyname2R{nullptr};
std::atomic<GethostbyaddrFn> gGethostbyaddr{nullptr};
std::atomic<GetnameinfoFn> gGetnameinfo{nullptr};

// The device's hosts file; null when there is none. Parsed once per
// version of the file. Leaves errno alone.
std::shared_ptr<const HostsFile> hostsFile() {
  // Used by lookups after exit: never destroyed.
  static CachedHostsFile* const cache = new CachedHostsFile(DeviceRoot::process().path("/etc/hosts"));
  const int saved = errno;
  std::shared_ptr<const HostsFile> hosts = cache->current();
  errno = saved;
  return hosts;
}

// The same for a forward lookup of `name`; nothing for numeric names, which
// need no lookup.
std::shared_ptr<const HostsFile> hostsFor(const char* name) {
  if (name == nullptr || *name == '\0' || isNumericAddress(name)) return nullptr;
  return hostsFile();
}

AddressFamily familyOf(int af) {
  if (af == AF_INET) return AddressFamily::kIPv4;
  if (af == AF_INET6) return AddressFamily::kIPv6;
  return AddressFamily::kAny;
}

// What the hosts file answers for a getaddrinfo call: the addresses in the
// order they are returned, and the canonical name.
struct Answer {
  Resolver::Addresses addresses;
  std::string canonical;
};

// The hosts file's answer as the C library forms it from its own hosts file:
// for AF_INET6 with AI_V4MAPPED, the IPv4 addresses (which the C library then
// maps) when there is no IPv6 one, or with AI_ALL besides them.
Answer answerFor(const HostsFile& hosts, const char* name, int family, int flags) {
  Answer a;
  AddressFamily canonicalFamily = familyOf(family);
  a.addresses = hosts.addressesOf(name, familyOf(family));
  if (family == AF_INET6 && (flags & AI_V4MAPPED) != 0 && (a.addresses.empty() || (flags & AI_ALL) != 0)) {
    for (std::string& v4 : hosts.addressesOf(name, AddressFamily::kIPv4))
      a.addresses.push_back(std::move(v4));
    canonicalFamily = AddressFamily::kAny;
  }
  if (!a.addresses.empty()) a.canonical = hosts.canonicalNameOf(name, canonicalFamily).value_or(name);
  return a;
}

// The C library's own result for each numeric address, chained: every node
// is its allocation, so the application's freeaddrinfo frees the chain. The
// caller's flags go along, so AI_ADDRCONFIG and AI_V4MAPPED act as they do
// for the C library's own answers.
int numericChain(const Answer& answer, const char* service, const addrinfo* hints, addrinfo** result,
                 GetaddrinfoFn libc) {
  addrinfo numeric{};
  if (hints != nullptr) numeric = *hints;
  const bool canonical = (numeric.ai_flags & AI_CANONNAME) != 0;
  numeric.ai_flags = (numeric.ai_flags | AI_NUMERICHOST) & ~AI_CANONNAME;
  numeric.ai_canonname = nullptr;
  numeric.ai_addr = nullptr;
  numeric.ai_next = nullptr;
  addrinfo* head = nullptr;
  addrinfo** tail = &head;
  int firstError = 0;
  for (const std::string& address : answer.addresses) {
    addrinfo* part = nullptr;
    const int rc = libc(address.c_str(), service, &numeric, &part);
    if (rc != 0) {
      if (firstError == 0) firstError = rc;
      continue;
    }
    *tail = part;
    while (*tail != nullptr) tail = &(*tail)->ai_next;
  }
  if (head == nullptr) {
    // Every address was of a family the call rules out (AI_ADDRCONFIG): for
    // a name, the C library says there is none.
    return firstError == EAI_ADDRFAMILY || firstError == 0 ? EAI_NONAME : firstError;
  }
  if (canonical) {
    head->ai_canonname = ::strdup(answer.canonical.c_str());
    if (head->ai_canonname == nullptr) {
      ::freeaddrinfo(head);
      return EAI_MEMORY;
    }
  }
  *result = head;
  return 0;
}

std::size_t addressLength(int family) {
  return family == AF_INET6 ? 16 : 4;
}

// Lays a hostent out in the caller's buffer, as the reentrant calls do: the
// address list, the alias list, the address bytes and the names. ERANGE when
// the buffer is too small.
int fillHostent(const std::string& canonical, const std::string& alias, int family,
                const std::vector<std::array<unsigned char, 16>>& addresses, hostent* entry, char* buffer,
                size_t size) {
  const std::size_t length = addressLength(family);
  const std::size_t pointers = (addresses.size() + 1 + (alias.empty() ? 1 : 2)) * sizeof(char*);
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(buffer);
  const std::size_t pad = (alignof(char*) - start % alignof(char*)) % alignof(char*);
  const std::size_t need = pad + pointers + addresses.size() * length + canonical.size() + 1 +
                           (alias.empty() ? 0 : alias.size() + 1);
  if (buffer == nullptr || size < need) return ERANGE;
  char** list = reinterpret_cast<char**>(buffer + pad);
  char** aliases = list + addresses.size() + 1;
  char* bytes = reinterpret_cast<char*>(aliases + (alias.empty() ? 1 : 2));
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    std::memcpy(bytes, addresses[i].data(), length);
    list[i] = bytes;
    bytes += length;
  }
  list[addresses.size()] = nullptr;
  std::memcpy(bytes, canonical.c_str(), canonical.size() + 1);
  entry->h_name = bytes;
  bytes += canonical.size() + 1;
  if (!alias.empty()) {
    std::memcpy(bytes, alias.c_str(), alias.size() + 1);
    aliases[0] = bytes;
    aliases[1] = nullptr;
  } else {
    aliases[0] = nullptr;
  }
  entry->h_aliases = aliases;
  entry->h_addrtype = family;
  entry->h_length = static_cast<int>(length);
  entry->h_addr_list = list;
  return 0;
}

// The hosts file's entry for a forward lookup of `name` in `family`, laid
// out in the caller's buffer. Returns -1 when the file does not list it.
int hostsHostent(const char* name, int family, hostent* entry, char* buffer, size_t size) {
  if (family != AF_INET && family != AF_INET6) return -1;
  const std::shared_ptr<const HostsFile> hosts = hostsFor(name);
  if (!hosts) return -1;
  std::vector<std::array<unsigned char, 16>> bytes;
  for (const std::string& a : hosts->addressesOf(name, familyOf(family))) {
    std::array<unsigned char, 16> b{};
    if (::inet_pton(family, a.c_str(), b.data()) == 1) bytes.push_back(b);
  }
  if (bytes.empty()) return -1;
  const std::string canonical = hosts->canonicalNameOf(name, familyOf(family)).value_or(name);
  const std::string alias = ::strcasecmp(canonical.c_str(), name) == 0 ? std::string() : std::string(name);
  return fillHostent(canonical, alias, family, bytes, entry, buffer, size);
}

// The non-reentrant forms' static result: one per thread, grown to fit.
struct StaticHostent {
  hostent entry{};
  std::vector<char> buffer = std::vector<char>(1024);
};

// Runs `fill` on the thread's static hostent, growing its buffer while it
// says ERANGE. nullptr when `fill` finds nothing (-1).
template <typename Fill>
hostent* staticHostent(const Fill& fill) {
  thread_local StaticHostent storage;
  for (;;) {
    const int rc = fill(&storage.entry, storage.buffer.data(), storage.buffer.size());
    if (rc == 0) return &storage.entry;
    if (rc != ERANGE || storage.buffer.size() > (std::size_t{1} << 24)) return nullptr;
    storage.buffer.resize(storage.buffer.size() * 2);
  }
}

int reentrantResult(int rc, hostent* entry, hostent** result, int* error) {
  if (rc == 0) {
    if (result != nullptr) *result = entry;
    if (error != nullptr) *error = NETDB_SUCCESS;
    return 0;
  }
  if (result != nullptr) *result = nullptr;
  if (error != nullptr) *error = NETDB_INTERNAL;
  errno = rc;
  return rc;
}

}  // namespace

void setLibcNameService(const LibcNameService& libc) {
  gGetaddrinfo.store(reinterpret_cast<GetaddrinfoFn>(libc.getaddrinfo));
  gGethostbyname.store(reinterpret_cast<GethostbynameFn>(libc.gethostbyname));
  gGethostbyname2.store(reinterpret_cast<Gethostbyname2Fn>(libc.gethostbyname2));
  gGethostbynameR.store(reinterpret_cast<GethostbynameRFn>(libc.gethostbynameR));
  gGethostbyname2R.store(reinterpret_cast<Gethostbyname2RFn>(libc.gethostbyname2R));
  gGethostbyaddr.store(reinterpret_cast<GethostbyaddrFn>(libc.gethostbyaddr));
  gGetnameinfo.store(reinterpret_cast<GetnameinfoFn>(libc.getnameinfo));
}

LibcNameService libcNameServiceFrom(void* handle) {
  LibcNameService libc;
  libc.getaddrinfo = ::dlsym(handle, "getaddrinfo");
  libc.gethostbyname = ::dlsym(handle, "gethostbyname");
  libc.gethostbyname2 = ::dlsym(handle, "gethostbyname2");
  libc.gethostbynameR = ::dlsym(handle, "gethostbyname_r");
  libc.gethostbyname2R = ::dlsym(handle, "gethostbyname2_r");
  libc.gethostbyaddr = ::dlsym(handle, "gethostbyaddr");
  libc.getnameinfo = ::dlsym(handle, "getnameinfo");
  return libc;
}

int deviceGetaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** result) {
  const GetaddrinfoFn libc = gGetaddrinfo.load();
  if (libc == nullptr) return EAI_SYSTEM;
  const int family = hints != nullptr ? hints->ai_family : AF_UNSPEC;
  const int flags = hints != nullptr ? hints->ai_flags : 0;
  // A numeric host only, or a family the C library refuses: its answer.
  if (result == nullptr || (flags & AI_NUMERICHOST) != 0 ||
      (family != AF_UNSPEC && family != AF_INET && family != AF_INET6))
    return libc(name, service, hints, result);
  const std::shared_ptr<const HostsFile> hosts = hostsFor(name);
  if (!hosts) return libc(name, service, hints, result);
  const Answer answer = answerFor(*hosts, name, family, flags);
  if (answer.addresses.empty()) return libc(name, service, hints, result);
  return numericChain(answer, service, hints, result, libc);
}

hostent* deviceGethostbyname(const char* name) {
  if (hostent* h =
          staticHostent([&](hostent* e, char* b, size_t n) { return hostsHostent(name, AF_INET, e, b, n); }))
    return h;
  const GethostbynameFn libc = gGethostbyname.load();
  return libc != nullptr ? libc(name) : nullptr;
}

hostent* deviceGethostbyname2(const char* name, int family) {
  if (hostent* h =
          staticHostent([&](hostent* e, char* b, size_t n) { return hostsHostent(name, family, e, b, n); }))
    return h;
  const Gethostbyname2Fn libc = gGethostbyname2.load();
  return libc != nullptr ? libc(name, family) : nullptr;
}

int deviceGethostbyname2R(const char* name, int family, hostent* entry, char* buffer, size_t size,
                          hostent** result, int* error) {
  if (entry != nullptr) {
    const int rc = hostsHostent(name, family, entry, buffer, size);
    if (rc >= 0) return reentrantResult(rc, entry, result, error);
  }
  const Gethostbyname2RFn libc = gGethostbyname2R.load();
  if (libc == nullptr) return reentrantResult(ENOSYS, entry, result, error);
  return libc(name, family, entry, buffer, size, result, error);
}

int deviceGethostbynameR(const char* name, hostent* entry, char* buffer, size_t size, hostent** result,
                         int* error) {
  if (entry != nullptr) {
    const int rc = hostsHostent(name, AF_INET, entry, buffer, size);
    if (rc >= 0) return reentrantResult(rc, entry, result, error);
  }
  const GethostbynameRFn libc = gGethostbynameR.load();
  if (libc == nullptr) return reentrantResult(ENOSYS, entry, result, error);
  return libc(name, entry, buffer, size, result, error);
}

hostent* deviceGethostbyaddr(const void* address, socklen_t length, int family) {
  if (address != nullptr && ((family == AF_INET && length == 4) || (family == AF_INET6 && length == 16))) {
    sockaddr_in6 whole{};
    sockaddr_in v4{};
    const sockaddr* sa = reinterpret_cast<const sockaddr*>(&whole);
    socklen_t saLength = sizeof whole;
    if (family == AF_INET) {
      v4.sin_family = AF_INET;
      std::memcpy(&v4.sin_addr, address, 4);
      sa = reinterpret_cast<const sockaddr*>(&v4);
      saLength = sizeof v4;
    } else {
      whole.sin6_family = AF_INET6;
      std::memcpy(&whole.sin6_addr, address, 16);
    }
    const std::shared_ptr<const HostsFile> hosts = hostsFile();
    if (std::optional<std::string> name = hosts ? hosts->nameOf(sa, saLength) : std::nullopt) {
      std::array<unsigned char, 16> bytes{};
      std::memcpy(bytes.data(), address, length);
      const std::vector<std::array<unsigned char, 16>> list{bytes};
      if (hostent* h = staticHostent([&](hostent* e, char* b, size_t n) {
            return fillHostent(*name, std::string(), family, list, e, b, n);
          }))
        return h;
    }
  }
  const GethostbyaddrFn libc = gGethostbyaddr.load();
  return libc != nullptr ? libc(address, length, family) : nullptr;
}

int deviceGetnameinfo(const sockaddr* address, socklen_t length, char* host, socklen_t hostLength,
                      char* service, socklen_t serviceLength, int flags) {
  const GetnameinfoFn libc = gGetnameinfo.load();
  if (libc == nullptr) return EAI_SYSTEM;
  if (host == nullptr || hostLength == 0 || (flags & NI_NUMERICHOST) != 0)
    return libc(address, length, host, hostLength, service, serviceLength, flags);
  const std::shared_ptr<const HostsFile> hosts = hostsFile();
  const std::optional<std::string> name = hosts ? hosts->nameOf(address, length) : std::nullopt;
  if (!name) return libc(address, length, host, hostLength, service, serviceLength, flags);
  if (service != nullptr && serviceLength > 0) {
    const int rc = libc(address, length, nullptr, 0, service, serviceLength, flags);
    if (rc != 0) return rc;
  }
  if (name->size() >= hostLength) return EAI_OVERFLOW;
  std::memcpy(host, name->c_str(), name->size() + 1);
  return 0;
}

}  // namespace kst::substrate
