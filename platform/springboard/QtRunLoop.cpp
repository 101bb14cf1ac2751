#include "platform/springboard/QtRunLoop.h"

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
  jumpListener_ = clock_.onJump([this] { post(); });
}

QtRunLoop::~QtRunLoop() {
  clock_.removeJumpListener(jumpListener_);
  delete context_;  // its children: the wake timer and the notifiers
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
  wake_ = new QTimer(context_);
  wake_->setSingleShot(true);
  QObject::connect(wake_, &QTimer::timeout, context_, [this] { serve(); });
  std::vector<SourceId> ids;
  {
    std::lock_guard lock(mu_);
    attached_ = true;
    for (const auto& [id, source] : sources_) ids.push_back(id);
  }
  for (SourceId id : ids) makeNotifier(id);
  post();
}

void QtRunLoop::post() {
  QObject* context = nullptr;
  {
    std::lock_guard lock(mu_);
    if (!attached_) return;
    context = context_;
  }
  QMetaObject::invokeMethod(
      context, [this] { serve(); }, Qt::QueuedConnection);
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
  if (isLoopThread())
    makeNotifier(id);
  else
    QMetaObject::invokeMethod(
        context_, [this, id] { makeNotifier(id); }, Qt::QueuedConnection);
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
    QMetaObject::invokeMethod(
        notifier,
        [notifier] {
          notifier->setEnabled(false);
          notifier->deleteLater();
        },
        Qt::QueuedConnection);
  }
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
  runPerforms();
  fireDueTimers();
  armTimer();
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
    wake_->stop();
    return;
  }
  wake_->start(toMilliseconds(*soonest - clock_.now()));
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
  // A manual clock's jump reaches us as a serve(); check the deadline then.
  const int listener =
      clock_.onJump([&loop] { QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection); });
  while (clock_.now() < deadline) {
    end.start(toMilliseconds(deadline - clock_.now()));
    loop.exec();
  }
  clock_.removeJumpListener(listener);
  serve();
}

}  // namespace kst
