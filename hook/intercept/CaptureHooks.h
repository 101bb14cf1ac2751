#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>

#include <vector>

#include "hook/intercept/KstLookedUpNames.h"
#include "platform/objc/ObjcTypes.h"
#include "platform/substrate/LibcFunctionTypes.h"

// The replacements that watch how an application names hosts and builds
// requests, before any socket is opened: every name it looks up goes to the
// host-name map, every URL it hands to libcurl to the captured URLs. On
// Linux the capture points are getaddrinfo, gethostbyname, gethostbyname2,
// their reentrant forms, and libcurl's curl_easy_setopt(CURLOPT_URL,
// CURLOPT_RESOLVE) and curl_url_set(CURLUPART_URL). Each calls the real
// function with the caller's arguments and returns its result (and errno)
// unchanged; none waits for the network itself.
//
// Besides handing names to the map, the lookups record every address they
// return under the name asked for in the process's own record
// (KstLookedUpNames), before they return: the process's next connect to
// one of those addresses is judged by that name.
namespace kst {

extern GetaddrinfoFn orig_getaddrinfo;
extern GethostbynameFn orig_gethostbyname;
extern Gethostbyname2Fn orig_gethostbyname2;
extern GethostbynameRFn orig_gethostbyname_r;
extern Gethostbyname2RFn orig_gethostbyname2_r;
extern CurlEasySetoptFn orig_curl_easy_setopt;
extern CurlUrlSetFn orig_curl_url_set;
extern void (*orig_applicationDidResume)(KstId, KstSel);

// libcurl's numbers, kept here so its headers stay out of the hook library.
inline constexpr int kCurlOptUrl = 10002;
inline constexpr int kCurlUrlPartUrl = 0;
inline constexpr int kCurlOptResolve = 10203;

// Records what a DNS answer the program read itself says, as a lookup's
// answer is recorded: the name to the host-name map, and each address (the
// first last, so it is the newest) under the name in the process's record.
void recordResolvedName(const std::string& name,
                        const std::vector<KstLookedUpNames::Address>& addresses) noexcept;

// The host of a URL text ("https://user@Host:8080/x" -> "Host"; brackets of
// an IPv6 host removed); nothing for a URL without one.
std::optional<std::string> hostOfUrl(std::string_view url);

int my_getaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** result) noexcept;
hostent* my_gethostbyname(const char* name) noexcept;
hostent* my_gethostbyname2(const char* name, int family) noexcept;
int my_gethostbyname_r(const char* name, hostent* entry, char* buffer, size_t size, hostent** result,
                       int* error) noexcept;
int my_gethostbyname2_r(const char* name, int family, hostent* entry, char* buffer, size_t size,
                        hostent** result, int* error) noexcept;
int my_curl_easy_setopt(void* handle, int option, ...) noexcept;
int my_curl_url_set(void* url, int what, const char* part, unsigned int flags) noexcept;
// The application is back in the foreground: the answers of this run end.
void my_applicationDidResume(KstId self, KstSel cmd) noexcept;

}  // namespace kst
