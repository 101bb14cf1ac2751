#pragma once

#include <atomic>
#include <cstddef>

namespace kst::substrate {

// The C functions the substrate interposes. Each has a trampoline (the
// library's exported definition of that name), the real function it
// forwards to, and at most one replacement installed by MSHookFunction.
enum class Hook : unsigned {
  kConnect,
  kSendto,
  kSendmsg,
  kSendmmsg,
  kGetaddrinfo,
  kGethostbyname,
  kGethostbyname2,
  kGethostbynameR,
  kGethostbyname2R,
  kGethostbyaddr,
  kGetnameinfo,
  kCurlEasySetopt,
  kCurlUrlSet,
  kUIApplicationMain,
  // The receive calls, where the answers of a program's own DNS client are
  // read, and close, which ends a descriptor's life.
  kRecv,
  kRecvfrom,
  kRecvmsg,
  kRecvmmsg,
  kRead,
  kRecvChk,
  kRecvfromChk,
  kReadChk,
  kClose,
  // Where a program reads a connecting socket's pending error.
  kGetsockopt,
  // The other ways a program ends or replaces a descriptor number.
  kDup2,
  kDup3,
  kCloseRange,
  kClosefrom,
  kCount,
};

// Where a slot's real function comes from.
enum class Origin : unsigned char {
  kNext,     // the next definition after this library: the C library's
  kCurl,     // libcurl's, also when the application loaded it privately
  kBuiltin,  // the stand-in's own (UIApplicationMain)
  kDevice,   // the device's name service, in front of the C library's
};

// One hookable function. `real` and `replacement` are written once (from
// null) and read with one atomic load each, so the trampolines need no lock
// in any thread, before main or in a forked child.
struct HookSlot {
  const char* name;
  Origin origin;
  // A host-name lookup: the whole call runs inside, so the resolver's own
  // socket calls pass untouched.
  bool lookup;
  std::atomic<void*> real;
  std::atomic<void*> replacement;
};

extern HookSlot gHookSlots[static_cast<std::size_t>(Hook::kCount)];

inline HookSlot& slot(Hook hook) {
  return gHookSlots[static_cast<std::size_t>(hook)];
}

// The real function, resolved now if it was not yet; nullptr when the
// process has none (no libcurl). Never takes a lock. A failing look-up
// costs a dlerror() allocation, so start() resolves every slot it can while
// allocating is safe, and later failures only happen for libcurl.
void* realFunction(Hook hook);

// Resolves every slot; run by the library's constructor.
void resolveAll();

// The slot `symbol` stands for: a trampoline, a real function, or another
// definition of the same name (a sanitizer's interceptor, a non-PIE
// program's canonical address). nullptr when the substrate does not
// interpose it.
HookSlot* findSlot(void* symbol);

// MSHookFunction on a slot: writes the function a replacement calls to reach
// the real one to *result (when given), then installs `replacement` unless
// the slot already has one. Returns whether it installed.
bool install(HookSlot& slot, void* replacement, void** result);

}  // namespace kst::substrate
