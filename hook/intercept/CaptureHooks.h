#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/objc/ObjcTypes.h"

// The replacements that watch how an application names hosts and builds
// requests, before any socket is opened: every name it looks up goes to the
// host-name map, every URL it hands to libcurl to the captured URLs. On
// Linux the capture points are getaddrinfo, gethostbyname, gethostbyname2,
// and libcurl's curl_easy_setopt(CURLOPT_URL) and curl_url_set(CURLUPART_URL).
// Each calls the real function with the caller's arguments and returns its
// result unchanged; none waits for the network itself.
namespace kst {

using GetaddrinfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
using GethostbynameFn = hostent* (*)(const char*);
using Gethostbyname2Fn = hostent* (*)(const char*, int);
using CurlEasySetoptFn = int (*)(void*, int, ...);
using CurlUrlSetFn = int (*)(void*, int, const char*, unsigned int);

extern GetaddrinfoFn orig_getaddrinfo;
extern GethostbynameFn orig_gethostbyname;
extern Gethostbyname2Fn orig_gethostbyname2;
extern CurlEasySetoptFn orig_curl_easy_setopt;
extern CurlUrlSetFn orig_curl_url_set;
extern void (*orig_applicationDidResume)(KstId, KstSel);

// libcurl's numbers, kept here so its headers stay out of the hook library.
inline constexpr int kCurlOptUrl = 10002;
inline constexpr int kCurlUrlPartUrl = 0;

// The host of a URL text ("https://user@Host:8080/x" -> "Host"; brackets of
// an IPv6 host removed); nothing for a URL without one.
std::optional<std::string> hostOfUrl(std::string_view url);

int my_getaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** result) noexcept;
hostent* my_gethostbyname(const char* name) noexcept;
hostent* my_gethostbyname2(const char* name, int family) noexcept;
int my_curl_easy_setopt(void* handle, int option, ...) noexcept;
int my_curl_url_set(void* url, int what, const char* part, unsigned int flags) noexcept;
// The application is back in the foreground: the answers of this run end.
void my_applicationDidResume(KstId self, KstSel cmd) noexcept;

}  // namespace kst
