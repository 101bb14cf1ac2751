#include "hook/Classes/Other/ReachabilityKst.h"

#include "hook/rules/CBoundary.h"

#include <netinet/in.h>

#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "hook/rules/KstFlags.h"

namespace kst {

namespace {

struct Observers {
  std::mutex mu;
  int nextId = 1;
  std::vector<std::pair<int, ReachabilityKst::ChangeObserver>> list;
};

Observers& observers() {
  static Observers* o = new Observers();  // hooks outlive static destructors
  return *o;
}

std::unique_ptr<ReachabilityKst> fromIPv4(std::uint32_t hostOrderAddress, bool localWiFi) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(hostOrderAddress);
  auto ref = NetworkReachability::withAddress(reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
  if (!ref) return nullptr;
  return std::make_unique<ReachabilityKst>(std::move(ref), localWiFi);
}

}  // namespace

ReachabilityKst::ReachabilityKst(std::unique_ptr<NetworkReachability> ref, bool localWiFi)
    : reachabilityRef_(std::move(ref)), localWiFiRef_(localWiFi) {}

ReachabilityKst::~ReachabilityKst() { stopNotifier(); }

std::unique_ptr<ReachabilityKst> ReachabilityKst::reachabilityWithHostName(const std::string& host) {
  auto ref = NetworkReachability::withHostName(host);
  if (!ref) return nullptr;
  return std::make_unique<ReachabilityKst>(std::move(ref));
}

std::unique_ptr<ReachabilityKst> ReachabilityKst::reachabilityWithAddress(const sockaddr* address,
                                                                          socklen_t length) {
  auto ref = NetworkReachability::withAddress(address, length);
  if (!ref) return nullptr;
  return std::make_unique<ReachabilityKst>(std::move(ref));
}

std::unique_ptr<ReachabilityKst> ReachabilityKst::reachabilityForInternetConnection() {
  return fromIPv4(0, false);
}

std::unique_ptr<ReachabilityKst> ReachabilityKst::reachabilityForLocalWiFi() {
  return fromIPv4(0xA9FE0000u, true);  // 169.254.0.0
}

bool ReachabilityKst::startNotifier() {
  RunLoop* loop = RunLoop::current();
  if (loop == nullptr || !reachabilityRef_) return false;
  const bool callbackSet = reachabilityRef_->setCallback([this](std::uint32_t) { postChangeNotification(*this); });
  return callbackSet && reachabilityRef_->schedule(*loop);
}

void ReachabilityKst::stopNotifier() {
  if (reachabilityRef_) reachabilityRef_->unschedule();
}

int ReachabilityKst::networkStatusForFlags(std::uint32_t flags) {
  if ((flags & kReachabilityReachable) == 0) return NotReachable;
  if ((flags & kReachabilityIsWWAN) != 0) return ReachableViaWWAN;
  if ((flags & (kReachabilityConnectionOnTraffic | kReachabilityConnectionOnDemand)) != 0 &&
      (flags & kReachabilityInterventionRequired) == 0)
    return ReachableViaWiFi;
  return (flags & kReachabilityConnectionRequired) == 0 ? ReachableViaWiFi : NotReachable;
}

int ReachabilityKst::localWiFiStatusForFlags(std::uint32_t flags) {
  const std::uint32_t both = kReachabilityReachable | kReachabilityIsDirect;
  return (flags & both) == both ? ReachableViaWiFi : NotReachable;
}

int ReachabilityKst::currentReachabilityStatus() {
  if (!reachabilityRef_) return NotReachable;
  std::optional<std::uint32_t> flags = reachabilityRef_->flags();
  if (!flags) return NotReachable;
  return localWiFiRef_ ? localWiFiStatusForFlags(*flags) : networkStatusForFlags(*flags);
}

bool ReachabilityKst::connectionRequired() {
  if (!reachabilityRef_) return false;
  std::optional<std::uint32_t> flags = reachabilityRef_->flags();
  return flags && (*flags & kReachabilityConnectionRequired) != 0;
}

int ReachabilityKst::addChangeObserver(ChangeObserver observer) {
  Observers& o = observers();
  std::lock_guard<std::mutex> lock(o.mu);
  o.list.emplace_back(o.nextId, std::move(observer));
  return o.nextId++;
}

void ReachabilityKst::removeChangeObserver(int id) {
  Observers& o = observers();
  std::lock_guard<std::mutex> lock(o.mu);
  std::erase_if(o.list, [id](const auto& entry) { return entry.first == id; });
}

void ReachabilityKst::postChangeNotification(ReachabilityKst& watcher) {
  // Observers run without the lock, so one may add or remove observers.
  std::vector<ChangeObserver> toCall;
  {
    Observers& o = observers();
    std::lock_guard<std::mutex> lock(o.mu);
    for (const auto& entry : o.list) toCall.push_back(entry.second);
  }
  for (const auto& observer : toCall) observer(watcher);
}

void ReachabilityHelper::handleNetworkChange(ReachabilityKst& watcher) {
  const int status = watcher.currentReachabilityStatus();
  if (!get(flags_.willBeBlockedOn3G)) return;
  // Both flags follow the network alike, whichever switch was on; the next
  // reload sets each again from its own switch.
  set(flags_.blockNonWiFi, status == ReachableViaWWAN);
  set(flags_.blockSpecificWiFi, status == ReachableViaWWAN);
}

}  // namespace kst

extern "C" bool checkWiFi2() {
  return kst::atCBoundary("checkWiFi2", false, [] {
    auto watcher = kst::ReachabilityKst::reachabilityForInternetConnection();
    const int status = watcher ? watcher->currentReachabilityStatus() : kst::NotReachable;
    kst::kstFlags().localWiFiConnectionStatusKst.store(status, std::memory_order_relaxed);
    return status == kst::ReachableViaWWAN;
  });
}
