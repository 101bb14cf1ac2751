#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/runloop/RunLoop.h"

namespace kst {

// The reachability flags of the original platform, bit for bit.
enum ReachabilityFlag : std::uint32_t {
  kReachabilityReachable = 0x2,
  kReachabilityConnectionRequired = 0x4,
  kReachabilityConnectionOnTraffic = 0x8,
  kReachabilityInterventionRequired = 0x10,
  kReachabilityConnectionOnDemand = 0x20,
  kReachabilityIsDirect = 0x20000,
  kReachabilityIsWWAN = 0x40000,
};

// A watch on whether a target can be reached, read from Linux: the default
// route and the kind of its interface (none: not reachable; wireless or
// ethernet: reachable; mobile broadband: reachable through WWAN). Changes
// are watched with a netlink socket on a run loop.
class NetworkReachability {
 public:
  using ChangeCallback = std::function<void(std::uint32_t flags)>;

  virtual ~NetworkReachability() = default;

  // Absent when no handle can be made for the target.
  static std::unique_ptr<NetworkReachability> withAddress(const sockaddr* address, socklen_t length);
  static std::unique_ptr<NetworkReachability> withHostName(const std::string& host);

  // The current flags, or nothing when they cannot be read.
  virtual std::optional<std::uint32_t> flags() = 0;
  // Installs the callback run on each network change. Returns success.
  virtual bool setCallback(ChangeCallback cb) = 0;
  // Starts (or stops) delivering changes on `loop`. Returns success.
  virtual bool schedule(RunLoop& loop) = 0;
  virtual void unschedule() = 0;

  // Test seam: while set, every handle reads these flags, and changing them
  // notifies every scheduled handle as a real network change would.
  static void setFlagsForTesting(std::optional<std::uint32_t> flags);
};

}  // namespace kst
