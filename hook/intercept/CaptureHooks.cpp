#include "hook/intercept/CaptureHooks.h"

#include <arpa/inet.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <vector>

#include "hook/intercept/KstLookedUpNames.h"
#include "hook/rules/HostText.h"
#include "hook/store/KstSettingsManager.h"
#include "platform/resolver/Resolver.h"

namespace kst {

GetaddrinfoFn orig_getaddrinfo = ::getaddrinfo;
GethostbynameFn orig_gethostbyname = ::gethostbyname;
Gethostbyname2Fn orig_gethostbyname2 = ::gethostbyname2;
GethostbynameRFn orig_gethostbyname_r = ::gethostbyname_r;
Gethostbyname2RFn orig_gethostbyname2_r = ::gethostbyname2_r;
CurlEasySetoptFn orig_curl_easy_setopt = nullptr;
CurlUrlSetFn orig_curl_url_set = nullptr;
void (*orig_applicationDidResume)(KstId, KstSel) = nullptr;

namespace {

// libcurl's answer when it is asked to do what it cannot.
constexpr int kCurlFailedInit = 2;
constexpr int kCurlUrlBadHandle = 1;

// The name a lookup asked for, as the map and the record keep it; nothing
// for an address typed as text, which is no name. An absolute name
// ("ads.example.") is the name without its final dot.
std::optional<std::string_view> lookedUpName(const char* name) {
  if (name == nullptr || *name == '\0') return std::nullopt;
  std::string_view text(name);
  if (text.size() > 1 && text.back() == '.') text.remove_suffix(1);
  if (isNumericAddress(text) || !isUsableHostText(text)) return std::nullopt;
  return text;
}

// What a capture does besides the real call never fails the call: a failure
// inside (out of memory) loses that record and leaves one line in the
// system log. errno stays as it was.
template <typename F>
void guarded(const char* what, const F& f) noexcept {
  const int savedErrno = errno;
  try {
    f();
  } catch (...) {
    ::syslog(LOG_WARNING, "Kestrix: %s failed; nothing recorded", what);
  }
  errno = savedErrno;
}

// Hands a looked-up name to the host-name map.
void recordName(const char* name) {
  guarded("handing a name to the host-name map", [&] {
    const std::optional<std::string_view> text = lookedUpName(name);
    if (!text) return;
    if (KstSettingsManager* m = settingsManagerKst()) m->doHostStuff(*text);
  });
}

// Collects a lookup's addresses, each once, in the order returned, as many
// as the record holds.
class AddressList {
 public:
  void add(std::optional<KstLookedUpNames::Address> a) {
    if (!a || list_.size() >= KstLookedUpNames::kSlots) return;
    if (std::find(list_.begin(), list_.end(), *a) == list_.end()) list_.push_back(*a);
  }
  // Records every address under `name`, the first returned last, so it is
  // the newest: programs try the addresses in order.
  void recordUnder(const char* name) const {
    const std::optional<std::string_view> text = lookedUpName(name);
    if (!text) return;
    for (auto it = list_.rbegin(); it != list_.rend(); ++it) lookedUpNames().record(*it, *text);
  }

