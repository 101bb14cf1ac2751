#include "platform/objc/UIApplication.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/objc/MethodTable.h"
#include "platform/objc/ResumeWatch.h"
#include "platform/runloop/RunLoop.h"

// The fork test's child starts a main-queue thread of its own, which the
// thread sanitizer refuses after a multi-threaded fork unless told.
extern "C" const char* __tsan_default_options() {
  return "die_after_fork=0";
}

namespace kst::objc {
namespace {

using namespace std::chrono_literals;

// Waits up to `limit` for `done`; never a condition of correctness.
template <typename Pred>
bool waitFor(Pred done, std::chrono::seconds limit = 20s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::atomic<int> gLaunches{0};
KstId gLaunchSelf = nullptr;
WorkspaceDidLaunchImp gOrigDidLaunch = nullptr;

void recordLaunch(KstId self, KstSel cmd, KstId workspace, KstId completion) {
  gLaunchSelf = self;
  ++gLaunches;
  gOrigDidLaunch(self, cmd, workspace, completion);
}

TEST(UIApplicationTest, DefaultMainSendsTheWorkspaceLaunch) {
  UIApplication& app = UIApplication::shared();
  EXPECT_EQ(&UIApplication::shared(), &app);
  EXPECT_EQ(getClass(kUIApplicationClassName), app.cls());
  // Unhooked, launching does nothing visible.
  EXPECT_EQ(defaultApplicationMain(0, nullptr, nullptr, nullptr), 0);

  KstImp orig = nullptr;
  ASSERT_TRUE(replaceMethod(app.cls(), selector(kWorkspaceDidLaunchSelector),
                            reinterpret_cast<KstImp>(&recordLaunch), &orig));
  gOrigDidLaunch = reinterpret_cast<WorkspaceDidLaunchImp>(orig);
  ASSERT_NE(gOrigDidLaunch, nullptr);
  char arg0[] = "app";
  char* argv[] = {arg0, nullptr};
  EXPECT_EQ(defaultApplicationMain(1, argv, nullptr, nullptr), 0);
  EXPECT_EQ(gLaunches.load(), 1);
  EXPECT_EQ(gLaunchSelf, app.self());
}

std::atomic<int> gResumes{0};
std::atomic<int> gResumesOffQueue{0};
std::atomic<int> gEarlierHandlerCalls{0};

void recordResume(KstId, KstSel) {
  if (!mainQueue().isLoopThread()) ++gResumesOffQueue;
  ++gResumes;
}

void earlierHandler(int) {
  ++gEarlierHandlerCalls;
}

// One test, since the watch starts once per process and stays.
TEST(ResumeWatchTest, ContinueSignalRunsTheResumeOnTheMainQueue) {
  // The application's own handler, there before the hook.
  struct sigaction action = {};
  action.sa_handler = earlierHandler;
  ::sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGCONT, &action, nullptr), 0);

  UIApplication& app = UIApplication::shared();
  EXPECT_FALSE(ResumeWatch::running());
  ASSERT_EQ(::kill(::getpid(), SIGCONT), 0);  // nobody watches yet
  EXPECT_TRUE(waitFor([] { return gEarlierHandlerCalls.load() == 1; }));
  EXPECT_EQ(gResumes.load(), 0);

  ASSERT_TRUE(replaceMethod(app.cls(), selector(kApplicationDidResumeSelector),
                            reinterpret_cast<KstImp>(&recordResume), nullptr));
  EXPECT_TRUE(ResumeWatch::running());
  // Watched from the first judged call on; a signal that came before is
  // read then.
  ASSERT_EQ(::kill(::getpid(), SIGCONT), 0);
  ResumeWatch::watch();
  EXPECT_TRUE(waitFor([] { return gResumes.load() == 1; }));
  EXPECT_EQ(gResumesOffQueue.load(), 0);
  EXPECT_EQ(gEarlierHandlerCalls.load(), 2);

  // A forked child resumes on its own queue and never wakes the parent's.
  // Nothing of ours runs in it before it asks (a program's fork and exec
  // are left alone); a signal that came before is not lost.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool aloneAfterFork = std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                              std::filesystem::directory_iterator()) == 1;
    const int before = gResumes.load();
    ::kill(::getpid(), SIGCONT);
    ResumeWatch::watch();
    const bool resumed = waitFor([&] { return gResumes.load() == before + 1; });
    ::_exit(!aloneAfterFork ? 2 : resumed && gResumesOffQueue.load() == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Had the child written to the parent's pipe, two passes of the queue
  // would have read it by now.
  mainQueue().performAndWait([] {});
  mainQueue().performAndWait([] {});
  EXPECT_EQ(gResumes.load(), 1);
}

}  // namespace
}  // namespace kst::objc
