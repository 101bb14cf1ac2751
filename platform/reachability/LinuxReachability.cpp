#include "platform/reachability/LinuxReachability.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/reachability/RouteMonitor.h"

namespace kst {

// The part of a handle that the run loop and the test seam may reach after
// the handle itself is gone; they hold it weakly.
class LinuxReachability::Watch : public std::enable_shared_from_this<Watch> {
 public:
  Watch(ReachabilityTarget target, NetPaths paths) : target_(target), state_(std::move(paths)) {}

  std::optional<std::uint32_t> flags() const;
  void setCallback(ChangeCallback cb);
  bool schedule(RunLoop& loop);
  void unschedule();
  // Queues a notification on the scheduled loop, delivered even when the
  // flags look unchanged: the seam stands for a network change. It carries
  // `forced` as set, so that quick successive settings each arrive as made;
  // clearing (nothing forced) delivers the real flags of that moment.
  void queueForcedNotification(std::optional<std::uint32_t> forced);

 private:
  void onRouteMessages(std::uint64_t generation);
  // `known` stands in for reading the flags afresh.
  void deliver(std::uint64_t generation, bool evenIfUnchanged, std::optional<std::uint32_t> known);

  const ReachabilityTarget target_;
  const NetworkState state_;

  mutable std::mutex mu_;
  ChangeCallback callback_;
  RunLoop* loop_ = nullptr;  // set while scheduled
  RunLoop::SourceId source_ = 0;
  std::shared_ptr<RouteMonitor> monitor_;
  // Bumped by each schedule and unschedule, so that work queued for an
  // earlier scheduling does nothing.
  std::uint64_t generation_ = 0;
  std::optional<std::uint32_t> lastFlags_;
};

namespace {

// The test seam's forced flags and the scheduled watches it notifies.
// Lock order: this mutex before any Watch's.
struct Registry {
  std::mutex mu;
  std::optional<std::uint32_t> forced;
  std::vector<std::weak_ptr<LinuxReachability::Watch>> scheduled;
};

Registry& registry() {
  // Never destroyed: a handle held for the life of the process may be
  // destroyed after other statics.
  static Registry* r = new Registry();
  return *r;
}

std::optional<std::uint32_t> forcedFlags() {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  return r.forced;
}

bool sameOwner(const std::weak_ptr<LinuxReachability::Watch>& a,
               const std::weak_ptr<LinuxReachability::Watch>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

void addScheduled(std::weak_ptr<LinuxReachability::Watch> watch) {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  std::erase_if(r.scheduled, [&](const auto& w) { return w.expired() || sameOwner(w, watch); });
  r.scheduled.push_back(std::move(watch));
}

void removeScheduled(const std::weak_ptr<LinuxReachability::Watch>& watch) {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  std::erase_if(r.scheduled, [&](const auto& w) { return w.expired() || sameOwner(w, watch); });
}

bool isLinkLocalV4(const in_addr& a) {
  return (ntohl(a.s_addr) & 0xFFFF0000u) == 0xA9FE0000u;
}

bool isLinkLocalV6(const in6_addr& a) {
  return a.s6_addr[0] == 0xFE && (a.s6_addr[1] & 0xC0) == 0x80;
}

}  // namespace

std::optional<std::uint32_t> LinuxReachability::Watch::flags() const {
  if (std::optional<std::uint32_t> forced = forcedFlags()) return forced;
  return state_.flags(target_.linkLocal);
}

void LinuxReachability::Watch::setCallback(ChangeCallback cb) {
  std::lock_guard lock(mu_);
  callback_ = std::move(cb);
}

bool LinuxReachability::Watch::schedule(RunLoop& loop) {
  {
    std::lock_guard lock(mu_);
    if (loop_ != nullptr) return loop_ == &loop;
  }
  // Read before taking the lock: flags() takes the registry's lock, which
  // comes first in the lock order.
  const std::optional<std::uint32_t> initial = flags();
  std::optional<RouteMonitor> opened = RouteMonitor::open();
  if (!opened) return false;
  auto monitor = std::make_shared<RouteMonitor>(std::move(*opened));
  {
    std::lock_guard lock(mu_);
    if (loop_ != nullptr) return loop_ == &loop;  // lost a race with another schedule()
    const std::uint64_t generation = ++generation_;
    // The source keeps the socket open for as long as the loop holds it, so
    // its number cannot be reused under a poll still in progress.
    source_ = loop.addFdSource(monitor->fd(), [weak = weak_from_this(), generation, monitor] {
      if (std::shared_ptr<Watch> self = weak.lock()) self->onRouteMessages(generation);
    });
    loop_ = &loop;
    monitor_ = std::move(monitor);
    lastFlags_ = initial;
  }
  addScheduled(weak_from_this());
  return true;
}

void LinuxReachability::Watch::unschedule() {
  removeScheduled(weak_from_this());
  RunLoop* loop = nullptr;
  RunLoop::SourceId source = 0;
  {
    std::lock_guard lock(mu_);
    if (loop_ == nullptr) return;
    loop = std::exchange(loop_, nullptr);
    source = source_;
    monitor_.reset();
    ++generation_;
  }
  loop->removeFdSource(source);
}

void LinuxReachability::Watch::queueForcedNotification(std::optional<std::uint32_t> forced) {
  std::lock_guard lock(mu_);
  if (loop_ == nullptr) return;
  loop_->perform([weak = weak_from_this(), generation = generation_, forced] {
    if (std::shared_ptr<Watch> self = weak.lock()) self->deliver(generation, true, forced);
  });
}

void LinuxReachability::Watch::onRouteMessages(std::uint64_t generation) {
  std::shared_ptr<RouteMonitor> monitor;
  {
    std::lock_guard lock(mu_);
    if (generation != generation_) return;
    monitor = monitor_;
  }
  if (monitor && monitor->drain()) deliver(generation, false, std::nullopt);
}

void LinuxReachability::Watch::deliver(std::uint64_t generation, bool evenIfUnchanged,
                                       std::optional<std::uint32_t> known) {
  const std::optional<std::uint32_t> current = known ? known : flags();
  ChangeCallback cb;
  {
    std::lock_guard lock(mu_);
    if (loop_ == nullptr || generation != generation_) return;
    if (!evenIfUnchanged && current == lastFlags_) return;
    lastFlags_ = current;
    cb = callback_;
  }
  // Outside the lock: the callback may well unschedule or read the flags.
  if (cb) cb(current.value_or(0));
}

LinuxReachability::LinuxReachability(ReachabilityTarget target, NetPaths paths)
    : watch_(std::make_shared<Watch>(target, std::move(paths))) {}

LinuxReachability::~LinuxReachability() {
  watch_->unschedule();
}

std::optional<std::uint32_t> LinuxReachability::flags() {
  return watch_->flags();
}

bool LinuxReachability::setCallback(ChangeCallback cb) {
  watch_->setCallback(std::move(cb));
  return true;
}

bool LinuxReachability::schedule(RunLoop& loop) {
  return watch_->schedule(loop);
}

void LinuxReachability::unschedule() {
  watch_->unschedule();
}

std::optional<ReachabilityTarget> reachabilityTargetOf(const sockaddr* address, socklen_t length) {
  if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return std::nullopt;
  sa_family_t family = 0;
  std::memcpy(&family, address, sizeof family);  // the caller's buffer may be unaligned
  if (family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in in{};
    std::memcpy(&in, address, sizeof in);
    return ReachabilityTarget{isLinkLocalV4(in.sin_addr)};
  }
  if (family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, address, sizeof in6);
    return ReachabilityTarget{isLinkLocalV6(in6.sin6_addr)};
  }
  return std::nullopt;
}

std::optional<ReachabilityTarget> reachabilityTargetOf(std::string_view host) {
  // 253 characters is the longest name DNS can carry.
  if (host.empty() || host.size() > 253 || host.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string text(host);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return ReachabilityTarget{isLinkLocalV4(v4)};
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) return ReachabilityTarget{isLinkLocalV6(v6)};
  return ReachabilityTarget{};
}

std::unique_ptr<NetworkReachability> NetworkReachability::withAddress(const sockaddr* address,
                                                                      socklen_t length) {
  const std::optional<ReachabilityTarget> target = reachabilityTargetOf(address, length);
  if (!target) return nullptr;
  return std::make_unique<LinuxReachability>(*target);
}

std::unique_ptr<NetworkReachability> NetworkReachability::withHostName(const std::string& host) {
  const std::optional<ReachabilityTarget> target = reachabilityTargetOf(host);
  if (!target) return nullptr;
  return std::make_unique<LinuxReachability>(*target);
}

void NetworkReachability::setFlagsForTesting(std::optional<std::uint32_t> flags) {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  r.forced = flags;
  std::erase_if(r.scheduled, [](const auto& w) { return w.expired(); });
  for (const auto& weak : r.scheduled) {
    if (std::shared_ptr<LinuxReachability::Watch> watch = weak.lock()) watch->queueForcedNotification(flags);
  }
}

}  // namespace kst
