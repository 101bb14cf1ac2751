#include "hook/intercept/HandlerJudge.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace kst {
namespace {

// The judge for these tests: port 1 passes, anything else is refused;
// port 2 is held until `gRelease`, far beyond the handler's bound.
std::atomic<bool> gRelease{false};
std::atomic<int> gJudged{0};

bool testJudge(const HandlerRequest& r) {
  ++gJudged;
  if (r.address.port() == 2) {
    while (!gRelease.load()) std::this_thread::yield();
  }
  return r.address.port() == 1 && r.call == HandlerCall::kDatagram;
}

HandlerRequest requestFor(int port) {
  HandlerRequest r;
  r.call = HandlerCall::kDatagram;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(0x7f000002);
  const auto j = judgedAddress(reinterpret_cast<const sockaddr*>(&a), sizeof a);
  r.address = *j;
  return r;
}

std::atomic<int> gPort{0};
std::atomic<int> gVerdict{-1};
std::atomic<int> gErrnoAfter{0};

void askingHandler(int) {
  errno = 1234;
  gVerdict = judgeFromHandler(requestFor(gPort.load())) ? 1 : 0;
  gErrnoAfter = errno;
}

int askFromHandler(int port) {
  gPort = port;
  gVerdict = -1;
  struct sigaction action = {};
  action.sa_handler = askingHandler;
  sigemptyset(&action.sa_mask);
  EXPECT_EQ(::sigaction(SIGUSR1, &action, nullptr), 0);
  EXPECT_EQ(::raise(SIGUSR1), 0);
  ::signal(SIGUSR1, SIG_DFL);
  return gVerdict.load();
}

TEST(HandlerJudgeTest, HandlersGetTheJudgesVerdictWithErrnoKept) {
  ASSERT_TRUE(startHandlerJudge(&testJudge));
  const int before = gJudged.load();
  EXPECT_EQ(askFromHandler(1), 1);
  EXPECT_EQ(askFromHandler(3), 0);
  EXPECT_EQ(gJudged.load(), before + 2) << "both went to the judge thread";
  EXPECT_EQ(gErrnoAfter.load(), 1234);
}

TEST(HandlerJudgeTest, AVerdictThatComesTooLateRefusesAndFreesTheSlot) {
  ASSERT_TRUE(startHandlerJudge(&testJudge));
  gRelease = false;
  EXPECT_EQ(askFromHandler(2), 0) << "refused after the bound";
  // Still held: a request the judge would allow is refused too, since
  // the judge is stuck with the first.
  EXPECT_EQ(askFromHandler(1), 0);
  gRelease = true;
  // The judge finishes the abandoned request and frees its slot (the first
  // answers may still find it busy); every slot is usable again, more often
  // than there are slots.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (askFromHandler(1) != 1 && std::chrono::steady_clock::now() < deadline) {
  }
  for (int i = 0; i < 40; ++i) ASSERT_EQ(askFromHandler(1), 1) << i;
}

// A forked child has no judge thread until its first ordinary call starts
// one; its handlers' calls are refused until then, never left waiting.
TEST(HandlerJudgeTest, AForkedChildStartsAJudgeOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer cannot start threads after a multi-threaded fork";
#endif
  ASSERT_TRUE(startHandlerJudge(&testJudge));
  ASSERT_EQ(askFromHandler(1), 1);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool refusedFirst = askFromHandler(1) == 0;
    const bool started = startHandlerJudge(&testJudge);
    const bool allowedThen = askFromHandler(1) == 1;
    ::_exit(refusedFirst && started && allowedThen ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(askFromHandler(1), 1) << "the parent's judge goes on";
}

}  // namespace
}  // namespace kst
