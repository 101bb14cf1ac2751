#include "platform/runloop/PollRunLoop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/messaging/KeptFdTesting.h"

// The tests that play a program taking the library's descriptors race with
// the library by design.
extern "C" const char* __tsan_default_suppressions() {
  return KST_TAKEN_DESCRIPTOR_RACES;
}

namespace kst {
namespace {

using namespace std::chrono_literals;

// Runs `loop` in short slices until `done` holds, for at most a generous
// real-time bound, so that a broken loop fails the test instead of hanging.
template <typename Pred>
bool runUntil(PollRunLoop& loop, Pred done) {
  const auto limit = std::chrono::steady_clock::now() + 30s;
  while (!done() && std::chrono::steady_clock::now() < limit) loop.runFor(Seconds(0.02));
  return done();
}

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (fds[0] >= 0) ::close(std::exchange(fds[0], -1));
  }
  void closeWrite() {
    if (fds[1] >= 0) ::close(std::exchange(fds[1], -1));
  }
  void put(char c) { ASSERT_EQ(::write(fds[1], &c, 1), 1); }
  int readEnd() const { return fds[0]; }
  int fds[2] = {-1, -1};
};

// A loop on a manual clock, run by the test's own thread.
class ManualLoopTest : public ::testing::Test {
 protected:
  // Moves time on and makes one pass, as a real clock passing that instant would.
  void advance(Seconds by) {
    clock_.advance(by);
    loop_.runFor(0s);
  }

  ManualClock clock_;
  PollRunLoop loop_{clock_};
};

TEST_F(ManualLoopTest, TimersFireInDeadlineOrderAndTiesInCreationOrder) {
  std::vector<int> order;
  loop_.addTimer(3s, [&] { order.push_back(3); });
  loop_.addTimer(1s, [&] { order.push_back(1); });
  loop_.addTimer(2s, [&] { order.push_back(2); });
  loop_.addTimer(1s, [&] { order.push_back(11); });
  advance(Seconds(0.999));
  EXPECT_TRUE(order.empty());
  advance(Seconds(0.001));
  EXPECT_EQ(order, (std::vector<int>{1, 11}));
  advance(10s);
  EXPECT_EQ(order, (std::vector<int>{1, 11, 2, 3}));
  advance(10s);
  EXPECT_EQ(order.size(), 4u) << "one-shot timers fire once";
}

TEST_F(ManualLoopTest, CancelledTimersNeverFire) {
  int fired = 0;
  const auto here = loop_.addTimer(1s, [&] { fired += 1; });
  const auto there = loop_.addTimer(1s, [&] { fired += 10; });
  const auto kept = loop_.addTimer(1s, [&] { fired += 100; });
  loop_.cancelTimer(here);
  std::thread([&] { loop_.cancelTimer(there); }).join();
  advance(2s);
  EXPECT_EQ(fired, 100);
  loop_.cancelTimer(kept);  // already fired: nothing happens
  loop_.cancelTimer(here);  // twice
  loop_.cancelTimer(987654);
  advance(2s);
  EXPECT_EQ(fired, 100);
}

TEST_F(ManualLoopTest, RepeatingTimerCancelsItselfFromItsCallback) {
  int calls = 0;
  RunLoop::TimerId id = 0;
  id = loop_.addTimer(
      1s,
      [&] {
        if (++calls == 3) loop_.cancelTimer(id);
      },
      1s);
  for (int i = 0; i < 6; ++i) advance(1s);
  EXPECT_EQ(calls, 3);
}

TEST_F(ManualLoopTest, RepeatingTimerKeepsItsPhaseAndSkipsMissedBeats) {
  int calls = 0;
  loop_.addTimer(
      1s, [&] { ++calls; }, 1s);
  advance(1s);
  EXPECT_EQ(calls, 1);
  advance(Seconds(3.5));  // at 4.5 s: beats 2, 3 and 4 were missed
  EXPECT_EQ(calls, 2);
  advance(Seconds(0.4));
  EXPECT_EQ(calls, 2);
  advance(Seconds(0.1));  // at 5 s, in phase
  EXPECT_EQ(calls, 3);
}

TEST_F(ManualLoopTest, ZeroNegativeAndNaNDelaysFireOnTheNextPass) {
  int fired = 0;
  loop_.addTimer(0s, [&] { ++fired; });
  loop_.addTimer(Seconds(-5), [&] { ++fired; });
  loop_.addTimer(Seconds(std::nan("")), [&] { ++fired; });
  loop_.runFor(0s);
  EXPECT_EQ(fired, 3);
}

