#include "platform/runloop/PollRunLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <vector>

namespace kst {

namespace {

// NSTimer's floor for a repeat interval; keeps a zero repeat from spinning.
constexpr Clock::Duration kMinRepeat = std::chrono::microseconds(100);
// Without a wake-up descriptor (descriptors exhausted) the loop still
// works, by polling at this rate.
constexpr Clock::Duration kWakelessPoll = std::chrono::milliseconds(10);
// The longest poll: a wake-up pipe the program closed or replaced without
// an event on it is noticed by then.
constexpr Clock::Duration kDescriptorCheck = std::chrono::seconds(1);

bool identity(int fd, dev_t* dev, ino_t* ino) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  *dev = st.st_dev;
  *ino = st.st_ino;
  return true;
}

// What a performAndWait() caller waits on.
struct WaitState {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
};

timespec toTimespec(Clock::Duration d) {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(secs.count());
  ts.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(d - secs).count());
  return ts;
}

}  // namespace

PollRunLoop::PollRunLoop(Clock& clock) : clock_(clock) {
  {
    std::lock_guard lock(wakeMu_);
    renewWakeLocked();
  }
  // A manual clock's jump must cut short a poll that waits for the old time.
  jumpListener_ = clock_.onJump([this] { wake(); });
}

PollRunLoop::~PollRunLoop() {
  // Removal waits for a jump notification in flight, which may still write
  // to the wake-up pipe.
  clock_.removeJumpListener(jumpListener_);
  {
    std::lock_guard lock(wakeMu_);
    wakeRead_.reset();  // closed only while still the loop's
    wakeWrite_.reset();
  }
  // Queued work is dropped here, unlocked: destroying a performAndWait()
  // item wakes its caller.
  std::deque<Callback> dropped;
  {
    std::lock_guard lock(mu_);
    dropped.swap(performs_);
  }
}

RunLoop::TimerId PollRunLoop::addTimer(Seconds delay, Callback fn, std::optional<Seconds> repeat) {
  Timer timer;
  timer.due = clock_.now() + Clock::toDuration(delay);
  timer.repeat = repeat ? std::max(Clock::toDuration(*repeat), kMinRepeat) : Duration::zero();
  timer.fn = std::make_shared<Callback>(std::move(fn));
  TimerId id;
  {
    std::lock_guard lock(mu_);
    id = nextId_++;
    timerQueue_.emplace(timer.due, id);
    timers_.emplace(id, std::move(timer));
  }
  wake();
  return id;
}

void PollRunLoop::cancelTimer(TimerId id) {
  std::shared_ptr<Callback> fn;  // destroyed after unlocking: it may own anything
  std::lock_guard lock(mu_);
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  // A running timer is out of the queue; the pass that runs it sees the
  // entry gone and does not reschedule it.
  if (!it->second.running) timerQueue_.erase({it->second.due, id});
  fn = std::move(it->second.fn);
  timers_.erase(it);
}

RunLoop::SourceId PollRunLoop::addFdSource(int fd, Callback onReadable) {
  if (fd < 0) return 0;
  Source source{fd, std::make_shared<Callback>(std::move(onReadable))};
  identity(fd, &source.dev, &source.ino);
  SourceId id;
  {
    std::lock_guard lock(mu_);
    id = nextId_++;
    sources_.emplace(id, std::move(source));
  }
  wake();
  return id;
}

void PollRunLoop::removeFdSource(SourceId id) {
  std::shared_ptr<Callback> fn;
  {
    std::lock_guard lock(mu_);
    auto it = sources_.find(id);
    if (it == sources_.end()) return;
    fn = std::move(it->second.fn);
    sources_.erase(it);
  }
  // The loop may be polling the descriptor, which the owner is now free to
  // close; let it rebuild its set.
  wake();
}

void PollRunLoop::perform(Callback fn) {
  {
    std::lock_guard lock(mu_);
    performs_.push_back(std::move(fn));
  }
  wake();
}

