#pragma once

#include <cstdint>
#include <memory>

#include "platform/reachability/NetworkReachability.h"

namespace kst::panel {

// The settings application's test of whether the network can be reached.
// Status values: 0 not reachable, 1 reachable through WiFi (or without a
// cellular link), 2 reachable through the cellular network.
class Reachability {
 public:
  enum Status { kNotReachable = 0, kReachableViaWiFi = 1, kReachableViaWWAN = 2 };

  // A probe for the default route (the IPv4 address 0.0.0.0).
  static std::unique_ptr<Reachability> reachabilityForInternetConnection();
  // The link-local network 169.254.0.0.
  static std::unique_ptr<Reachability> reachabilityForLocalWiFi();

  int currentReachabilityStatus() const;
  bool connectionRequired() const;

  // The status arithmetic over the flag bits.
  static int statusForFlags(std::uint32_t flags, bool localWiFi);

 private:
  Reachability(std::unique_ptr<NetworkReachability> ref, bool localWiFi)
      : reachabilityRef_(std::move(ref)), localWiFiRef_(localWiFi) {}

  std::unique_ptr<NetworkReachability> reachabilityRef_;
  bool localWiFiRef_;
};

}  // namespace kst::panel
