// The interposing definitions. Each exported function here shadows the C
// library's (or libcurl's) for the whole process, and forwards to the real
// one until MSHookFunction installs a replacement. The fast path is an
// atomic load of the replacement and one of the real function. Nothing here
// locks or touches errno; only a function the process does not have (no
// libcurl) costs a failing look-up, which allocates, on each call.
//
// A replacement runs inside an InsideScope; a host-name lookup runs inside
// one whether replaced or not. Inside, every trampoline goes straight to the
// real function, so the hook library's own calls and the resolver's pass
// untouched.

#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <type_traits>

#include "platform/objc/UIApplication.h"
#include "platform/substrate/HookTable.h"
#include "platform/substrate/InsideScope.h"
#include "platform/substrate/LibcFunctionTypes.h"
#include "platform/substrate/SignalTable.h"
#include "platform/substrate/Substrate.h"
#include "platform/substrate/Trampolines.h"

namespace kst::substrate {

namespace {

template <Hook H, typename Fn, typename Fail, typename... Args>
[[gnu::always_inline]] inline std::invoke_result_t<Fn, Args...> forward(Fail fail, Args... args) noexcept {
  forgetLeftHandlers();
  HookSlot& s = slot(H);
  if (void* replacement = s.replacement.load(std::memory_order_acquire);
      replacement != nullptr && !inside()) {
    InsideScope scope;
    return reinterpret_cast<Fn>(replacement)(args...);
  }
  void* real = s.real.load(std::memory_order_acquire);
  if (real == nullptr) real = realFunction(H);
  if (real == nullptr) return fail();
  if (s.lookup) {
    InsideScope scope;
    return reinterpret_cast<Fn>(real)(args...);
  }
  return reinterpret_cast<Fn>(real)(args...);
}

// Straight to the real function, replacement or not.
template <Hook H, typename Fn, typename Fail, typename... Args>
std::invoke_result_t<Fn, Args...> forwardToReal(Fail fail, Args... args) noexcept {
  void* real = realFunction(H);
  if (real == nullptr) return fail();
  return reinterpret_cast<Fn>(real)(args...);
}

// What a call of a function the process does not have returns.
int failWithMinusOne() {
  errno = ENOSYS;
  return -1;
}
ssize_t failWithMinusOneSize() {
  errno = ENOSYS;
  return -1;
}
int failLookup() {
  errno = ENOSYS;
  return EAI_SYSTEM;
}
hostent* failHostent() {
  h_errno = NO_RECOVERY;
  return nullptr;
}
int failReentrant() {
  return ENOSYS;
}
int failCurl() {
  return kCurlFailedInit;
}
int failCurlUrl() {
  return kCurlUrlBadHandle;
}

// Reads the one argument that follows `option`, with the type its number
// says, and hands it on: the caller passed exactly that.
template <typename Call>
int withCurlArgument(int option, va_list args, const Call& call) {
  switch (curlOptionArgument(option)) {
    case CurlArgument::kLong:
      return call(va_arg(args, long));
    case CurlArgument::kObject:
      return call(va_arg(args, void*));
    case CurlArgument::kFunction:
      return call(va_arg(args, void (*)()));
    case CurlArgument::kOffset:
      return call(va_arg(args, std::int64_t));
    case CurlArgument::kBlob:
      return call(va_arg(args, void*));
  }
  return kCurlFailedInit;
}

int lateCurlEasySetopt(void* handle, int option, ...) {
  va_list args;
  va_start(args, option);
  const int result = withCurlArgument(option, args, [&](auto value) {
    return forwardToReal<Hook::kCurlEasySetopt, CurlEasySetoptFn>(failCurl, handle, option, value);
  });
  va_end(args);
  return result;
}

int lateCurlUrlSet(void* url, int what, const char* part, unsigned int flags) {
  return forwardToReal<Hook::kCurlUrlSet, CurlUrlSetFn>(failCurlUrl, url, what, part, flags);
}

}  // namespace

}  // namespace kst::substrate

using kst::substrate::forward;
using kst::substrate::Hook;

#define KST_EXPORT extern "C" __attribute__((visibility("default")))

KST_EXPORT int connect(int fd, const sockaddr* addr, socklen_t len) {
  return forward<Hook::kConnect, kst::ConnectFn>(kst::substrate::failWithMinusOne, fd, addr, len);
}

KST_EXPORT ssize_t sendto(int fd, const void* buf, size_t n, int flags, const sockaddr* addr, socklen_t len) {
  return forward<Hook::kSendto, kst::SendtoFn>(kst::substrate::failWithMinusOneSize, fd, buf, n,
                                                          flags, addr, len);
}

KST_EXPORT ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  return forward<Hook::kSendmsg, kst::SendmsgFn>(kst::substrate::failWithMinusOneSize, fd, message,
                                                            flags);
}

KST_EXPORT int sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) {
  return forward<Hook::kSendmmsg, kst::SendmmsgFn>(kst::substrate::failWithMinusOne, fd, messages,
                                                              count, flags);
}

