#pragma once

#include <string_view>
#include <type_traits>

#include "platform/objc/ObjcTypes.h"
#include "platform/substrate/InsideScope.h"

namespace kst::objc {

// The method table of the stand-in Objective-C runtime: the classes the
// platform's stand-ins register, their methods by selector, and
// MSHookMessageEx's replacement of a method's implementation.
//
// One table per process, kept by the substrate library; code in other
// libraries reaches it only through the substrate's C API (Substrate.h).
// Everything in it is immortal and append-only: classes, selectors and
// methods are never removed, so handles stay valid forever. Reads are
// lock-free and additions use compare-and-swap, so every function may be
// called from any thread, before main, from a forked child, and after
// static destructors. There is no class hierarchy: a method belongs to the
// class it was added to.

// The class named `name`, created when new. Stand-ins call this to exist.
KstClass registerClass(std::string_view name);
// The class named `name`, or nullptr when the process has no such class.
KstClass getClass(std::string_view name);
// The selector for `name`, interned: equal names give the same handle.
KstSel selector(std::string_view name);

const char* className(KstClass cls);
const char* selectorName(KstSel sel);

// Adds a method, like class_addMethod: false, and nothing changed, when the
// class already has one for `sel` (or an argument is null). `onReplaced`,
// when given, runs once, after the method is first replaced; the stand-in
// uses it to start what only a hooked method needs.
bool addMethod(KstClass cls, KstSel sel, KstImp imp, std::string_view types, void (*onReplaced)() = nullptr);

// The implementation a call runs now, or nullptr when the class has no
// such method. `replaced`, when given, tells whether it is a replacement.
KstImp methodImplementation(KstClass cls, KstSel sel, bool* replaced = nullptr);
// The encoded types given when the method was added ("" when none).
const char* methodTypes(KstClass cls, KstSel sel);

// MSHookMessageEx: makes `replacement` the method's implementation and
// writes the replaced one to *original. A method is replaced at most once:
// a later call leaves the first replacement in place, writes the original
// implementation and returns false. A missing class or method installs
// nothing and writes nullptr. `original` may be null.
bool replaceMethod(KstClass cls, KstSel sel, KstImp replacement, KstImp* original);

// Sends `sel` with `args` to `self`, an instance of `cls`, through the
// table; returns R() when the class has no such method. A replacement runs
// inside an InsideScope, like a replaced C function.
template <typename R, typename... Args>
R send(KstClass cls, KstSel sel, KstId self, Args... args) {
  bool replaced = false;
  const KstImp imp = methodImplementation(cls, sel, &replaced);
  if (imp == nullptr) {
    if constexpr (std::is_void_v<R>) {
      return;
    } else {
      return R();
    }
  }
  const auto fn = reinterpret_cast<R (*)(KstId, KstSel, Args...)>(imp);
  if (!replaced) return fn(self, sel, args...);
  substrate::InsideScope scope;
  return fn(self, sel, args...);
}

}  // namespace kst::objc
