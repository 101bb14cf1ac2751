// The SpringBoard of the end-to-end tests, started as
// `kestrix-launch com.apple.springboard --root R -- kst_e2e_springboard`.
// The hook library has already started SpringBoard's services in it; this
// program only finishes launching (the hook library's replacement of
// -[SpringBoard applicationDidFinishLaunching:] marks SpringBoard ready to
// answer), writes <root>/test/springboard.ready and sleeps until killed.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/substrate/Substrate.h"

int main() {
  KstClass springBoard = kst_objc_getClass("SpringBoard");
  KstSel didFinish = kst_objc_selector("applicationDidFinishLaunching:");
  KstImp imp = springBoard != nullptr ? kst_objc_getMethod(springBoard, didFinish) : nullptr;
  if (imp == nullptr) {
    std::fprintf(stderr, "kst_e2e_springboard: no SpringBoard class (is A_SpringBoardClasses installed?)\n");
    return 1;
  }
  if (kst_objc_isReplaced(springBoard, didFinish) == 0) {
    std::fprintf(stderr, "kst_e2e_springboard: applicationDidFinishLaunching: is not hooked\n");
  }
  reinterpret_cast<void (*)(void*, const void*, void*)>(imp)(nullptr, didFinish, nullptr);

  const char* root = std::getenv("KESTRIX_ROOT");
  const std::string ready = std::string(root != nullptr ? root : ".") + "/test/springboard.ready";
  { std::ofstream(ready + ".tmp") << getpid() << '\n'; }
  std::rename((ready + ".tmp").c_str(), ready.c_str());
  for (;;) ::pause();
}