TEST_F(ManualLoopTest, RunForReturnsWhenTheManualClockHasMoved) {
  // An hour of the loop's time passes without any real waiting; a loop that
  // missed the clock's jump would sit in poll() for that real hour.
  bool timedOut = false;
  bool tooLate = false;
  loop_.addTimer(60s, [&] { timedOut = true; });
  loop_.addTimer(2h, [&] { tooLate = true; });
  std::atomic<bool> inside{false};
  loop_.perform([&] { inside = true; });
  std::thread mover([&] {
    while (!inside) std::this_thread::yield();
    clock_.advance(30s);
    clock_.advance(30s);
    clock_.advance(59min);
  });
  const auto start = clock_.now();
  loop_.runFor(1h);
  mover.join();
  EXPECT_TRUE(timedOut);
  EXPECT_FALSE(tooLate);
  EXPECT_GE(clock_.now() - start, 1h);
}

TEST_F(ManualLoopTest, RepeatingTimerIsNotReenteredByANestedRun) {
  int calls = 0;
  int depth = 0;
  int maxDepth = 0;
  bool otherFiredInside = false;
  loop_.addTimer(3s, [&] { otherFiredInside = depth > 0; });
  loop_.addTimer(
      1s,
      [&] {
        ++calls;
        maxDepth = std::max(maxDepth, ++depth);
        if (calls == 1) {
          // Its own beats at 2..6 s fall due during this nested run.
          clock_.advance(5s);
          loop_.runFor(0s);
          loop_.runFor(0s);
        }
        --depth;
      },
      1s);
  advance(1s);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(maxDepth, 1);
  EXPECT_TRUE(otherFiredInside) << "a nested run serves the other timers";
  advance(1s);  // at 7 s, its next beat
  EXPECT_EQ(calls, 2);
}

TEST_F(ManualLoopTest, PerformsRunInSubmissionOrder) {
  std::vector<int> order;
  for (int i = 0; i < 5; ++i) {
    loop_.perform([&, i] {
      order.push_back(i);
      if (i == 0) loop_.perform([&] { order.push_back(99); });
    });
  }
  loop_.runFor(0s);
  loop_.runFor(0s);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 99}));
}

TEST_F(ManualLoopTest, PerformsFromSeveralThreadsKeepEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::vector<int>> seen(kThreads);
  int total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        loop_.perform([&, t, i] {
          seen[t].push_back(i);
          ++total;
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  loop_.runFor(0s);
  ASSERT_EQ(total, kThreads * kEach);
  for (const auto& s : seen) {
    ASSERT_EQ(s.size(), static_cast<std::size_t>(kEach));
    for (int i = 0; i < kEach; ++i) EXPECT_EQ(s[i], i);
  }
}

TEST_F(ManualLoopTest, PerformAndWaitRunsInlineOnTheLoopThread) {
  std::vector<int> order;
  loop_.perform([&] {
    loop_.perform([&] { order.push_back(2); });
    loop_.performAndWait([&] { order.push_back(1); });
    order.push_back(0);
  });
  loop_.runFor(0s);
  EXPECT_EQ(order, (std::vector<int>{1, 0, 2}));
  // Between two slices the thread that ran the loop is still its thread.
  EXPECT_TRUE(loop_.isLoopThread());
  bool ran = false;
  loop_.performAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST_F(ManualLoopTest, StopBeforeRunIsKeptAndRunForIgnoresIt) {
  loop_.stop();
  loop_.runFor(0s);  // does not consume it
  loop_.run();       // returns at once
  bool ran = false;
  loop_.perform([&] {
    ran = true;
    loop_.stop();
  });
  loop_.run();
  EXPECT_TRUE(ran);
}

TEST(PollRunLoopTest, CurrentAndLoopThreadFollowTheRunningLoop) {
  PollRunLoop outer;
  PollRunLoop inner;
  EXPECT_EQ(RunLoop::current(), nullptr);
  EXPECT_FALSE(outer.isLoopThread()) << "no thread has run it yet";
  RunLoop* seenOuter = nullptr;
  RunLoop* seenInner = nullptr;
  RunLoop* seenAfter = nullptr;
  outer.perform([&] {
    seenOuter = RunLoop::current();
    inner.perform([&] { seenInner = RunLoop::current(); });
    inner.runFor(0s);
    seenAfter = RunLoop::current();
  });
  outer.runFor(0s);
  EXPECT_EQ(seenOuter, &outer);
  EXPECT_EQ(seenInner, &inner);
  EXPECT_EQ(seenAfter, &outer);
  EXPECT_EQ(RunLoop::current(), nullptr);
  EXPECT_TRUE(outer.isLoopThread());
  bool elsewhere = true;
  std::thread([&] { elsewhere = outer.isLoopThread(); }).join();
  EXPECT_FALSE(elsewhere);
}

TEST(PollRunLoopTest, SecondThreadCannotRunALoopAlreadyRunning) {
  PollRunLoop loop;
  std::thread runner([&] { loop.run(); });
  loop.performAndWait([] {});  // the runner is inside run() now
  loop.runFor(1h);             // returns at once, or the test times out
  loop.run();
  EXPECT_FALSE(loop.isLoopThread());
  loop.stop();
  runner.join();
}

TEST(PollRunLoopTest, PerformAndWaitFromManyThreadsAtOnce) {
  PollRunLoop loop;
  std::thread runner([&] { loop.run(); });
  constexpr int kThreads = 8;
  constexpr int kEach = 50;
  int counter = 0;  // touched only on the loop's thread
  std::atomic<int> notRunBeforeReturn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        int seen = 0;
        loop.performAndWait([&] { seen = ++counter; });
        if (seen == 0) ++notRunBeforeReturn;
      }
    });
  }
  for (auto& th : threads) th.join();
  loop.stop();
  runner.join();
  EXPECT_EQ(notRunBeforeReturn, 0);
  EXPECT_EQ(counter, kThreads * kEach);
}

