#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/reachability/NetworkReachability.h"

namespace kst {

struct KstFlags;

// Network status values.
enum NetworkStatus : int { NotReachable = 0, ReachableViaWiFi = 1, ReachableViaWWAN = 2 };

// The in-process notification posted on every network change, with the
// watcher that saw it.
inline constexpr std::string_view kReachabilityChangedNotification = "kNetworkReachabilityChangedNotification";

// Watches whether a target is reachable and through which kind of network.
// Owns its platform handle. Made and started on the main queue (reloads run
// there); its change callback runs on the loop that started it.
class ReachabilityKst {
 public:
  static std::unique_ptr<ReachabilityKst> reachabilityWithHostName(const std::string& host);
  static std::unique_ptr<ReachabilityKst> reachabilityWithAddress(const sockaddr* address, socklen_t length);
  // 0.0.0.0: the general route to the internet.
  static std::unique_ptr<ReachabilityKst> reachabilityForInternetConnection();
  // 169.254.0.0, with localWiFiRef set.
  static std::unique_ptr<ReachabilityKst> reachabilityForLocalWiFi();

  // Installs the change callback and schedules it on the calling thread's
  // run loop; false when either fails (or the thread runs no loop).
  bool startNotifier();
  void stopNotifier();

  int currentReachabilityStatus();
  bool connectionRequired();

  // The status arithmetic over the platform's flag bits.
  static int networkStatusForFlags(std::uint32_t flags);
  static int localWiFiStatusForFlags(std::uint32_t flags);

  bool localWiFiRef() const { return localWiFiRef_; }

  // Observers of kReachabilityChangedNotification in this process.
  using ChangeObserver = std::function<void(ReachabilityKst& watcher)>;
  static int addChangeObserver(ChangeObserver observer);
  static void removeChangeObserver(int id);

  explicit ReachabilityKst(std::unique_ptr<NetworkReachability> ref, bool localWiFi = false);
  ~ReachabilityKst();

 private:
  static void postChangeNotification(ReachabilityKst& watcher);

  std::unique_ptr<NetworkReachability> reachabilityRef_;
  bool localWiFiRef_ = false;
};

// Keeps the WiFi-block flags in step with the network: on a change, when a
// WiFi-only switch was found on, both block flags follow whether the device
// is on the cellular network now.
class ReachabilityHelper {
 public:
  explicit ReachabilityHelper(KstFlags& flags) : flags_(flags) {}
  void handleNetworkChange(ReachabilityKst& watcher);

 private:
  KstFlags& flags_;
};

}  // namespace kst

// Exported: stores the current internet status in the process flags and
// returns whether it is the cellular network. Nothing in the library calls it.
extern "C" bool checkWiFi2();
