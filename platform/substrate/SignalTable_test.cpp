// The program's signal handlers behind the substrate's dispatcher, in one
// process that links libsubstrate.so: sigaction, signal and the sleeps of
// this program are the substrate's, as in a preloaded application.

#include <gtest/gtest.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/objc/UIApplication.h"
#include "platform/substrate/Substrate.h"

namespace kst::substrate {
namespace {

std::atomic<int> gUsr1Calls{0};
std::atomic<int> gReinstalls{0};

// The System V habit: a one-shot handler that installs itself again.
void reinstallingHandler(int sig) {
  ++gReinstalls;
  ::sysv_signal(sig, reinstallingHandler);
}
std::atomic<int> gUsr1InHandler{-1};
std::atomic<int> gUsr1Inside{-1};

void onUsr1(int) {
  ++gUsr1Calls;
  gUsr1InHandler = kst_substrate_in_signal_handler();
  gUsr1Inside = kst_substrate_inside();
}

void onUsr1Info(int, siginfo_t* info, void*) {
  ++gUsr1Calls;
  gUsr1InHandler = info != nullptr && info->si_signo == SIGUSR1 ? kst_substrate_in_signal_handler() : -2;
}

bool waitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class SignalTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer runs handlers later, outside the dispatcher";
#endif
  }
};

