#include "hook/intercept/CaptureHooks.h"

#include <cstdarg>
#include <cstdint>

#include "hook/intercept/HostText.h"
#include "hook/store/KstSettingsManager.h"
#include "platform/resolver/Resolver.h"

namespace kst {

GetaddrinfoFn orig_getaddrinfo = ::getaddrinfo;
GethostbynameFn orig_gethostbyname = ::gethostbyname;
Gethostbyname2Fn orig_gethostbyname2 = ::gethostbyname2;
CurlEasySetoptFn orig_curl_easy_setopt = nullptr;
CurlUrlSetFn orig_curl_url_set = nullptr;
void (*orig_applicationDidResume)(KstId, KstSel) = nullptr;

namespace {

// libcurl's answer when it is asked to do what it cannot.
constexpr int kCurlFailedInit = 2;
constexpr int kCurlUrlBadHandle = 1;

// Hands a looked-up name to the host-name map. Addresses typed as text are
// not names and are not recorded.
void recordName(const char* name) {
  if (name == nullptr || *name == '\0') return;
  const std::string_view text(name);
  if (isNumericAddress(text) || !isUsableHostText(text)) return;
  if (KstSettingsManager* m = settingsManagerKst()) m->doHostStuff(text);
}

// A URL the application is about to fetch: its text for the prompt's URL
// line, its host for the map.
void recordUrl(const char* url) {
  if (url == nullptr) return;
  const std::string_view text(url);
  if (!isUtf8(text)) return;
  KstSettingsManager* m = settingsManagerKst();
  if (m == nullptr) return;
  m->appendUrl(std::string(text), true);
  if (std::optional<std::string> host = hostOfUrl(text)) recordName(host->c_str());
}

}  // namespace

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
  return orig_getaddrinfo(name, service, hints, result);
}

hostent* my_gethostbyname(const char* name) noexcept {
  recordName(name);
  return orig_gethostbyname(name);
}

hostent* my_gethostbyname2(const char* name, int family) noexcept {
  recordName(name);
  return orig_gethostbyname2(name, family);
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
  KstSettingsManager& m = ensureSettingsManagerKst();
  m.clearTempAnswers();
  m.clearHostMap();
  m.reloadAppSettings();
  m.reloadGlobalSettings();
  if (orig_applicationDidResume != nullptr) orig_applicationDidResume(self, cmd);
}

}  // namespace kst