 private:
  std::vector<KstLookedUpNames::Address> list_;
};

// Records the process's own answer. Leaves errno and h_errno as the lookup
// left them; an allocation that fails only loses the record.
template <typename Collect>
void recordAnswer(const char* name, const Collect& collect) noexcept {
  const int savedHErrno = h_errno;
  guarded("recording a lookup's answer", [&] {
    AddressList list;
    collect(list);
    list.recordUnder(name);
  });
  h_errno = savedHErrno;
}

void recordAddrinfo(const char* name, const addrinfo* result) noexcept {
  recordAnswer(name, [&](AddressList& list) {
    for (const addrinfo* r = result; r != nullptr; r = r->ai_next)
      list.add(KstLookedUpNames::addressOf(r->ai_addr, r->ai_addrlen));
  });
}

void recordHostent(const char* name, const hostent* entry) noexcept {
  if (entry == nullptr || entry->h_addr_list == nullptr) return;
  const int family = entry->h_addrtype;
  if ((family == AF_INET && entry->h_length != 4) || (family == AF_INET6 && entry->h_length != 16)) return;
  recordAnswer(name, [&](AddressList& list) {
    for (char** a = entry->h_addr_list; *a != nullptr; ++a) list.add(KstLookedUpNames::addressOf(family, *a));
  });
}

// curl's CURLOPT_RESOLVE list: "[+]HOST:PORT:ADDRESS[,ADDRESS]...", an IPv6
// address in brackets; "-HOST:PORT" removes an entry. The addresses curl
// will connect to for HOST, which it never looks up.
struct CurlSlist {
  char* data;
  CurlSlist* next;
};

void recordCurlResolve(const CurlSlist* list) noexcept {
  guarded("recording curl's resolve list", [&] {
    for (int n = 0; list != nullptr && n < 1024; list = list->next, ++n) {
      if (list->data == nullptr) continue;
      std::string_view entry(list->data);
      if (entry.starts_with('-')) continue;
      if (entry.starts_with('+')) entry.remove_prefix(1);
      const std::size_t hostEnd = entry.find(':');
      if (hostEnd == std::string_view::npos) continue;
      const std::string host(entry.substr(0, hostEnd));
      if (host == "*") continue;  // any host: names none
      const std::size_t portEnd = entry.find(':', hostEnd + 1);
      if (portEnd == std::string_view::npos) continue;
      std::string_view addresses = entry.substr(portEnd + 1);
      AddressList found;
      while (!addresses.empty()) {
        std::string_view one = addresses.substr(0, addresses.find(','));
        addresses.remove_prefix(std::min(addresses.size(), one.size() + 1));
        if (one.size() > 2 && one.front() == '[' && one.back() == ']') one = one.substr(1, one.size() - 2);
        const std::string text(one);
        unsigned char bytes[16] = {};
        if (::inet_pton(AF_INET, text.c_str(), bytes) == 1) {
          found.add(KstLookedUpNames::addressOf(AF_INET, bytes));
        } else if (::inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
          found.add(KstLookedUpNames::addressOf(AF_INET6, bytes));
        }
      }
      found.recordUnder(host.c_str());
      recordName(host.c_str());
    }
  });
}

// A URL the application is about to fetch: its text for the prompt's URL
// line, its host for the map.
void recordUrl(const char* url) {
  guarded("recording a URL", [&] {
    if (url == nullptr) return;
    const std::string_view text(url);
    if (!isUtf8(text)) return;
    KstSettingsManager* m = settingsManagerKst();
    if (m == nullptr) return;
    m->appendUrl(std::string(text), true);
    if (std::optional<std::string> host = hostOfUrl(text)) recordName(host->c_str());
  });
}

}  // namespace

void recordResolvedName(const std::string& name,
                        const std::vector<KstLookedUpNames::Address>& addresses) noexcept {
  recordName(name.c_str());
  recordAnswer(name.c_str(), [&](AddressList& list) {
    for (const KstLookedUpNames::Address& a : addresses) list.add(a);
  });
}

std::optional<std::string> hostOfUrl(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return std::nullopt;
  std::string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    rest = rest.substr(1, close - 1);
  } else {
    rest = rest.substr(0, rest.find(':'));
  }
  if (rest.empty()) return std::nullopt;
  return std::string(rest);
}

int my_getaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** result) noexcept {
  recordName(name);
  const int rc = orig_getaddrinfo(name, service, hints, result);
  if (rc == 0 && result != nullptr) recordAddrinfo(name, *result);
  return rc;
}

hostent* my_gethostbyname(const char* name) noexcept {
  recordName(name);
  hostent* entry = orig_gethostbyname(name);
  recordHostent(name, entry);
  return entry;
}

hostent* my_gethostbyname2(const char* name, int family) noexcept {
  recordName(name);
  hostent* entry = orig_gethostbyname2(name, family);
  recordHostent(name, entry);
  return entry;
}

int my_gethostbyname_r(const char* name, hostent* entry, char* buffer, size_t size, hostent** result,
                       int* error) noexcept {
  recordName(name);
  const int rc = orig_gethostbyname_r(name, entry, buffer, size, result, error);
  if (rc == 0 && result != nullptr) recordHostent(name, *result);
  return rc;
}

int my_gethostbyname2_r(const char* name, int family, hostent* entry, char* buffer, size_t size,
                        hostent** result, int* error) noexcept {
  recordName(name);
  const int rc = orig_gethostbyname2_r(name, family, entry, buffer, size, result, error);
  if (rc == 0 && result != nullptr) recordHostent(name, *result);
  return rc;
}

int my_curl_easy_setopt(void* handle, int option, ...) noexcept {
  const CurlEasySetoptFn real = orig_curl_easy_setopt;
  // Exactly one argument follows, of the type the option's number says.
  va_list args;
  va_start(args, option);
  int result = kCurlFailedInit;
  if (option < 10000) {
    const long value = va_arg(args, long);
    if (real != nullptr) result = real(handle, option, value);
  } else if (option < 30000) {
    void* value = va_arg(args, void*);
    if (option == kCurlOptUrl) recordUrl(static_cast<const char*>(value));
    if (option == kCurlOptResolve) recordCurlResolve(static_cast<const CurlSlist*>(value));
    if (real != nullptr) result = real(handle, option, value);
  } else if (option < 40000) {
    const std::int64_t value = va_arg(args, std::int64_t);
    if (real != nullptr) result = real(handle, option, value);
  } else {
    void* value = va_arg(args, void*);
    if (real != nullptr) result = real(handle, option, value);
  }
  va_end(args);
  return result;
}

int my_curl_url_set(void* url, int what, const char* part, unsigned int flags) noexcept {
  if (what == kCurlUrlPartUrl) recordUrl(part);
  const CurlUrlSetFn real = orig_curl_url_set;
  return real != nullptr ? real(url, what, part, flags) : kCurlUrlBadHandle;
}

void my_applicationDidResume(KstId self, KstSel cmd) noexcept {
  guarded("ending the answers of this run", [] {
    KstSettingsManager& m = ensureSettingsManagerKst();
    m.clearTempAnswers();
    m.clearHostMap();
    m.reloadAppSettings();
    m.reloadGlobalSettings();
  });
  if (orig_applicationDidResume != nullptr) orig_applicationDidResume(self, cmd);
}

}  // namespace kst
