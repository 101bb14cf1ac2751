#include "platform/springboard/QtRunLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <vector>

namespace kst {

namespace {

int toMilliseconds(Clock::Duration d) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  if (ms < 0) return 0;
  return ms > 24 * 3600 * 1000 ? 24 * 3600 * 1000 : static_cast<int>(ms) + 1;
}

}  // namespace

QtRunLoop::QtRunLoop(Clock& clock) : clock_(clock), thread_(std::this_thread::get_id()) {
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  jumpListener_ = clock_.onJump([this] { post(); });
}

QtRunLoop::~QtRunLoop() {
  clock_.removeJumpListener(jumpListener_);
  delete context_;  // its children: the timer and the notifiers
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool QtRunLoop::isLoopThread() const {
  return std::this_thread::get_id() == thread_;
}

void QtRunLoop::attach() {
  if (!isLoopThread() || QCoreApplication::instance() == nullptr) return;
  {
    std::lock_guard lock(mu_);
    if (attached_) return;
  }
  context_ = new QObject();
  timerWake_ = new QTimer(context_);
  timerWake_->setSingleShot(true);
  QObject::connect(timerWake_, &QTimer::timeout, context_, [this] { serve(); });
  if (wakeFd_ >= 0) {
    auto* wake = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, context_);
    QObject::connect(wake, &QSocketNotifier::activated, context_, [this] {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
      serve();
    });
  }
  std::vector<SourceId> ids;
  {
    std::lock_guard lock(mu_);
    attached_ = true;
    for (const auto& [id, source] : sources_) ids.push_back(id);
    needNotifier_.clear();
  }
  for (SourceId id : ids) makeNotifier(id);
  serve();
}

// Eventfd writes are how other threads reach the main thread: they never
// block, and they order the queued work before the main thread's read.
void QtRunLoop::post() {
  const std::uint64_t one = 1;
  if (wakeFd_ >= 0) [[maybe_unused]]
    const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

RunLoop::TimerId QtRunLoop::addTimer(Seconds delay, Callback fn, std::optional<Seconds> repeat) {
  TimerId id = 0;
  {
    std::lock_guard lock(mu_);
    id = nextId_++;
    Timer t;
    t.due = clock_.now() + Clock::toDuration(delay);
    if (repeat)
      t.repeat = std::max(Clock::toDuration(*repeat), Clock::Duration(std::chrono::microseconds(100)));
    t.fn = std::make_shared<Callback>(std::move(fn));
    timers_.emplace(id, std::move(t));
  }
  if (isLoopThread())
    armTimer();
  else
    post();
  return id;
}

void QtRunLoop::cancelTimer(TimerId id) {
  std::lock_guard lock(mu_);
  timers_.erase(id);
}

RunLoop::SourceId QtRunLoop::addFdSource(int fd, Callback onReadable) {
  if (fd < 0) return 0;
  SourceId id = 0;
  bool attached = false;
  {
    std::lock_guard lock(mu_);
    id = nextId_++;
    sources_[id] = Source{fd, std::make_shared<Callback>(std::move(onReadable)), nullptr};
    attached = attached_;
  }
  if (!attached) return id;
  if (isLoopThread()) {
    makeNotifier(id);
  } else {
    {
      std::lock_guard lock(mu_);
      needNotifier_.push_back(id);
    }
    post();
  }
  return id;
}

void QtRunLoop::makeNotifier(SourceId id) {
  int fd = -1;
  {
    std::lock_guard lock(mu_);
    auto it = sources_.find(id);
    if (it == sources_.end() || it->second.notifier != nullptr) return;
    fd = it->second.fd;
  }
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, context_);
  {
    std::lock_guard lock(mu_);
    auto it = sources_.find(id);
    if (it == sources_.end()) {
      delete notifier;
      return;
    }
    it->second.notifier = notifier;
  }
  QObject::connect(notifier, &QSocketNotifier::activated, context_, [this, id, notifier] {
    std::shared_ptr<Callback> fn;
    {
      std::lock_guard lock(mu_);
      auto it = sources_.find(id);
      if (it == sources_.end()) return;
      fn = it->second.fn;
    }
    // Off while the callback runs: a nested run must not enter it again.
    notifier->setEnabled(false);
    (*fn)();
    std::lock_guard lock(mu_);
    if (sources_.count(id) != 0) notifier->setEnabled(true);
  });
}