TEST(PollRunLoopTest, NestedRunServesOtherThreadsWhileACallbackWaits) {
  PollRunLoop loop;
  Pipe pipe;
  bool sourceServed = false;
  bool timerFired = false;
  bool answered = false;
  bool outerFinished = false;
  loop.addFdSource(pipe.readEnd(), [&] {
    char c;
    if (::read(pipe.readEnd(), &c, 1) == 1) sourceServed = true;
  });
  std::thread runner([&] { loop.run(); });
  // The callback waits for a person the way the prompt does: in slices of
  // the loop, while the answer arrives from another thread.
  loop.perform([&] {
    loop.addTimer(Seconds(0.01), [&] { timerFired = true; });
    while (!(answered && sourceServed && timerFired)) loop.runFor(Seconds(0.05));
    outerFinished = true;
  });
  std::thread asker([&] {
    pipe.put('x');
    // Would deadlock if the nested run did not serve performs.
    loop.performAndWait([&] { answered = true; });
  });
  asker.join();
  bool finished = false;
  while (!finished) loop.performAndWait([&] { finished = outerFinished; });
  loop.stop();
  runner.join();
  EXPECT_TRUE(sourceServed);
  EXPECT_TRUE(timerFired);
}

TEST(PollRunLoopTest, SourceIsLevelTriggeredAndRemovable) {
  PollRunLoop loop;
  Pipe pipe;
  int calls = 0;
  const auto id = loop.addFdSource(pipe.readEnd(), [&] { ++calls; });  // never reads
  loop.runFor(0s);
  EXPECT_EQ(calls, 0);
  pipe.put('x');
  loop.runFor(0s);
  loop.runFor(0s);
  loop.runFor(0s);
  EXPECT_EQ(calls, 3) << "called on every pass while readable";
  std::thread([&] { loop.removeFdSource(id); }).join();
  loop.runFor(0s);
  EXPECT_EQ(calls, 3);
  loop.removeFdSource(id);  // twice: nothing happens
  EXPECT_EQ(loop.addFdSource(-1, [] {}), 0u);
}

TEST(PollRunLoopTest, SourceSeesHangUpAndRemovesItselfFromItsCallback) {
  PollRunLoop loop;
  Pipe pipe;
  std::string got;
  bool hungUp = false;
  RunLoop::SourceId id = 0;
  id = loop.addFdSource(pipe.readEnd(), [&] {
    char buf[16];
    const ssize_t n = ::read(pipe.readEnd(), buf, sizeof buf);
    if (n > 0) {
      got.append(buf, static_cast<std::size_t>(n));
    } else {
      hungUp = true;
      loop.removeFdSource(id);
    }
  });
  std::thread writer([&] {
    pipe.put('a');
    pipe.put('b');
    pipe.closeWrite();
  });
  EXPECT_TRUE(runUntil(loop, [&] { return hungUp; }));
  writer.join();
  EXPECT_EQ(got, "ab");
}

TEST(PollRunLoopTest, EventFdWrittenByAnotherThreadWakesTheLoop) {
  PollRunLoop loop;
  const int efd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ASSERT_GE(efd, 0);
  std::uint64_t got = 0;
  loop.addFdSource(efd, [&] {
    std::uint64_t v = 0;
    if (::read(efd, &v, sizeof v) == sizeof v) got += v;
    if (got >= 7) loop.stop();
  });
  std::thread poster([&] {
    const std::uint64_t v = 7;
    EXPECT_EQ(::write(efd, &v, sizeof v), static_cast<ssize_t>(sizeof v));
  });
  loop.run();  // with no timer set, only the descriptor can end this
  poster.join();
  ::close(efd);
  EXPECT_EQ(got, 7u);
}

