#include "platform/reachability/RouteMonitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kst {

std::optional<RouteMonitor> RouteMonitor::open() {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return std::nullopt;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return RouteMonitor(fd);
}

RouteMonitor::RouteMonitor(RouteMonitor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

RouteMonitor& RouteMonitor::operator=(RouteMonitor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

RouteMonitor::~RouteMonitor() {
  if (fd_ >= 0) ::close(fd_);
}

bool RouteMonitor::drain() {
  if (fd_ < 0) return false;
  bool any = false;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      any = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // The kernel dropped messages for us; the state has changed all the same.
    if (n < 0 && errno == ENOBUFS) {
      any = true;
      continue;
    }
    return any;  // EAGAIN: drained; anything else: nothing more to read now
  }
}

}  // namespace kst