void QtRunLoop::removeFdSource(SourceId id) {
  QSocketNotifier* notifier = nullptr;
  {
    std::lock_guard lock(mu_);
    auto it = sources_.find(id);
    if (it == sources_.end()) return;
    notifier = it->second.notifier;
    sources_.erase(it);
  }
  if (notifier == nullptr) return;
  // On the loop's thread the descriptor stops being watched at once (it
  // may be closed right after this returns) and the notifier goes once its
  // signal has unwound. From another thread the main thread does that next:
  // waiting for it here could deadlock a main thread that waits for us, and
  // a call that still arrives finds its source gone and does nothing.
  if (isLoopThread()) {
    notifier->setEnabled(false);
    notifier->deleteLater();
  } else {
    {
      std::lock_guard lock(mu_);
      retired_.push_back(notifier);
    }
    post();
  }
}

void QtRunLoop::adoptPendingNotifiers() {
  std::vector<SourceId> ids;
  std::vector<QSocketNotifier*> retired;
  {
    std::lock_guard lock(mu_);
    ids.swap(needNotifier_);
    retired.swap(retired_);
  }
  for (QSocketNotifier* n : retired) {
    n->setEnabled(false);
    n->deleteLater();
  }
  for (SourceId id : ids) makeNotifier(id);
}

void QtRunLoop::perform(Callback fn) {
  {
    std::lock_guard lock(mu_);
    performs_.push_back(std::move(fn));
  }
  post();
}

void QtRunLoop::performAndWait(Callback fn) {
  if (isLoopThread()) {
    CurrentScope scope(this);
    fn();
    return;
  }
  struct Done {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  perform([fn = std::move(fn), done] {
    fn();
    std::lock_guard lock(done->mu);
    done->done = true;
    done->cv.notify_all();
  });
  std::unique_lock lock(done->mu);
  done->cv.wait(lock, [&] { return done->done; });
}

void QtRunLoop::serve() {
  CurrentScope scope(this);
  adoptPendingNotifiers();
  runPerforms();
  fireDueTimers();
  armTimer();
  // A run whose time is up (a manual clock jumped) ends now.
  if (!runs_.empty() && clock_.now() >= runs_.back().first) runs_.back().second->quit();
}

void QtRunLoop::runPerforms() {
  // Only those queued now: a perform that queues another yields to Qt.
  std::deque<Callback> batch;
  {
    std::lock_guard lock(mu_);
    batch.swap(performs_);
  }
  for (auto& fn : batch) fn();
}

void QtRunLoop::fireDueTimers() {
  for (;;) {
    std::shared_ptr<Callback> fn;
    TimerId id = 0;
    {
      std::lock_guard lock(mu_);
      const auto now = clock_.now();
      for (auto& [timerId, t] : timers_) {
        if (t.running || t.due > now) continue;
        id = timerId;
        fn = t.fn;
        t.running = true;
        break;
      }
      if (!fn) return;
    }
    (*fn)();
    std::lock_guard lock(mu_);
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;
    if (it->second.repeat == Clock::Duration::zero()) {
      timers_.erase(it);
    } else {
      it->second.running = false;
      const auto now = clock_.now();
      it->second.due += it->second.repeat;
      if (it->second.due <= now) it->second.due = now + it->second.repeat;  // keep phase, no catch-up
    }
  }
}

void QtRunLoop::armTimer() {
  std::optional<Clock::TimePoint> soonest;
  {
    std::lock_guard lock(mu_);
    if (!attached_) return;
    for (const auto& [id, t] : timers_)
      if (!t.running && (!soonest || t.due < *soonest)) soonest = t.due;
  }
  if (!soonest) {
    timerWake_->stop();
    return;
  }
  timerWake_->start(toMilliseconds(*soonest - clock_.now()));
}

void QtRunLoop::runFor(Seconds duration) {
  if (!isLoopThread()) return;
  const auto deadline = clock_.now() + Clock::toDuration(duration);
  bool attached = false;
  {
    std::lock_guard lock(mu_);
    attached = attached_;
  }
  if (!attached) {
    CurrentScope scope(this);
    runPerforms();
    fireDueTimers();
    return;
  }
  QEventLoop loop;
  QTimer end;
  end.setSingleShot(true);
  QObject::connect(&end, &QTimer::timeout, &loop, &QEventLoop::quit);
  runs_.emplace_back(deadline, &loop);
  while (clock_.now() < deadline) {
    end.start(toMilliseconds(deadline - clock_.now()));
    loop.exec();
  }
  runs_.pop_back();
  serve();
}

}  // namespace kst