TEST(PollRunLoopTest, SourceIsNotReenteredByANestedRun) {
  PollRunLoop loop;
  Pipe pipe;
  Pipe other;
  int entries = 0;
  int depth = 0;
  int maxDepth = 0;
  bool otherServedInside = false;
  loop.addFdSource(other.readEnd(), [&] {
    char c;
    if (::read(other.readEnd(), &c, 1) == 1) otherServedInside = depth > 0;
  });
  loop.addFdSource(pipe.readEnd(), [&] {
    ++entries;
    maxDepth = std::max(maxDepth, ++depth);
    other.put('y');
    // Still readable: a nested pass must leave this source alone.
    loop.runFor(0s);
    loop.runFor(0s);
    char c;
    EXPECT_EQ(::read(pipe.readEnd(), &c, 1), 1);
    --depth;
  });
  pipe.put('x');
  loop.runFor(0s);
  loop.runFor(0s);
  EXPECT_EQ(entries, 1);
  EXPECT_EQ(maxDepth, 1);
  EXPECT_TRUE(otherServedInside);
}

TEST(PollRunLoopTest, SourceClosedWithoutRemovalIsDropped) {
  PollRunLoop loop;
  int calls = 0;
  {
    Pipe pipe;
    loop.addFdSource(pipe.readEnd(), [&] { ++calls; });
  }
  loop.runFor(0s);
  loop.runFor(0s);
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace kst

namespace kst {
namespace {

// The loop on a thread of its own, as the main queue runs.
class LoopOnThread {
 public:
  LoopOnThread() : thread_([this] { loop_.run(); }) {}
  ~LoopOnThread() {
    loop_.stop();
    thread_.join();
  }
  PollRunLoop& loop() { return loop_; }

 private:
  PollRunLoop loop_;
  std::thread thread_;
};

// A file of the program's own, with content and a read position the loop
// must never move.
class ProgramFile {
 public:
  ProgramFile() {
    char name[] = "/tmp/kst-program-file-XXXXXX";
    fd_ = ::mkstemp(name);
    ::unlink(name);
    EXPECT_EQ(::write(fd_, "program", 7), 7);
    ::lseek(fd_, 0, SEEK_SET);
  }
  ~ProgramFile() { ::close(fd_); }
  int fd() const { return fd_; }
  // Nobody read from it or wrote to it through any of its numbers.
  bool untouched() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 && st.st_size == 7 && ::lseek(fd_, 0, SEEK_CUR) == 0;
  }

 private:
  int fd_ = -1;
};

TEST(PollRunLoopDescriptorTest, WakeUpPipeTheProgramTakesOrClosesIsRenewedNeverUsed) {
  const std::set<int> before = testing::keptDescriptors();
  auto owner = std::make_unique<LoopOnThread>();
  PollRunLoop& loop = owner->loop();
  const std::set<int> mine = testing::added(before, testing::keptDescriptors());
  ASSERT_EQ(mine.size(), 2u) << "the two ends of the wake-up pipe, at high numbers";

  // The program dup2s its own file over both ends.
  ProgramFile file;
  ASSERT_TRUE(testing::dupOver(file.fd(), mine));
  bool ran = false;
  loop.performAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);
  loop.performAndWait([] {});
  EXPECT_TRUE(file.untouched());

  // The program closes every descriptor the loop has now.
  const std::set<int> renewed = testing::added(before, testing::keptDescriptors());
  testing::closeAll(testing::added(mine, renewed));
  ran = false;
  loop.performAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);
  owner.reset();  // the destructor closes nothing of the program's
  EXPECT_TRUE(file.untouched());
  EXPECT_EQ(::fcntl(*mine.begin(), F_GETFD) >= 0, true) << "the program's descriptors stay open";
  testing::closeAll(mine);
}

TEST(PollRunLoopDescriptorTest, SourceWhoseNumberTheProgramTookIsDroppedUnread) {
  LoopOnThread owner;
  PollRunLoop& loop = owner.loop();
  Pipe pipe;
  std::atomic<int> calls{0};
  loop.addFdSource(pipe.readEnd(), [&] {
    char c;
    (void)::read(pipe.readEnd(), &c, 1);
    ++calls;
  });
  pipe.put('a');
  const auto limit = std::chrono::steady_clock::now() + 30s;
  while (calls == 0 && std::chrono::steady_clock::now() < limit) loop.performAndWait([] {});
  ASSERT_EQ(calls, 1);

  // Its owner's number now names the program's file, which is always readable.
  ProgramFile file;
  ASSERT_EQ(::dup2(file.fd(), pipe.readEnd()), pipe.readEnd());
  for (int i = 0; i < 3; ++i) loop.performAndWait([] {});
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(file.untouched());
}

}  // namespace
}  // namespace kst
