#include "hook/messaging/KstPopUp.h"

#include <mutex>

namespace kst {

namespace {

struct Registry {
  std::mutex mu;
  std::shared_ptr<const KstPopUpFactory> factory;
};

Registry& registry() {
  static Registry* r = new Registry();  // used by hooks after static destructors
  return *r;
}

}  // namespace

void setKstPopUpFactory(KstPopUpFactory factory) {
  std::shared_ptr<const KstPopUpFactory> next;
  if (factory) next = std::make_shared<const KstPopUpFactory>(std::move(factory));
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  r.factory.swap(next);
}

std::unique_ptr<KstPopUp> makeKstPopUp() {
  std::shared_ptr<const KstPopUpFactory> factory;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mu);
    factory = r.factory;
  }
  // Called outside the lock: a factory may build a window.
  return factory ? (*factory)() : nullptr;
}

}  // namespace kst
