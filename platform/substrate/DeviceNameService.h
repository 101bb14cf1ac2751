#pragma once

#include <netdb.h>
#include <sys/socket.h>

namespace kst::substrate {

// The device's name service: lookups consult the device's hosts file
// (<root>/etc/hosts) before the C library's resolver, in both directions.
// What the substrate hands out as the "real" getaddrinfo, gethostbyname,
// gethostbyname2, their reentrant forms, gethostbyaddr and getnameinfo.
//
// Answers from the hosts file behave as the C library's own: the flags of
// getaddrinfo (AI_NUMERICHOST, AI_V4MAPPED, AI_ALL, AI_ADDRCONFIG,
// AI_CANONNAME) mean what they mean there, the canonical name is the first
// name of the line, a reentrant call that is given too small a buffer fails
// with ERANGE. A name the file does not list (for the family asked) goes to
// the C library, so does a numeric host.

// The C library's own functions, behind the device's; set once at start.
struct LibcNameService {
  void* getaddrinfo = nullptr;
  void* gethostbyname = nullptr;
  void* gethostbyname2 = nullptr;
  void* gethostbynameR = nullptr;
  void* gethostbyname2R = nullptr;
  void* gethostbyaddr = nullptr;
  void* getnameinfo = nullptr;
};
void setLibcNameService(const LibcNameService& libc);
// The functions as dlsym finds them through `handle` (RTLD_NEXT in the
// substrate, the C library's own handle in tests).
LibcNameService libcNameServiceFrom(void* handle);

int deviceGetaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** result);
// Results live in thread-local storage until the thread's next call, like
// the C library's own static results.
hostent* deviceGethostbyname(const char* name);
hostent* deviceGethostbyname2(const char* name, int family);
hostent* deviceGethostbyaddr(const void* address, socklen_t length, int family);
int deviceGethostbynameR(const char* name, hostent* entry, char* buffer, size_t size, hostent** result,
                         int* error);
int deviceGethostbyname2R(const char* name, int family, hostent* entry, char* buffer, size_t size,
                          hostent** result, int* error);
int deviceGetnameinfo(const sockaddr* address, socklen_t length, char* host, socklen_t hostLength,
                      char* service, socklen_t serviceLength, int flags);

}  // namespace kst::substrate
