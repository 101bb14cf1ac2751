#pragma once

#include <netdb.h>

// The device's name service: forward lookups consult the device's hosts
// file (<root>/etc/hosts) before the C library's resolver, as the device's
// resolver does for reverse lookups. What the substrate hands out as the
// "real" getaddrinfo, gethostbyname and gethostbyname2.
namespace kst::substrate {

// The C library's own functions, behind the device's; set once at start.
void setLibcNameService(void* getaddrinfo, void* gethostbyname, void* gethostbyname2);

int deviceGetaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** result);
// Results live in thread-local storage until the thread's next call, like
// the C library's own static results.
hostent* deviceGethostbyname(const char* name);
hostent* deviceGethostbyname2(const char* name, int family);

}  // namespace kst::substrate