TEST_F(SignalTableTest, HandlersRunMarkedAndOutsideTheLibrarysOwnCalls) {
  struct sigaction action = {};
  action.sa_handler = onUsr1;
  sigemptyset(&action.sa_mask);
  struct sigaction old = {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
  struct sigaction now = {};
  ASSERT_EQ(::sigaction(SIGUSR1, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, onUsr1) << "the program sees its own handler, not the dispatcher";
  EXPECT_EQ(kst_substrate_in_signal_handler(), 0);

  // Raised while the thread is inside the library's own calls: the
  // handler's calls are the program's again.
  kst_substrate_enter();
  ASSERT_EQ(::raise(SIGUSR1), 0);
  EXPECT_EQ(kst_substrate_inside(), 1) << "restored after the handler";
  kst_substrate_leave();
  EXPECT_EQ(gUsr1Calls.load(), 1);
  EXPECT_EQ(gUsr1InHandler.load(), 1);
  EXPECT_EQ(gUsr1Inside.load(), 0);

  // signal() answers with the previous handler and installs the new one
  // behind the dispatcher as well.
  EXPECT_EQ(::signal(SIGUSR1, SIG_IGN), onUsr1);
  ASSERT_EQ(::raise(SIGUSR1), 0);
  EXPECT_EQ(gUsr1Calls.load(), 1) << "ignored";
  action.sa_sigaction = onUsr1Info;
  action.sa_flags = SA_SIGINFO | SA_RESETHAND;
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
  EXPECT_EQ(old.sa_handler, SIG_IGN);
  ASSERT_EQ(::raise(SIGUSR1), 0);
  EXPECT_EQ(gUsr1Calls.load(), 2);
  EXPECT_EQ(gUsr1InHandler.load(), 1) << "a three-argument handler gets its siginfo";
  ASSERT_EQ(::sigaction(SIGUSR1, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL) << "a one-shot handler is gone after it ran";
  EXPECT_EQ(::signal(SIGUSR1, SIG_IGN), SIG_DFL);
  EXPECT_EQ(::signal(SIGKILL, SIG_IGN), SIG_ERR);
  // The System V form: one-shot, behind the dispatcher like the others.
  EXPECT_EQ(::sysv_signal(SIGUSR1, onUsr1), SIG_IGN);
  ASSERT_EQ(::raise(SIGUSR1), 0);
  EXPECT_EQ(gUsr1Calls.load(), 3);
  EXPECT_EQ(gUsr1InHandler.load(), 1);
  EXPECT_EQ(::signal(SIGUSR1, SIG_DFL), SIG_DFL) << "reset after it ran";
  ASSERT_EQ(::sysv_signal(SIGUSR1, reinstallingHandler), SIG_DFL);
  ASSERT_EQ(::raise(SIGUSR1), 0);
  ASSERT_EQ(::raise(SIGUSR1), 0);
  EXPECT_EQ(gReinstalls.load(), 2) << "installed again by itself, it stays";
  EXPECT_EQ(::signal(SIGUSR1, SIG_IGN), reinstallingHandler);
  EXPECT_EQ(::sigaction(0, &action, nullptr), -1);
}

sigjmp_buf gJump;
std::atomic<int> gJumpInHandler{-1};

void jumpingHandler(int) {
  gJumpInHandler = kst_substrate_in_signal_handler();
  siglongjmp(gJump, 1);
}

// A handler left with siglongjmp never returns to the dispatcher; the
// thread must not stay "in a handler" (its calls would never be asked).
TEST_F(SignalTableTest, AHandlerLeftWithSiglongjmpIsLeft) {
  ASSERT_NE(::signal(SIGUSR2, jumpingHandler), SIG_ERR);
  if (sigsetjmp(gJump, 1) == 0) {
    ::raise(SIGUSR2);
    ADD_FAILURE() << "the handler jumps back";
  }
  EXPECT_EQ(gJumpInHandler.load(), 1);
  // The program's next call of a hooked function finds the handler left.
  errno = 0;
  EXPECT_EQ(::connect(-1, nullptr, 0), -1);
  EXPECT_EQ(kst_substrate_in_signal_handler(), 0);
  EXPECT_EQ(kst_substrate_inside(), 0);
  ::signal(SIGUSR2, SIG_DFL);
}

std::atomic<int> gResumes{0};
std::atomic<int> gProgramContinues{0};
std::atomic<int> gUsr2Calls{0};

void recordResume(KstId, KstSel) {
  ++gResumes;
}
void onContinue(int) {
  ++gProgramContinues;
}
void onUsr2(int) {
  ++gUsr2Calls;
}

// Sends `sig` to `thread` every few milliseconds until `done`.
void pester(pthread_t thread, int sig, const std::atomic<bool>& done) {
  while (!done.load()) {
    ::pthread_kill(thread, sig);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// One test: the resume watch, once started, stays for the process.
TEST_F(SignalTableTest, ResumeWatchKeepsWorkingAndNeverCutsASleepShort) {
  const KstClass app = kst_objc_getClass(objc::kUIApplicationClassName);
  ASSERT_NE(app, nullptr);
  KstImp original = nullptr;
  MSHookMessageEx(app, kst_objc_selector(objc::kApplicationDidResumeSelector),
                  reinterpret_cast<KstImp>(&recordResume), &original);
  ASSERT_EQ(::raise(SIGCONT), 0);
  kst_objc_watchResume();  // as the hook library's first judged call does
  ASSERT_TRUE(waitFor([] { return gResumes.load() >= 1; }));

  // The program takes the signal for itself, later: both run.
  ASSERT_NE(::signal(SIGCONT, onContinue), SIG_ERR);
  const int resumes = gResumes.load();
  ASSERT_EQ(::raise(SIGCONT), 0);
  EXPECT_EQ(gProgramContinues.load(), 1);
  EXPECT_TRUE(waitFor([&] { return gResumes.load() > resumes; }));
  // Ignoring it does not switch the resume off.
  EXPECT_EQ(::signal(SIGCONT, SIG_IGN), onContinue);
  const int resumes2 = gResumes.load();
  ASSERT_EQ(::raise(SIGCONT), 0);
  EXPECT_TRUE(waitFor([&] { return gResumes.load() > resumes2; }));
  EXPECT_EQ(gProgramContinues.load(), 1);
  ASSERT_EQ(::signal(SIGCONT, SIG_DFL), SIG_IGN);

  // A sleep under a storm of SIGCONT ends when it is due, not at the first.
  std::atomic<bool> done{false};
  const int before = gResumes.load();
  std::thread storm(pester, ::pthread_self(), SIGCONT, std::cref(done));
  const unsigned int left = ::sleep(1);
  timespec ts{0, 300 * 1000 * 1000};
  timespec rem{};
  const int nano = ::nanosleep(&ts, &rem);
  const int micro = ::usleep(300 * 1000);
  const int clockNano = ::clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &rem);
  done = true;
  storm.join();
  EXPECT_EQ(left, 0u);
  EXPECT_EQ(nano, 0);
  EXPECT_EQ(micro, 0);
  EXPECT_EQ(clockNano, 0);
  EXPECT_GT(gResumes.load(), before) << "the storm did reach the watch";

  // A handler of the program's still ends a sleep early, as it always did.
  ASSERT_NE(::signal(SIGUSR2, onUsr2), SIG_ERR);
  done = false;
  std::thread usr2(pester, ::pthread_self(), SIGUSR2, std::cref(done));
  ts = {10, 0};
  errno = 0;
  EXPECT_EQ(::nanosleep(&ts, &rem), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_GT(rem.tv_sec + rem.tv_nsec, 0);
  done = true;
  usr2.join();
  EXPECT_GE(gUsr2Calls.load(), 1);
  ::signal(SIGUSR2, SIG_DFL);
}

}  // namespace
}  // namespace kst::substrate