KST_EXPORT int getaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** result) {
  return forward<Hook::kGetaddrinfo, kst::GetaddrinfoFn>(kst::substrate::failLookup, name, service,
                                                                    hints, result);
}

KST_EXPORT hostent* gethostbyname(const char* name) {
  return forward<Hook::kGethostbyname, kst::GethostbynameFn>(kst::substrate::failHostent, name);
}

KST_EXPORT hostent* gethostbyname2(const char* name, int family) {
  return forward<Hook::kGethostbyname2, kst::Gethostbyname2Fn>(kst::substrate::failHostent, name,
                                                                          family);
}

KST_EXPORT int gethostbyname_r(const char* name, hostent* entry, char* buf, size_t size, hostent** result,
                               int* error) {
  return forward<Hook::kGethostbynameR, kst::GethostbynameRFn>(kst::substrate::failReentrant, name,
                                                                          entry, buf, size, result, error);
}

KST_EXPORT int gethostbyname2_r(const char* name, int family, hostent* entry, char* buf, size_t size,
                                hostent** result, int* error) {
  return forward<Hook::kGethostbyname2R, kst::Gethostbyname2RFn>(
      kst::substrate::failReentrant, name, family, entry, buf, size, result, error);
}

KST_EXPORT hostent* gethostbyaddr(const void* addr, socklen_t len, int type) {
  return forward<Hook::kGethostbyaddr, kst::GethostbyaddrFn>(kst::substrate::failHostent, addr,
                                                                        len, type);
}

KST_EXPORT int getnameinfo(const sockaddr* addr, socklen_t len, char* host, socklen_t hostLen, char* service,
                           socklen_t serviceLen, int flags) {
  return forward<Hook::kGetnameinfo, kst::GetnameinfoFn>(
      kst::substrate::failLookup, addr, len, host, hostLen, service, serviceLen, flags);
}

// libcurl's prototypes are spelled with plain types here, so that its
// headers (and their type-checking macros) stay out of this file.
KST_EXPORT int curl_easy_setopt(void* handle, int option, ...) {
  va_list args;
  va_start(args, option);
  const int result = kst::substrate::withCurlArgument(option, args, [&](auto value) {
    return forward<Hook::kCurlEasySetopt, kst::CurlEasySetoptFn>(kst::substrate::failCurl, handle,
                                                                            option, value);
  });
  va_end(args);
  return result;
}

KST_EXPORT int curl_url_set(void* url, int what, const char* part, unsigned int flags) {
  return forward<Hook::kCurlUrlSet, kst::CurlUrlSetFn>(kst::substrate::failCurlUrl, url, what,
                                                                  part, flags);
}

KST_EXPORT int UIApplicationMain(int argc, char** argv, const char* principalClassName,
                                 const char* delegateClassName) {
  return forward<Hook::kUIApplicationMain, kst::objc::UIApplicationMainFn>(
      [] { return 0; }, argc, argv, principalClassName, delegateClassName);
}

// The receive calls and close: the fortified forms (_FORTIFY_SOURCE builds
// call them) as well as the plain ones.
KST_EXPORT ssize_t recv(int fd, void* buf, size_t n, int flags) {
  return forward<Hook::kRecv, kst::RecvFn>(kst::substrate::failWithMinusOneSize, fd, buf, n,
                                                      flags);
}

KST_EXPORT ssize_t recvfrom(int fd, void* buf, size_t n, int flags, sockaddr* addr, socklen_t* len) {
  return forward<Hook::kRecvfrom, kst::RecvfromFn>(kst::substrate::failWithMinusOneSize, fd, buf,
                                                              n, flags, addr, len);
}

KST_EXPORT ssize_t recvmsg(int fd, msghdr* message, int flags) {
  return forward<Hook::kRecvmsg, kst::RecvmsgFn>(kst::substrate::failWithMinusOneSize, fd, message,
                                                            flags);
}

KST_EXPORT int recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) {
  return forward<Hook::kRecvmmsg, kst::RecvmmsgFn>(kst::substrate::failWithMinusOne, fd, messages,
                                                              count, flags, timeout);
}

KST_EXPORT ssize_t read(int fd, void* buf, size_t n) {
  return forward<Hook::kRead, kst::ReadFn>(kst::substrate::failWithMinusOneSize, fd, buf, n);
}

KST_EXPORT ssize_t __recv_chk(int fd, void* buf, size_t n, size_t buflen, int flags) {
  return forward<Hook::kRecvChk, kst::RecvChkFn>(kst::substrate::failWithMinusOneSize, fd, buf, n,
                                                            buflen, flags);
}

KST_EXPORT ssize_t __recvfrom_chk(int fd, void* buf, size_t n, size_t buflen, int flags, sockaddr* addr,
                                  socklen_t* len) {
  return forward<Hook::kRecvfromChk, kst::RecvfromChkFn>(kst::substrate::failWithMinusOneSize, fd,
                                                                    buf, n, buflen, flags, addr, len);
}

