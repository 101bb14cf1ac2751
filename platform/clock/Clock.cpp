#include "platform/clock/Clock.h"

#include <cmath>

namespace kst {

namespace {

class SteadyClock final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

// About thirty years: longer than any wait the system asks for, and far
// below what a nanosecond time point can hold.
constexpr double kMaxSeconds = 1e9;

}  // namespace

Clock& Clock::real() {
  // Leaked on purpose: hooks may read the clock after static destructors ran.
  static Clock* const clock = new SteadyClock;
  return *clock;
}

Clock::Duration Clock::toDuration(Seconds s) {
  double v = s.count();
  if (!(v > 0)) return Duration::zero();  // also NaN
  v = std::fmin(v, kMaxSeconds);
  // Rounded, not truncated: 0.999 s and 0.001 s must add up to one second.
  return std::chrono::round<Duration>(Seconds(v));
}

Clock::TimePoint ManualClock::now() const {
  std::lock_guard lock(mu_);
  return now_;
}

void ManualClock::advance(Seconds by) {
  // notifyMu_ is taken before the copy, so a removal that finds a listener
  // gone from listeners_ can wait here for any call made from an old copy.
  std::lock_guard notify(notifyMu_);
  std::vector<std::function<void()>> toCall;
  {
    std::lock_guard lock(mu_);
    now_ += toDuration(by);
    toCall.reserve(listeners_.size());
    for (const auto& entry : listeners_) toCall.push_back(entry.second);
  }
  // Listeners run unlocked: they read the clock, and may add or remove.
  for (const auto& fn : toCall) fn();
}

int ManualClock::onJump(std::function<void()> fn) {
  std::lock_guard lock(mu_);
  const int id = nextId_++;
  listeners_.emplace_back(id, std::move(fn));
  return id;
}

void ManualClock::removeJumpListener(int id) {
  {
    std::lock_guard lock(mu_);
    std::erase_if(listeners_, [id](const auto& entry) { return entry.first == id; });
  }
  // Wait out a notification in flight on another thread.
  std::lock_guard notify(notifyMu_);
}

}  // namespace kst
