#include "platform/substrate/HookTable.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/substrate/DeviceNameService.h"
#include "platform/substrate/Trampolines.h"

namespace kst::substrate {

namespace {
constexpr std::size_t kSlotCount = static_cast<std::size_t>(Hook::kCount);
}  // namespace

// Constant-initialised (names and nulls only), so the table is whole before
// any code of the library runs. In the enum's order.
constinit HookSlot gHookSlots[kSlotCount] = {
    {"connect", Origin::kNext, false, {nullptr}, {nullptr}},
    {"sendto", Origin::kNext, false, {nullptr}, {nullptr}},
    {"sendmsg", Origin::kNext, false, {nullptr}, {nullptr}},
    {"sendmmsg", Origin::kNext, false, {nullptr}, {nullptr}},
    {"getaddrinfo", Origin::kDevice, true, {nullptr}, {nullptr}},
    {"gethostbyname", Origin::kDevice, true, {nullptr}, {nullptr}},
    {"gethostbyname2", Origin::kDevice, true, {nullptr}, {nullptr}},
    {"gethostbyname_r", Origin::kDevice, true, {nullptr}, {nullptr}},
    {"gethostbyname2_r", Origin::kDevice, true, {nullptr}, {nullptr}},
    {"gethostbyaddr", Origin::kDevice, true, {nullptr}, {nullptr}},
    {"getnameinfo", Origin::kDevice, true, {nullptr}, {nullptr}},
    {"curl_easy_setopt", Origin::kCurl, false, {nullptr}, {nullptr}},
    {"curl_url_set", Origin::kCurl, false, {nullptr}, {nullptr}},
    {"UIApplicationMain", Origin::kBuiltin, false, {nullptr}, {nullptr}},
    {"recv", Origin::kNext, false, {nullptr}, {nullptr}},
    {"recvfrom", Origin::kNext, false, {nullptr}, {nullptr}},
    {"recvmsg", Origin::kNext, false, {nullptr}, {nullptr}},
    {"recvmmsg", Origin::kNext, false, {nullptr}, {nullptr}},
    {"read", Origin::kNext, false, {nullptr}, {nullptr}},
    {"__recv_chk", Origin::kNext, false, {nullptr}, {nullptr}},
    {"__recvfrom_chk", Origin::kNext, false, {nullptr}, {nullptr}},
    {"__read_chk", Origin::kNext, false, {nullptr}, {nullptr}},
    {"close", Origin::kNext, false, {nullptr}, {nullptr}},
    {"getsockopt", Origin::kNext, false, {nullptr}, {nullptr}},
    {"dup2", Origin::kNext, false, {nullptr}, {nullptr}},
    {"dup3", Origin::kNext, false, {nullptr}, {nullptr}},
    {"close_range", Origin::kNext, false, {nullptr}, {nullptr}},
    {"closefrom", Origin::kNext, false, {nullptr}, {nullptr}},
};

namespace {

// A libcurl the process has loaded (any of the names it goes by: libcurl,
// libcurl-gnutls, libcurl-nss, each with its version), found among the
// loaded objects without touching the disk: asking dlopen for a name that is
// not loaded makes it search every library folder, which costs a process
// without libcurl (most of them) a hundred failed system calls at start.
struct LoadedCurl {
  char path[4096] = {};
  std::size_t skip = 0;  // how many matches to pass over
};

int findLoadedCurl(dl_phdr_info* info, std::size_t, void* data) {
  auto* found = static_cast<LoadedCurl*>(data);
  const char* name = info->dlpi_name;
  if (name == nullptr || *name == '\0') return 0;
  const char* slash = std::strrchr(name, '/');
  const std::string_view base(slash != nullptr ? slash + 1 : name);
  if (!base.starts_with("libcurl") || base.find(".so") == std::string_view::npos) return 0;
  if (found->skip > 0) {
    --found->skip;
    return 0;
  }
  const std::size_t length = std::strlen(name);
  if (length >= sizeof found->path) return 0;
  std::memcpy(found->path, name, length + 1);
  return 1;
}

// `symbol` of a loaded libcurl, also one opened privately (RTLD_LOCAL, so
// outside the global scope RTLD_NEXT searches): its handle still finds it.
// NOLOAD with the loaded object's own path never loads anything.
void* loadedCurlSymbol(const char* symbol) {
  for (std::size_t skip = 0;; ++skip) {
    LoadedCurl found;
    found.skip = skip;
    if (::dl_iterate_phdr(&findLoadedCurl, &found) == 0) return nullptr;
    void* handle = ::dlopen(found.path, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) continue;
    if (void* fn = ::dlsym(handle, symbol)) return fn;  // the handle stays open, as libcurl does
    ::dlclose(handle);
  }
}

void* lookUp(const HookSlot& s) {
  switch (s.origin) {
    case Origin::kBuiltin:
      return builtinAddress(static_cast<Hook>(&s - gHookSlots));
    case Origin::kNext:
      return ::dlsym(RTLD_NEXT, s.name);
    case Origin::kDevice: {
      // The device's name service stands in front of the C library's.
      static std::once_flag once;
      std::call_once(once, [] { setLibcNameService(libcNameServiceFrom(RTLD_NEXT)); });
      switch (static_cast<Hook>(&s - gHookSlots)) {
        case Hook::kGetaddrinfo:
          return reinterpret_cast<void*>(&deviceGetaddrinfo);
        case Hook::kGethostbyname:
          return reinterpret_cast<void*>(&deviceGethostbyname);
        case Hook::kGethostbyname2:
          return reinterpret_cast<void*>(&deviceGethostbyname2);
        case Hook::kGethostbynameR:
          return reinterpret_cast<void*>(&deviceGethostbynameR);
        case Hook::kGethostbyname2R:
          return reinterpret_cast<void*>(&deviceGethostbyname2R);
        case Hook::kGethostbyaddr:
          return reinterpret_cast<void*>(&deviceGethostbyaddr);
        case Hook::kGetnameinfo:
          return reinterpret_cast<void*>(&deviceGetnameinfo);
        default:
          return nullptr;
      }
    }
    case Origin::kCurl: {
      if (void* next = ::dlsym(RTLD_NEXT, s.name)) return next;
      return loadedCurlSymbol(s.name);
    }
  }
  return nullptr;
}

// "__interceptor_connect" and the like: a sanitizer's definition of connect.
std::string_view withoutInterceptorPrefix(std::string_view name) {
  for (std::string_view prefix : {"___interceptor_", "__interceptor_"}) {
    if (name.starts_with(prefix)) return name.substr(prefix.size());
  }
  return name;
}

}  // namespace

void* realFunction(Hook hook) {
  HookSlot& s = slot(hook);
  if (void* known = s.real.load(std::memory_order_acquire)) return known;
  void* found = lookUp(s);
  // Racing resolvers find the same function; the first store wins.
  if (found != nullptr) {
    void* expected = nullptr;
    if (!s.real.compare_exchange_strong(expected, found, std::memory_order_acq_rel)) return expected;
  }
  return found;
}

void resolveAll() {
  for (std::size_t i = 0; i < kSlotCount; ++i) realFunction(static_cast<Hook>(i));
}

HookSlot* findSlot(void* symbol) {
  if (symbol == nullptr) return nullptr;
  for (HookSlot& s : gHookSlots) {
    const Hook hook = static_cast<Hook>(&s - gHookSlots);
    if (symbol == trampolineAddress(hook) || symbol == s.real.load(std::memory_order_acquire)) return &s;
  }
  Dl_info info;
  if (::dladdr(symbol, &info) == 0 || info.dli_sname == nullptr || info.dli_saddr != symbol) return nullptr;
  const std::string_view name = withoutInterceptorPrefix(info.dli_sname);
  for (HookSlot& s : gHookSlots) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

bool install(HookSlot& s, void* replacement, void** result) {
  if (result != nullptr) {
    const Hook hook = static_cast<Hook>(&s - gHookSlots);
    void* real = realFunction(hook);
    *result = real != nullptr ? real : lateForwarderAddress(hook);
  }
  if (replacement == nullptr) return false;
  void* expected = nullptr;
  return s.replacement.compare_exchange_strong(expected, replacement, std::memory_order_acq_rel);
}

}  // namespace kst::substrate
