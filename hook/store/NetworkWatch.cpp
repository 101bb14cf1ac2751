#include "hook/store/NetworkWatch.h"

#include "hook/Classes/Other/ReachabilityKst.h"

namespace kst {

NetworkWatch::NetworkWatch(KstFlags& flags) : flags_(flags) {}

NetworkWatch::~NetworkWatch() {
  if (observer_ != 0) ReachabilityKst::removeChangeObserver(observer_);
}

void NetworkWatch::applySwitch(bool switchOn, std::atomic<bool>& flag) {
  if (!switchOn) {
    set(flag, false);
    return;
  }
  KstFlags& f = flags_;
  auto reading = ReachabilityKst::reachabilityForInternetConnection();
  const int status = reading ? reading->currentReachabilityStatus() : NotReachable;
  f.localWiFiConnectionStatusKst.store(status, std::memory_order_relaxed);
  set(flag, status == ReachableViaWWAN);
  set(f.willBeBlockedOn3G, true);
  if (get(f.reachNotifierStarted)) return;

  if (!helper_) {
    helper_ = std::make_unique<ReachabilityHelper>(f);
    ReachabilityHelper* helper = helper_.get();
    observer_ = ReachabilityKst::addChangeObserver([helper, this](ReachabilityKst& watcher) {
      // Only this watch's own watcher drives its flags.
      if (&watcher == internetReach_.get()) helper->handleNetworkChange(watcher);
    });
  }
  internetReach_ = ReachabilityKst::reachabilityForInternetConnection();
  set(f.reachNotifierStarted, internetReach_ && internetReach_->startNotifier());
}

}  // namespace kst
