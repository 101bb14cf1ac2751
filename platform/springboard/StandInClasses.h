#pragma once

#include "platform/objc/ObjcTypes.h"

namespace kst::springboard {

// The substrate's runtime API as the shell reaches it: looked up in the
// process at run time, never linked, because the shell's library must start
// before the substrate's (see ShellLibrary.cpp). All null when the process
// runs without the substrate.
struct RuntimeApi {
  KstClass (*getClass)(const char*) = nullptr;
  KstClass (*registerClass)(const char*) = nullptr;
  KstSel (*selector)(const char*) = nullptr;
  int (*addMethod)(KstClass, KstSel, KstImp, const char*) = nullptr;
  KstImp (*getMethod)(KstClass, KstSel) = nullptr;

  bool available() const { return registerClass != nullptr && addMethod != nullptr && getMethod != nullptr; }
  static const RuntimeApi& process();
};

// Registers SpringBoard's stand-in classes (SpringBoardApi.h) with their
// methods over DeviceState::shared(). Does nothing without the substrate.
// Main thread, before the hook library loads; again is harmless.
void registerStandInClasses();

// Sends a method through the table, so that a replacement runs: R() when
// the class or method is missing.
template <typename R, typename... Args>
R send(const char* cls, const char* sel, Args... args) {
  const RuntimeApi& api = RuntimeApi::process();
  if (!api.available()) return R();
  KstClass c = api.getClass(cls);
  KstImp imp = c != nullptr ? api.getMethod(c, api.selector(sel)) : nullptr;
  if (imp == nullptr) return R();
  return reinterpret_cast<R (*)(KstId, KstSel, Args...)>(imp)(nullptr, api.selector(sel), args...);
}

}  // namespace kst::springboard