void PollRunLoop::performAndWait(Callback fn) {
  if (isLoopThread()) {
    fn();
    return;
  }
  auto state = std::make_shared<WaitState>();
  // The token's deleter raises the signal when the queued work is destroyed,
  // whether it ran or was dropped, so the caller never waits on a dead loop.
  std::shared_ptr<void> token(nullptr, [state](void*) {
    std::lock_guard lock(state->mu);
    state->done = true;
    state->cv.notify_all();
  });
  perform([&fn, token = std::move(token)] { fn(); });
  std::unique_lock lock(state->mu);
  state->cv.wait(lock, [&] { return state->done; });
}

void PollRunLoop::runFor(Seconds duration) {
  if (!enter()) return;
  CurrentScope current(this);
  const TimePoint deadline = clock_.now() + Clock::toDuration(duration);
  // Work is served once more after the last wait, and the time is read
  // before serving: a timer due by the deadline has always fired when this
  // returns, even when the clock jumped past both meanwhile.
  for (bool waited = false;; waited = true) {
    const TimePoint now = clock_.now();
    serveQueued();
    if (waited && now >= deadline) break;
    waitAndDispatch(deadline, false);
  }
  leave();
}

void PollRunLoop::run() {
  if (!enter()) return;
  CurrentScope current(this);
  for (;;) {
    serveQueued();
    if (takeStop()) break;
    waitAndDispatch(TimePoint::max(), true);
  }
  leave();
}

void PollRunLoop::stop() {
  {
    std::lock_guard lock(mu_);
    stopRequested_ = true;
  }
  wake();
}

bool PollRunLoop::isLoopThread() const {
  return bound_.load() == std::this_thread::get_id();
}

bool PollRunLoop::enter() {
  const std::thread::id self = std::this_thread::get_id();
  if (runner_.load() != self) {
    std::thread::id none;
    if (!runner_.compare_exchange_strong(none, self)) return false;
    bound_.store(self);
  }
  ++depth_;
  return true;
}

void PollRunLoop::leave() {
  if (--depth_ == 0) runner_.store(std::thread::id());
}

bool PollRunLoop::takeStop() {
  std::lock_guard lock(mu_);
  return std::exchange(stopRequested_, false);
}

void PollRunLoop::serveQueued() {
  runPerforms();
  fireDueTimers();
}

void PollRunLoop::waitAndDispatch(TimePoint deadline, bool heedStop) {
  // A nested run may have drained the wake-up of work that is still
  // pending, so the wait is decided from the state itself.
  std::optional<Duration> wait;
  const TimePoint now = clock_.now();
  {
    std::lock_guard lock(mu_);
    TimePoint until = deadline;
    if (!timerQueue_.empty()) until = std::min(until, timerQueue_.begin()->first);
    if (!performs_.empty() || (heedStop && stopRequested_)) {
      wait = Duration::zero();
    } else if (until != TimePoint::max()) {
      wait = until > now ? until - now : Duration::zero();
    }
  }
  wait = wait ? std::min(*wait, kDescriptorCheck) : kDescriptorCheck;
  pollAndDispatch(wait);
}

void PollRunLoop::runPerforms() {
  // Only what was queued before the pass: work that keeps queueing more
  // must not starve timers and sources.
  std::size_t count;
  {
    std::lock_guard lock(mu_);
    count = performs_.size();
  }
  for (std::size_t i = 0; i < count; ++i) {
    Callback fn;
    {
      std::lock_guard lock(mu_);
      if (performs_.empty()) return;  // a nested run took them
      fn = std::move(performs_.front());
      performs_.pop_front();
    }
    fn();
  }
}

void PollRunLoop::fireDueTimers() {
  // Only timers due when the pass began, so a short repeating timer cannot
  // hold the loop here.
  const TimePoint now = clock_.now();
  for (;;) {
    TimerId id;
    std::shared_ptr<Callback> fn;
    {
      std::lock_guard lock(mu_);
      if (timerQueue_.empty() || timerQueue_.begin()->first > now) return;
      id = timerQueue_.begin()->second;
      timerQueue_.erase(timerQueue_.begin());
      auto it = timers_.find(id);
      if (it == timers_.end()) continue;
      fn = it->second.fn;
      if (it->second.repeat == Duration::zero()) {
        timers_.erase(it);
      } else {
        it->second.running = true;
      }
    }
    (*fn)();
    std::lock_guard lock(mu_);
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // one-shot, or cancelled while running
    Timer& timer = it->second;
    timer.running = false;
    // Keep the phase; after a stall (or a clock jump) skip the missed beats.
    const TimePoint after = clock_.now();
    TimePoint next = timer.due + timer.repeat;
    if (next <= after) next = timer.due + ((after - timer.due) / timer.repeat + 1) * timer.repeat;
    timer.due = next;
    timerQueue_.emplace(next, id);
  }
}

