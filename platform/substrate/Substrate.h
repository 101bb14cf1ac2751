#pragma once

// The substrate's API: what a hook library (or a stand-in of the platform
// living in another library) uses to replace C functions and methods.
// Include only this header and link libsubstrate.so; never link the
// substrate's sources into another library, since its state (replacements,
// the method table, the per-thread "inside" depth) must be one per process.
// In a process started by kestrix-launch the library is already loaded
// (LD_PRELOAD), and a library that needs it finds that copy by its soname.

#include "platform/objc/ObjcTypes.h"

#ifdef __cplusplus
#include <type_traits>
#endif

#define KST_SUBSTRATE_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

// Replaces a C function. `symbol` is the function's address as the caller
// sees it (&connect, or dlsym(RTLD_DEFAULT, "connect")), which is the
// substrate's own interposing definition; the address of the real function
// works as well. The functions that can be replaced: connect, sendto,
// sendmsg, sendmmsg, getaddrinfo, gethostbyname, gethostbyname2,
// gethostbyname_r, gethostbyname2_r, gethostbyaddr, getnameinfo,
// curl_easy_setopt, curl_url_set, UIApplicationMain, the receive calls
// recv, recvfrom, recvmsg, recvmmsg, read (and the fortified __recv_chk,
// __recvfrom_chk, __read_chk), close and getsockopt.
//
// *result (when `result` is not null) receives the real function, which
// the replacement calls to let a call through; it is written before the
// replacement can run. Installation is atomic and happens at most once per
// function: a later call changes nothing but still writes *result. A
// function the substrate does not interpose cannot be replaced: nothing is
// installed and *result receives `symbol` itself.
//
// A replacement runs inside (below), must not throw, and sees the caller's
// arguments and errno untouched; whatever it returns and leaves in errno is
// what the caller gets.
KST_SUBSTRATE_API void MSHookFunction(void* symbol, void* replacement, void** result);

// Replaces a method of a class of the stand-in runtime; *result receives
// the replaced implementation. At most once per method, like MSHookFunction.
// A class the process does not have (cls null) or a method the class does
// not have gets no replacement, and *result receives null.
KST_SUBSTRATE_API void MSHookMessageEx(KstClass cls, KstSel selector, KstImp replacement, KstImp* result);

// The calling thread's "inside" depth. While it is above zero, every
// replaceable C function goes straight to the real one: the thread is
// inside a replacement or a host-name lookup, or says with enter() that its
// calls are the hook library's own (a service thread talking to SpringBoard).
// enter() and leave() pair up; a leave() without enter() is ignored.
KST_SUBSTRATE_API void kst_substrate_enter(void);
KST_SUBSTRATE_API void kst_substrate_leave(void);
KST_SUBSTRATE_API int kst_substrate_inside(void);

// Whether the calling thread is running a signal handler of the program's
// (the substrate's sigaction and signal put every handler the program
// installs behind its own dispatcher). Such a thread may have been
// interrupted anywhere, inside malloc or holding a lock, so a replacement
// must then neither allocate nor lock. The handler's calls are never
// "inside", even when it interrupted a replacement.
KST_SUBSTRATE_API int kst_substrate_in_signal_handler(void);

// The stand-in runtime's method table (platform/objc/MethodTable.h says
// how it behaves). getClass() is null for a class the process does not
// have; registerClass() creates it. addMethod() returns 1 when added, 0
// when the class already has the method. isReplaced() tells whether
// MSHookMessageEx replaced it.
KST_SUBSTRATE_API KstClass kst_objc_getClass(const char* name);
KST_SUBSTRATE_API KstClass kst_objc_registerClass(const char* name);
KST_SUBSTRATE_API KstSel kst_objc_selector(const char* name);
KST_SUBSTRATE_API int kst_objc_addMethod(KstClass cls, KstSel selector, KstImp imp, const char* types);
KST_SUBSTRATE_API KstImp kst_objc_getMethod(KstClass cls, KstSel selector);
KST_SUBSTRATE_API int kst_objc_isReplaced(KstClass cls, KstSel selector);
// Starts watching the process's resume (SIGCONT) on its main queue when that
// waits to be done: after the resume method was first replaced, and in a
// forked child (never inside fork itself); elsewhere nothing. Not for signal
// handlers.
KST_SUBSTRATE_API void kst_objc_watchResume(void);

// The stand-in of the platform's UIApplicationMain, replaceable with
// MSHookFunction. The substrate calls it once before the program's own
// code: ahead of the program's constructors when a library loaded with the
// substrate has replaced either launch entry by then, else just before main;
// unreplaced, it sends -[UIApplication workspace:didLaunchWithCompletion:]
// and returns 0. So whichever of the two launch entries a hook library
// replaces runs exactly once, before main. The class names are ignored.
KST_SUBSTRATE_API int UIApplicationMain(int argc, char** argv, const char* principalClassName,
                                        const char* delegateClassName);

#ifdef __cplusplus
}  // extern "C"

namespace kst::substrate {

// What the libcurl trampolines return when the process has no libcurl:
// CURLE_FAILED_INIT from curl_easy_setopt, CURLUE_BAD_HANDLE from
// curl_url_set. Nothing is forwarded then.
inline constexpr int kCurlFailedInit = 2;
inline constexpr int kCurlUrlBadHandle = 1;

// The type of the one argument after a curl_easy_setopt option, by the
// option's number: long below 10000, an object pointer from 10000, a
// function pointer from 20000, a curl_off_t from 30000, a blob pointer from
// 40000. A replacement of the variadic curl_easy_setopt reads exactly that.
enum class CurlArgument { kLong, kObject, kFunction, kOffset, kBlob };
inline CurlArgument curlOptionArgument(int option) {
  if (option < 10000) return CurlArgument::kLong;
  if (option < 20000) return CurlArgument::kObject;
  if (option < 30000) return CurlArgument::kFunction;
  if (option < 40000) return CurlArgument::kOffset;
  return CurlArgument::kBlob;
}

// Marks the calling thread inside for the scope's lifetime: its calls of
// replaced functions pass straight to the real ones.
class PassThroughScope {
 public:
  PassThroughScope() { kst_substrate_enter(); }
  ~PassThroughScope() { kst_substrate_leave(); }
  PassThroughScope(const PassThroughScope&) = delete;
  PassThroughScope& operator=(const PassThroughScope&) = delete;
};

// Sends `selector` with `args` to `self`, an instance of `cls`: runs the
// method's current implementation, or returns R() when there is none. A
// replacement runs inside, like a replaced C function.
template <typename R, typename... Args>
R sendMessage(KstClass cls, KstSel selector, KstId self, Args... args) {
  const KstImp imp = kst_objc_getMethod(cls, selector);
  if (imp == nullptr) {
    if constexpr (std::is_void_v<R>) {
      return;
    } else {
      return R();
    }
  }
  const auto fn = reinterpret_cast<R (*)(KstId, KstSel, Args...)>(imp);
  if (kst_objc_isReplaced(cls, selector) == 0) return fn(self, selector, args...);
  PassThroughScope scope;
  return fn(self, selector, args...);
}

}  // namespace kst::substrate
#endif
