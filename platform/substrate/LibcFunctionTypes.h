#pragma once

// The types of the C library's (and libcurl's) functions that the library
// replaces, once for the trampolines, the hooks and the device's own name
// service.

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>

namespace kst {

using ConnectFn = int (*)(int, const sockaddr*, socklen_t);
using SendtoFn = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
using SendmsgFn = ssize_t (*)(int, const msghdr*, int);
using SendmmsgFn = int (*)(int, mmsghdr*, unsigned int, int);
using GetsockoptFn = int (*)(int, int, int, void*, socklen_t*);
using GetaddrinfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
using GethostbynameFn = hostent* (*)(const char*);
using Gethostbyname2Fn = hostent* (*)(const char*, int);
using GethostbynameRFn = int (*)(const char*, hostent*, char*, size_t, hostent**, int*);
using Gethostbyname2RFn = int (*)(const char*, int, hostent*, char*, size_t, hostent**, int*);
using GethostbyaddrFn = hostent* (*)(const void*, socklen_t, int);
using GetnameinfoFn = int (*)(const sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t, int);
using CurlEasySetoptFn = int (*)(void*, int, ...);
using CurlUrlSetFn = int (*)(void*, int, const char*, unsigned int);
using RecvFn = ssize_t (*)(int, void*, size_t, int);
using RecvfromFn = ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*);
using RecvmsgFn = ssize_t (*)(int, msghdr*, int);
using RecvmmsgFn = int (*)(int, mmsghdr*, unsigned int, int, timespec*);
using ReadFn = ssize_t (*)(int, void*, size_t);
using RecvChkFn = ssize_t (*)(int, void*, size_t, size_t, int);
using RecvfromChkFn = ssize_t (*)(int, void*, size_t, size_t, int, sockaddr*, socklen_t*);
using ReadChkFn = ssize_t (*)(int, void*, size_t, size_t);
using CloseFn = int (*)(int);
using Dup2Fn = int (*)(int, int);
using Dup3Fn = int (*)(int, int, int);
using CloseRangeFn = int (*)(unsigned int, unsigned int, int);
using ClosefromFn = void (*)(int);

}  // namespace kst
