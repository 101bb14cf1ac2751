#include "hook/messaging/KstServiceEnv.h"

#include <memory>
#include <mutex>

namespace kst {

namespace {

constexpr int kPortrait = 1;

struct Provider {
  std::mutex mu;
  std::shared_ptr<const std::function<int()>> fn;
};

Provider& provider() {
  static Provider* p = new Provider();  // read by hooks after static destructors
  return *p;
}

}  // namespace

void setDeviceOrientationProvider(std::function<int()> fn) {
  std::shared_ptr<const std::function<int()>> next;
  if (fn) next = std::make_shared<const std::function<int()>>(std::move(fn));
  Provider& p = provider();
  std::lock_guard lock(p.mu);
  p.fn.swap(next);
}

int deviceOrientation() {
  std::shared_ptr<const std::function<int()>> fn;
  {
    Provider& p = provider();
    std::lock_guard lock(p.mu);
    fn = p.fn;
  }
  return fn ? (*fn)() : kPortrait;
}

std::shared_ptr<MessagingCenter> startService(const KstServiceEnv& env, std::string_view service,
                                              std::initializer_list<std::string_view> names,
                                              const MessagingCenter::Handler& handler) {
  auto center = MessagingCenter::centerNamed(std::string(service), env.root);
  for (std::string_view name : names) center->registerForMessageName(std::string(name), handler);
  if (!center->runServerOnCurrentThread()) return nullptr;
  return center;
}

int KstServiceEnv::currentDeviceOrientation() const {
  return deviceOrientation ? deviceOrientation() : kst::deviceOrientation();
}

}  // namespace kst
