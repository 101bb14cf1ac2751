#include "platform/objc/MethodTable.h"

#include <atomic>
#include <string>

// The table is three kinds of singly linked lists with an atomic head:
// selectors, classes, and each class's methods. A node is published whole
// by a compare-and-swap on the head and never changes afterwards except for
// its atomic fields, so readers walk the lists without locks.

struct KstObjcSelector {
  std::string name;
  KstObjcSelector* next = nullptr;
};

struct KstObjcMethod {
  KstSel selector = nullptr;
  KstImp original = nullptr;
  std::atomic<KstImp> imp{nullptr};
  std::atomic<bool> hooked{false};
  std::string types;
  void (*onReplaced)() = nullptr;
  KstObjcMethod* next = nullptr;
};

struct KstObjcClass {
  std::string name;
  std::atomic<KstObjcMethod*> methods{nullptr};
  KstObjcClass* next = nullptr;
};

namespace kst::objc {

namespace {

constinit std::atomic<KstObjcSelector*> gSelectors{nullptr};
constinit std::atomic<KstObjcClass*> gClasses{nullptr};

// Finds the node for which `matches` holds, walking from `head` down to
// (not including) `stop`.
template <typename Node, typename Match>
Node* findFrom(Node* head, const Node* stop, const Match& matches) {
  for (Node* node = head; node != nullptr && node != stop; node = node->next) {
    if (matches(*node)) return node;
  }
  return nullptr;
}

// Returns the node matching `matches`, inserting the one `make` builds when
// there is none; `inserted` tells which happened. Two threads adding the
// same key at once end with one node: the loser of the race finds the
// winner's node on its next pass.
template <typename Node, typename Match, typename Make>
Node* findOrInsert(std::atomic<Node*>& head, const Match& matches, const Make& make,
                   bool* inserted = nullptr) {
  if (inserted != nullptr) *inserted = false;
  Node* seen = head.load(std::memory_order_acquire);
  if (Node* found = findFrom(seen, static_cast<const Node*>(nullptr), matches)) return found;
  Node* fresh = make();
  for (;;) {
    fresh->next = seen;
    if (head.compare_exchange_weak(fresh->next, fresh, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
      if (inserted != nullptr) *inserted = true;
      return fresh;
    }
    // Someone else published first: only the nodes in front of `seen` are new.
    Node* now = fresh->next;
    if (Node* found = findFrom(now, seen, matches)) {
      delete fresh;
      return found;
    }
    seen = now;
  }
}

KstObjcMethod* findMethod(KstClass cls, KstSel sel) {
  if (cls == nullptr || sel == nullptr) return nullptr;
  return findFrom(cls->methods.load(std::memory_order_acquire), static_cast<const KstObjcMethod*>(nullptr),
                  [sel](const KstObjcMethod& m) { return m.selector == sel; });
}

}  // namespace

KstClass registerClass(std::string_view name) {
  return findOrInsert(
      gClasses, [name](const KstObjcClass& c) { return c.name == name; },
      [name] {
        auto* cls = new KstObjcClass;
        cls->name = std::string(name);
        return cls;
      });
}

KstClass getClass(std::string_view name) {
  return findFrom(gClasses.load(std::memory_order_acquire), static_cast<const KstObjcClass*>(nullptr),
                  [name](const KstObjcClass& c) { return c.name == name; });
}

KstSel selector(std::string_view name) {
  return findOrInsert(
      gSelectors, [name](const KstObjcSelector& s) { return s.name == name; },
      [name] {
        auto* sel = new KstObjcSelector;
        sel->name = std::string(name);
        return sel;
      });
}

const char* className(KstClass cls) {
  return cls != nullptr ? cls->name.c_str() : nullptr;
}
const char* selectorName(KstSel sel) {
  return sel != nullptr ? sel->name.c_str() : nullptr;
}

bool addMethod(KstClass cls, KstSel sel, KstImp imp, std::string_view types, void (*onReplaced)()) {
  if (cls == nullptr || sel == nullptr || imp == nullptr) return false;
  bool added = false;
  findOrInsert(
      cls->methods, [sel](const KstObjcMethod& m) { return m.selector == sel; },
      [&] {
        auto* method = new KstObjcMethod;
        method->selector = sel;
        method->original = imp;
        method->imp.store(imp, std::memory_order_relaxed);
        method->types = std::string(types);
        method->onReplaced = onReplaced;
        return method;
      },
      &added);
  return added;
}

KstImp methodImplementation(KstClass cls, KstSel sel, bool* replaced) {
  const KstObjcMethod* method = findMethod(cls, sel);
  if (method == nullptr) {
    if (replaced != nullptr) *replaced = false;
    return nullptr;
  }
  const KstImp imp = method->imp.load(std::memory_order_acquire);
  if (replaced != nullptr) *replaced = imp != method->original;
  return imp;
}

const char* methodTypes(KstClass cls, KstSel sel) {
  const KstObjcMethod* method = findMethod(cls, sel);
  return method != nullptr ? method->types.c_str() : "";
}

bool replaceMethod(KstClass cls, KstSel sel, KstImp replacement, KstImp* original) {
  KstObjcMethod* method = findMethod(cls, sel);
  if (method == nullptr || replacement == nullptr) {
    if (original != nullptr) *original = method != nullptr ? method->original : nullptr;
    return false;
  }
  // The slot is written before the replacement can run, so a replacement
  // that calls its original from another thread at once finds it set.
  if (original != nullptr) *original = method->original;
  bool expected = false;
  if (!method->hooked.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return false;
  method->imp.store(replacement, std::memory_order_release);
  if (method->onReplaced != nullptr) method->onReplaced();
  return true;
}

}  // namespace kst::objc
