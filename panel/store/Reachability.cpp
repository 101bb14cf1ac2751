#include "panel/store/Reachability.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace kst::panel {

namespace {

std::unique_ptr<NetworkReachability> forAddress(const char* text) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, text, &address.sin_addr);
  return NetworkReachability::withAddress(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

}  // namespace

std::unique_ptr<Reachability> Reachability::reachabilityForInternetConnection() {
  return std::unique_ptr<Reachability>(new Reachability(forAddress("0.0.0.0"), false));
}

std::unique_ptr<Reachability> Reachability::reachabilityForLocalWiFi() {
  return std::unique_ptr<Reachability>(new Reachability(forAddress("169.254.0.0"), true));
}

int Reachability::statusForFlags(std::uint32_t flags, bool localWiFi) {
  if (localWiFi) {
    return (flags & kReachabilityReachable) && (flags & kReachabilityIsDirect) ? kReachableViaWiFi
                                                                               : kNotReachable;
  }
  if (!(flags & kReachabilityReachable)) return kNotReachable;
  int status = kNotReachable;
  if (!(flags & kReachabilityConnectionRequired)) status = kReachableViaWiFi;
  if ((flags & (kReachabilityConnectionOnDemand | kReachabilityConnectionOnTraffic)) &&
      !(flags & kReachabilityInterventionRequired)) {
    status = kReachableViaWiFi;
  }
  if (flags & kReachabilityIsWWAN) status = kReachableViaWWAN;
  return status;
}

int Reachability::currentReachabilityStatus() const {
  if (!reachabilityRef_) return kNotReachable;
  const auto flags = reachabilityRef_->flags();
  return flags ? statusForFlags(*flags, localWiFiRef_) : kNotReachable;
}

bool Reachability::connectionRequired() const {
  if (!reachabilityRef_) return false;
  const auto flags = reachabilityRef_->flags();
  return flags && (*flags & kReachabilityConnectionRequired);
}

}  // namespace kst::panel
