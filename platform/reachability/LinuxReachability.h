#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "platform/reachability/NetworkReachability.h"
#include "platform/reachability/NetworkState.h"

namespace kst {

// What a handle needs to know about its target: only whether it is on the
// local link (169.254.0.0/16 or fe80::/10), which makes the route direct.
struct ReachabilityTarget {
  bool linkLocal = false;
};

// Absent for a missing, short or non-IP address.
std::optional<ReachabilityTarget> reachabilityTargetOf(const sockaddr* address, socklen_t length);
// Absent for an empty or unusable name. Names are not resolved: a host is
// as reachable as the default route, unless it is a link-local literal.
std::optional<ReachabilityTarget> reachabilityTargetOf(std::string_view host);

// The Linux handle: flags from the routing table and sysfs, changes from a
// netlink socket registered on the run loop given to schedule(). Every
// member may be called from any thread; the callback runs on the scheduled
// loop's thread. Calling unschedule() (or destroying the handle) on that
// thread stops callbacks at once; from another thread a callback already
// running may still finish. The loop must outlive the scheduling.
//
// Scheduling state lives in a shared Watch so that work queued on the loop
// (and the test seam) can find out safely that the handle is gone.
class LinuxReachability final : public NetworkReachability {
 public:
  explicit LinuxReachability(ReachabilityTarget target, NetPaths paths = {});
  ~LinuxReachability() override;
  LinuxReachability(const LinuxReachability&) = delete;
  LinuxReachability& operator=(const LinuxReachability&) = delete;

  std::optional<std::uint32_t> flags() override;
  bool setCallback(ChangeCallback cb) override;
  // One loop at a time: scheduling again on the same loop succeeds and does
  // nothing, on another loop it fails. Fails when no netlink socket can be
  // opened.
  bool schedule(RunLoop& loop) override;
  void unschedule() override;

  class Watch;

 private:
  std::shared_ptr<Watch> watch_;
};

}  // namespace kst
