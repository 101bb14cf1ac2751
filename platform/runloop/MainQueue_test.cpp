#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/runloop/PollRunLoop.h"
#include "platform/runloop/RunLoop.h"

// The fork test's child starts the new main-queue thread, which the thread
// sanitizer refuses after a multi-threaded fork unless told otherwise.
extern "C" const char* __tsan_default_options() {
  return "die_after_fork=0";
}

namespace kst {
namespace {

using namespace std::chrono_literals;

TEST(MainQueueTest, IsOneSerialThreadOfItsOwn) {
  constexpr int kThreads = 4;
  constexpr int kEach = 100;
  std::set<std::thread::id> threadsSeen;  // touched only on the queue
  int inside = 0;
  int maxInside = 0;
  bool allOnLoopThread = true;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        mainQueue().perform([&] {
          maxInside = std::max(maxInside, ++inside);
          threadsSeen.insert(std::this_thread::get_id());
          allOnLoopThread =
              allOnLoopThread && mainQueue().isLoopThread() && RunLoop::current() == &mainQueue();
          --inside;
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  // Performs run in order, so this one comes after all of the above.
  bool checked = false;
  mainQueue().performAndWait([&] {
    EXPECT_EQ(threadsSeen.size(), 1u);
    EXPECT_EQ(*threadsSeen.begin(), std::this_thread::get_id());
    EXPECT_EQ(maxInside, 1);
    EXPECT_TRUE(allOnLoopThread);
    checked = true;
  });
  EXPECT_TRUE(checked);
  EXPECT_FALSE(mainQueue().isLoopThread());
  EXPECT_EQ(RunLoop::current(), nullptr);
  EXPECT_EQ(&mainQueue(), &mainQueue());
}

TEST(MainQueueTest, PerformAndWaitFromManyThreads) {
  constexpr int kThreads = 8;
  constexpr int kEach = 50;
  int counter = 0;  // touched only on the queue
  std::atomic<int> lost{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        int seen = 0;
        mainQueue().performAndWait([&] { seen = ++counter; });
        if (seen == 0) ++lost;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(lost, 0);
  int total = 0;
  mainQueue().performAndWait([&] { total = counter; });
  EXPECT_EQ(total, kThreads * kEach);
}

TEST(MainQueueTest, RunsTimersOnTheRealClock) {
  auto fired = std::make_shared<std::promise<bool>>();
  auto f = fired->get_future();
  mainQueue().addTimer(Seconds(0.01), [fired] { fired->set_value(mainQueue().isLoopThread()); });
  ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
  EXPECT_TRUE(f.get());
}

TEST(MainQueueTest, InstalledLoopTakesItsPlace) {
  RunLoop& own = mainQueue();
  PollRunLoop mine;
  installMainQueue(&mine);
  EXPECT_EQ(&mainQueue(), &mine);
  installMainQueue(nullptr);
  EXPECT_EQ(&mainQueue(), &own);
}

// Runs `body` in a forked child, where the queue has no thread yet (only
// the forking thread comes over); the child's exit status, or 1000 + the
// signal that ended it. The alarm ends a child that hangs.
int inForkedChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(60);
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

int threadCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (const dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

TEST(MainQueueTest, ChildOfAForkGetsAQueueThreadOfItsOwnWhenItNeedsOne) {
  RunLoop& parentQueue = mainQueue();
  std::promise<void> served;
  parentQueue.perform([&] { served.set_value(); });
  served.get_future().wait();  // the parent's queue thread runs
  const int status = inForkedChild([&] {
    // Only this thread came over: without a thread of its own the wait
    // below would never end, and the alarm ends the child instead.
    std::atomic<bool> ran{false};
    std::atomic<bool> onQueueThread{false};
    const std::thread::id self = std::this_thread::get_id();
    mainQueue().perform([&] {
      onQueueThread = mainQueue().isLoopThread() && std::this_thread::get_id() != self;
      ran = true;
    });
    while (!ran) std::this_thread::sleep_for(1ms);
    return onQueueThread && &mainQueue() == &parentQueue ? 42 : 1;
  });
  EXPECT_EQ(status, 42);
  // The parent's queue is unaffected.
  bool ran = false;
  mainQueue().performAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(&mainQueue(), &parentQueue);
}

// A process that only waits for work to be done (the launch-time reloads)
// runs no thread of ours: the work runs on the caller, as the queue's thread.
TEST(MainQueueTest, WaitedWorkRunsOnTheCallerUntilTheQueueNeedsAThread) {
  const int status = inForkedChild([] {
    const int before = threadCount();
    bool inline_ = false;
    mainQueue().performAndWait([&] {
      inline_ = mainQueue().isLoopThread() && RunLoop::current() == &mainQueue();
      // Nested waits run at once, as on the queue's thread.
      mainQueue().performAndWait([] {});
    });
    if (!inline_ || mainQueue().isLoopThread() || RunLoop::current() != nullptr) return 2;
    if (threadCount() != before) return 3;
    // Later work needs the thread: now there is one.
    std::promise<bool> onQueue;
    mainQueue().perform([&] { onQueue.set_value(mainQueue().isLoopThread()); });
    if (!onQueue.get_future().get()) return 4;
    if (threadCount() != before + 1) return 5;
    return 42;
  });
  EXPECT_EQ(status, 42);
}

// While one thread runs waited work inline, work queued by others waits for
// it, and another waiting caller runs after it: still one at a time, in order.
TEST(MainQueueTest, InlineWorkIsSerialWithEverythingElse) {
  const int status = inForkedChild([] {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::vector<int> order;  // touched only by the queue's work
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    auto step = [&](int n) {
      maxInside = std::max(maxInside.load(), ++inside);
      order.push_back(n);
      --inside;
    };
    std::thread first([&] {
      mainQueue().performAndWait([&] {
        entered.set_value();
        released.wait();
        step(1);
      });
    });
    entered.get_future().wait();
    mainQueue().perform([&] { step(2); });
    std::thread third([&] { mainQueue().performAndWait([&] { step(3); }); });
    std::this_thread::sleep_for(50ms);  // gives the others time to (wrongly) run early
    release.set_value();
    first.join();
    third.join();
    std::promise<void> drained;
    mainQueue().perform([&] { drained.set_value(); });
    drained.get_future().wait();
    if (maxInside != 1) return 2;
    if (order.size() != 3 || order[0] != 1) return 3;
    return 42;
  });
  EXPECT_EQ(status, 42);
}

}  // namespace
}  // namespace kst

namespace kst {
namespace {

TEST(MainQueueTest, QueueThreadBlocksEverySignal) {
  sigset_t mask;
  ::sigemptyset(&mask);
  std::promise<void> read;
  mainQueue().perform([&] {
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    read.set_value();
  });
  read.get_future().wait();
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD, SIGALRM, SIGPIPE, SIGCONT, SIGSEGV,
                  SIGABRT, SIGRTMIN + 3})
    EXPECT_TRUE(::sigismember(&mask, sig)) << "signal " << sig;
}

}  // namespace
}  // namespace kst
