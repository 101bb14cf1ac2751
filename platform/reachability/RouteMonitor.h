#pragma once

#include <optional>

namespace kst {

// A non-blocking NETLINK_ROUTE socket subscribed to link and IPv4/IPv6
// route changes. Owns the descriptor; one thread at a time (the run loop
// that watches it).
class RouteMonitor {
 public:
  // Absent when the kernel refuses the socket (no netlink in a sandbox).
  static std::optional<RouteMonitor> open();

  RouteMonitor(RouteMonitor&& other) noexcept;
  RouteMonitor& operator=(RouteMonitor&& other) noexcept;
  RouteMonitor(const RouteMonitor&) = delete;
  RouteMonitor& operator=(const RouteMonitor&) = delete;
  ~RouteMonitor();

  int fd() const { return fd_; }
  // Reads every queued message. Their content does not matter: the caller
  // reads the routes afresh. Returns whether anything (or an overrun, which
  // means lost changes) arrived.
  bool drain();

 private:
  explicit RouteMonitor(int fd) : fd_(fd) {}

  int fd_ = -1;
};

}  // namespace kst