void PollRunLoop::pollAndDispatch(std::optional<Duration> wait) {
  std::vector<pollfd> fds;
  std::vector<SourceId> ids;
  const int wakeFd = wakeReadFd();
  if (wakeFd < 0) wait = wait ? std::min(*wait, kWakelessPoll) : kWakelessPoll;
  fds.push_back(pollfd{wakeFd, POLLIN, 0});
  {
    std::lock_guard lock(mu_);
    for (const auto& [id, source] : sources_) {
      // A running callback is not re-entered by a nested run; its
      // descriptor is likely still readable.
      if (source.running) continue;
      fds.push_back(pollfd{source.fd, POLLIN, 0});
      ids.push_back(id);
    }
  }
  timespec ts{};
  if (wait) ts = toTimespec(*wait);
  const int ready = ::ppoll(fds.data(), fds.size(), wait ? &ts : nullptr, nullptr);
  const std::uint64_t pass = ++polls_;
  if (ready <= 0) return;  // time-out, or EINTR: the next pass looks again
  if (fds[0].revents != 0) drainWake(wakeFd);

  for (std::size_t i = 0; i < ids.size(); ++i) {
    const short revents = fds[i + 1].revents;
    if (revents == 0) continue;
    // A nested run inside an earlier callback polled again; these results
    // may be stale (its descriptor drained), and the next pass polls anew.
    if (polls_ != pass) return;
    std::shared_ptr<Callback> fn;
    {
      std::lock_guard lock(mu_);
      auto it = sources_.find(ids[i]);
      if (it == sources_.end() || it->second.running) continue;
      dev_t dev = 0;
      ino_t ino = 0;
      if ((revents & POLLNVAL) != 0 || !identity(it->second.fd, &dev, &ino) || dev != it->second.dev ||
          ino != it->second.ino) {
        // Closed without being removed (polling it again would spin), or
        // the number now names someone else's file: never call back for it.
        sources_.erase(it);
        continue;
      }
      it->second.running = true;
      fn = it->second.fn;
    }
    (*fn)();
    std::lock_guard lock(mu_);
    auto it = sources_.find(ids[i]);
    if (it != sources_.end()) it->second.running = false;
  }
}

void PollRunLoop::wake() {
  std::lock_guard lock(wakeMu_);
  if (!wakeWrite_.intact() && !renewWakeLocked()) return;
  const char one = 1;
  // EAGAIN means the pipe is full of wake-ups already: the loop is awake.
  while (::write(wakeWrite_.get(), &one, 1) < 0 && errno == EINTR) {
  }
}

int PollRunLoop::wakeReadFd() {
  std::lock_guard lock(wakeMu_);
  if (!wakeRead_.intact() || !wakeWrite_.intact()) renewWakeLocked();
  return wakeRead_.get();
}

void PollRunLoop::drainWake(int fd) {
  std::lock_guard lock(wakeMu_);
  // Lost since the poll: the next pass renews it, nothing is read here.
  if (wakeRead_.get() != fd || !wakeRead_.intact()) return;
  char buf[256];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < static_cast<ssize_t>(sizeof buf)) return;
  }
}

bool PollRunLoop::renewWakeLocked() {
  // A pipe, not an eventfd: all eventfds share one inode, so only a pipe's
  // identity tells it from a program's own descriptor.
  wakeRead_.reset();
  wakeWrite_.reset();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  wakeRead_ = messaging::KeptFd(fds[0]);
  wakeWrite_ = messaging::KeptFd(fds[1]);
  return true;
}

}  // namespace kst
