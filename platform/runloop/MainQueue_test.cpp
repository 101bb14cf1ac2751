#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

TEST(MainQueueTest, ChildOfAForkGetsAQueueOfItsOwn) {
  RunLoop& parentQueue = mainQueue();
  parentQueue.performAndWait([] {});  // the parent's queue thread is running
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Only this thread came over: without a fresh queue the wait below
    // would never end, and the alarm ends the child instead.
    ::alarm(30);
    bool ran = false;
    bool onQueueThread = false;
    mainQueue().performAndWait([&] {
      ran = true;
      onQueueThread = mainQueue().isLoopThread();
    });
    const bool fresh = &mainQueue() != &parentQueue;
    ::_exit(ran && onQueueThread && fresh ? 42 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 42);
  // The parent's queue is unaffected.
  bool ran = false;
  mainQueue().performAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(&mainQueue(), &parentQueue);
}

}  // namespace
}  // namespace kst

namespace kst {
namespace {

TEST(MainQueueTest, QueueThreadBlocksEverySignal) {
  sigset_t mask;
  ::sigemptyset(&mask);
  mainQueue().performAndWait([&] { ::pthread_sigmask(SIG_BLOCK, nullptr, &mask); });
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD, SIGALRM, SIGPIPE, SIGCONT, SIGSEGV,
                  SIGABRT, SIGRTMIN + 3})
    EXPECT_TRUE(::sigismember(&mask, sig)) << "signal " << sig;
}

}  // namespace
}  // namespace kst
