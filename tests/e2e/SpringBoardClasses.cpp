// A tweak for the test SpringBoard (A_SpringBoardClasses.dylib, filtered to
// "com.apple.springboard"). Its name sorts before the loader's, so it loads
// first and registers the stand-in class "SpringBoard" with a no-op
// "applicationDidFinishLaunching:", which the hook library then replaces.

#include "platform/substrate/Substrate.h"

namespace {

void applicationDidFinishLaunching(KstId, KstSel, KstId) {}

__attribute__((constructor)) void registerSpringBoardClass() {
  KstClass springBoard = kst_objc_registerClass("SpringBoard");
  if (springBoard == nullptr) return;
  kst_objc_addMethod(springBoard, kst_objc_selector("applicationDidFinishLaunching:"),
                     reinterpret_cast<KstImp>(&applicationDidFinishLaunching), "v@:@");
}

}  // namespace
