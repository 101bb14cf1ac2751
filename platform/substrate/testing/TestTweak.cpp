// A tweak for the process tests: loaded by the substrate from a temporary
// device root's injection folder, it hooks the socket functions and the
// launch and resume entries and writes one line per event to the file
// named by KST_TEST_LOG. Steered by the environment:
//   KST_TEST_LAUNCH=function|method|both  which launch entry to hook
//   KST_TEST_NESTED_UDP=PORT             connect's replacement first sends a
//                                        datagram to 127.0.0.1:PORT itself

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/substrate/Substrate.h"

namespace {

void logLine(const char* format, ...) {
  const char* path = std::getenv("KST_TEST_LOG");
  if (path == nullptr) return;
  char line[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0) return;
  if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
  line[n++] = '\n';
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = ::write(fd, line, static_cast<size_t>(n));
  ::close(fd);
}

// The port of an IPv4 or IPv6 address, -1 for anything else (short,
// null, another family): the hook must never read past what it was given.
int portOf(const sockaddr* addr, socklen_t len) {
  if (addr == nullptr || len < sizeof(sa_family_t)) return -1;
  if (addr->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port);
  }
  if (addr->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(addr)->sin6_port);
  }
  return -1;
}

int (*orig_connect)(int, const sockaddr*, socklen_t) = nullptr;
ssize_t (*orig_sendto)(int, const void*, size_t, int, const sockaddr*, socklen_t) = nullptr;
ssize_t (*orig_sendmsg)(int, const msghdr*, int) = nullptr;
int (*orig_getaddrinfo)(const char*, const char*, const addrinfo*, addrinfo**) = nullptr;
int (*orig_UIApplicationMain)(int, char**, const char*, const char*) = nullptr;
void (*orig_didLaunch)(KstId, KstSel, KstId, KstId) = nullptr;

int my_connect(int fd, const sockaddr* addr, socklen_t len) {
  logLine("connect pid=%d port=%d inside=%d", ::getpid(), portOf(addr, len), kst_substrate_inside());
  if (const char* nested = std::getenv("KST_TEST_NESTED_UDP")) {
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::atoi(nested)));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(udp, "nested", 6, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(udp);
  }
  return orig_connect(fd, addr, len);
}

ssize_t my_sendto(int fd, const void* buf, size_t n, int flags, const sockaddr* addr, socklen_t len) {
  logLine("sendto pid=%d port=%d", ::getpid(), portOf(addr, len));
  return orig_sendto(fd, buf, n, flags, addr, len);
}

ssize_t my_sendmsg(int fd, const msghdr* message, int flags) {
  const int port =
      message != nullptr ? portOf(static_cast<const sockaddr*>(message->msg_name), message->msg_namelen) : -1;
  logLine("sendmsg pid=%d port=%d", ::getpid(), port);
  return orig_sendmsg(fd, message, flags);
}

int my_getaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** result) {
  logLine("getaddrinfo pid=%d name=%s inside=%d", ::getpid(), name != nullptr ? name : "(null)",
          kst_substrate_inside());
  return orig_getaddrinfo(name, service, hints, result);
}

int my_UIApplicationMain(int argc, char** argv, const char* principal, const char* delegate) {
  logLine("launch function pid=%d", ::getpid());
  return orig_UIApplicationMain(argc, argv, principal, delegate);
}

void my_didLaunch(KstId self, KstSel cmd, KstId workspace, KstId completion) {
  logLine("launch method pid=%d", ::getpid());
  orig_didLaunch(self, cmd, workspace, completion);
}

void my_applicationDidResume(KstId, KstSel) {
  char name[32] = "?";
  ::pthread_getname_np(::pthread_self(), name, sizeof name);
  logLine("resume pid=%d thread=%s", ::getpid(), name);
}

template <typename Fn>
void hook(void* symbol, void* replacement, Fn* orig) {
  MSHookFunction(symbol, replacement, reinterpret_cast<void**>(orig));
}

__attribute__((constructor)) void testTweakInitialize() {
  const char* id = std::getenv("KESTRIX_BUNDLE_ID");
  logLine("loaded pid=%d bundle=%s inside=%d", ::getpid(), id != nullptr ? id : "(none)",
          kst_substrate_inside());
  hook(reinterpret_cast<void*>(&::connect), reinterpret_cast<void*>(&my_connect), &orig_connect);
  hook(reinterpret_cast<void*>(&::sendto), reinterpret_cast<void*>(&my_sendto), &orig_sendto);
  hook(reinterpret_cast<void*>(&::sendmsg), reinterpret_cast<void*>(&my_sendmsg), &orig_sendmsg);
  hook(reinterpret_cast<void*>(&::getaddrinfo), reinterpret_cast<void*>(&my_getaddrinfo), &orig_getaddrinfo);

  const char* launch = std::getenv("KST_TEST_LAUNCH");
  const bool function =
      launch != nullptr && (std::strcmp(launch, "function") == 0 || std::strcmp(launch, "both") == 0);
  const bool method =
      launch != nullptr && (std::strcmp(launch, "method") == 0 || std::strcmp(launch, "both") == 0);
  if (function) {
    hook(reinterpret_cast<void*>(&::UIApplicationMain), reinterpret_cast<void*>(&my_UIApplicationMain),
         &orig_UIApplicationMain);
  }
  KstClass app = kst_objc_getClass("UIApplication");
  if (method) {
    MSHookMessageEx(app, kst_objc_selector("workspace:didLaunchWithCompletion:"),
                    reinterpret_cast<KstImp>(&my_didLaunch), reinterpret_cast<KstImp*>(&orig_didLaunch));
  }
  MSHookMessageEx(app, kst_objc_selector("applicationDidResume"),
                  reinterpret_cast<KstImp>(&my_applicationDidResume), nullptr);
  // Watched from now on, as the hook library does from its first judged call.
  kst_objc_watchResume();
}

}  // namespace
