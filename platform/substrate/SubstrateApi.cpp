// The exported C API of Substrate.h, over the hook table and the method
// table. No exception leaves these functions: the only ones that can arise
// (out of memory while the table grows, or while the resume watch starts)
// end in the quiet answer of a missing class or method.

#include "platform/substrate/Substrate.h"

#include "platform/objc/MethodTable.h"
#include "platform/objc/ResumeWatch.h"
#include "platform/substrate/HookTable.h"
#include "platform/substrate/InsideScope.h"

using kst::substrate::tInsideDepth;

extern "C" {

void MSHookFunction(void* symbol, void* replacement, void** result) {
  kst::substrate::HookSlot* slot = kst::substrate::findSlot(symbol);
  if (slot == nullptr) {
    if (result != nullptr) *result = symbol;
    return;
  }
  kst::substrate::install(*slot, replacement, result);
}

void MSHookMessageEx(KstClass cls, KstSel selector, KstImp replacement, KstImp* result) {
  try {
    kst::objc::replaceMethod(cls, selector, replacement, result);
  } catch (...) {
    // The replacement is in place; only what it needs next (the resume
    // watch) could not start.
  }
}

void kst_substrate_enter(void) {
  ++tInsideDepth;
}

void kst_substrate_leave(void) {
  if (tInsideDepth > 0) --tInsideDepth;
}

int kst_substrate_inside(void) {
  return kst::substrate::inside() ? 1 : 0;
}

KstClass kst_objc_getClass(const char* name) {
  return name != nullptr ? kst::objc::getClass(name) : nullptr;
}

KstClass kst_objc_registerClass(const char* name) {
  try {
    return name != nullptr ? kst::objc::registerClass(name) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

KstSel kst_objc_selector(const char* name) {
  try {
    return name != nullptr ? kst::objc::selector(name) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

int kst_objc_addMethod(KstClass cls, KstSel selector, KstImp imp, const char* types) {
  try {
    return kst::objc::addMethod(cls, selector, imp, types != nullptr ? types : "") ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

KstImp kst_objc_getMethod(KstClass cls, KstSel selector) {
  return kst::objc::methodImplementation(cls, selector);
}

int kst_objc_isReplaced(KstClass cls, KstSel selector) {
  bool replaced = false;
  kst::objc::methodImplementation(cls, selector, &replaced);
  return replaced ? 1 : 0;
}

void kst_objc_watchResume(void) {
  try {
    kst::objc::ResumeWatch::watch();
  } catch (...) {
    // Out of memory: the process goes on without its resume.
  }
}

}  // extern "C"