KST_EXPORT ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen) {
  return forward<Hook::kReadChk, kst::ReadChkFn>(kst::substrate::failWithMinusOneSize, fd, buf, n,
                                                            buflen);
}

KST_EXPORT int close(int fd) {
  return forward<Hook::kClose, kst::CloseFn>(kst::substrate::failWithMinusOne, fd);
}

KST_EXPORT int getsockopt(int fd, int level, int name, void* value, socklen_t* length) {
  return forward<Hook::kGetsockopt, kst::GetsockoptFn>(kst::substrate::failWithMinusOne, fd, level,
                                                                  name, value, length);
}

KST_EXPORT int dup2(int oldFd, int newFd) {
  return forward<Hook::kDup2, kst::Dup2Fn>(kst::substrate::failWithMinusOne, oldFd, newFd);
}

KST_EXPORT int dup3(int oldFd, int newFd, int flags) {
  return forward<Hook::kDup3, kst::Dup3Fn>(kst::substrate::failWithMinusOne, oldFd, newFd, flags);
}

KST_EXPORT int close_range(unsigned int first, unsigned int last, int flags) {
  return forward<Hook::kCloseRange, kst::CloseRangeFn>(kst::substrate::failWithMinusOne, first, last,
                                                                  flags);
}

KST_EXPORT void closefrom(int lowest) {
  forward<Hook::kClosefrom, kst::ClosefromFn>([] {}, lowest);
}

namespace kst::substrate {

void* trampolineAddress(Hook hook) {
  switch (hook) {
    case Hook::kConnect:
      return reinterpret_cast<void*>(&::connect);
    case Hook::kSendto:
      return reinterpret_cast<void*>(&::sendto);
    case Hook::kSendmsg:
      return reinterpret_cast<void*>(&::sendmsg);
    case Hook::kSendmmsg:
      return reinterpret_cast<void*>(&::sendmmsg);
    case Hook::kGetaddrinfo:
      return reinterpret_cast<void*>(&::getaddrinfo);
    case Hook::kGethostbyname:
      return reinterpret_cast<void*>(&::gethostbyname);
    case Hook::kGethostbyname2:
      return reinterpret_cast<void*>(&::gethostbyname2);
    case Hook::kGethostbynameR:
      return reinterpret_cast<void*>(&::gethostbyname_r);
    case Hook::kGethostbyname2R:
      return reinterpret_cast<void*>(&::gethostbyname2_r);
    case Hook::kGethostbyaddr:
      return reinterpret_cast<void*>(&::gethostbyaddr);
    case Hook::kGetnameinfo:
      return reinterpret_cast<void*>(&::getnameinfo);
    case Hook::kCurlEasySetopt:
      return reinterpret_cast<void*>(&::curl_easy_setopt);
    case Hook::kCurlUrlSet:
      return reinterpret_cast<void*>(&::curl_url_set);
    case Hook::kUIApplicationMain:
      return reinterpret_cast<void*>(&::UIApplicationMain);
    case Hook::kRecv:
      return reinterpret_cast<void*>(&::recv);
    case Hook::kRecvfrom:
      return reinterpret_cast<void*>(&::recvfrom);
    case Hook::kRecvmsg:
      return reinterpret_cast<void*>(&::recvmsg);
    case Hook::kRecvmmsg:
      return reinterpret_cast<void*>(&::recvmmsg);
    case Hook::kRead:
      return reinterpret_cast<void*>(&::read);
    case Hook::kRecvChk:
      return reinterpret_cast<void*>(&::__recv_chk);
    case Hook::kRecvfromChk:
      return reinterpret_cast<void*>(&::__recvfrom_chk);
    case Hook::kReadChk:
      return reinterpret_cast<void*>(&::__read_chk);
    case Hook::kClose:
      return reinterpret_cast<void*>(&::close);
    case Hook::kGetsockopt:
      return reinterpret_cast<void*>(&::getsockopt);
    case Hook::kDup2:
      return reinterpret_cast<void*>(&::dup2);
    case Hook::kDup3:
      return reinterpret_cast<void*>(&::dup3);
    case Hook::kCloseRange:
      return reinterpret_cast<void*>(&::close_range);
    case Hook::kClosefrom:
      return reinterpret_cast<void*>(&::closefrom);
    case Hook::kCount:
      break;
  }
  return nullptr;
}

void* lateForwarderAddress(Hook hook) {
  switch (hook) {
    case Hook::kCurlEasySetopt:
      return reinterpret_cast<void*>(&lateCurlEasySetopt);
    case Hook::kCurlUrlSet:
      return reinterpret_cast<void*>(&lateCurlUrlSet);
    default:
      return nullptr;
  }
}

void* builtinAddress(Hook hook) {
  return hook == Hook::kUIApplicationMain ? reinterpret_cast<void*>(&objc::defaultApplicationMain) : nullptr;
}

}  // namespace kst::substrate
