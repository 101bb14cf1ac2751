#include "hook/intercept/JudgedCall.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace kst {
namespace {

// The calls with the token, outside any filter (the kernel ignores the
// extra arguments): each must do for its caller what the C library's does.
class JudgedCallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv(kCallTokenVariable, "00112233445566778899aabbccddeeff", 1);
    ASSERT_TRUE(processCallToken());
  }
};

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

TEST_F(JudgedCallTest, ResultsAndErrorsAreTheRealOnes) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t len = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(judged::connect(::connect, fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  errno = 0;
  EXPECT_EQ(judged::connect(::connect, fd, reinterpret_cast<sockaddr*>(&a), sizeof a), -1);
  EXPECT_EQ(errno, EISCONN);
  errno = 0;
  EXPECT_EQ(judged::connect(::connect, -1, reinterpret_cast<sockaddr*>(&a), sizeof a), -1);
  EXPECT_EQ(errno, EBADF);
  ::close(fd);
  ::close(listener);

  // A datagram to an address, sent as sendmsg: the same bytes arrive.
  const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in r = loopback(0);
  ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&r), sizeof r), 0);
  len = sizeof r;
  ::getsockname(receiver, reinterpret_cast<sockaddr*>(&r), &len);
  const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_EQ(judged::sendto(::sendto, sender, "abc", 3, 0, reinterpret_cast<sockaddr*>(&r), sizeof r), 3);
  char got[8] = {};
  EXPECT_EQ(::recv(receiver, got, sizeof got, 0), 3);
  EXPECT_STREQ(got, "abc");
  errno = 0;
  EXPECT_EQ(judged::sendto(::sendto, sender, "abc", 3, 0, reinterpret_cast<sockaddr*>(&r), 3), -1)
      << "an address too short for its family";
  EXPECT_EQ(errno, EINVAL);
  mmsghdr messages[2] = {};
  iovec data{const_cast<char*>("xy"), 2};
  for (mmsghdr& m : messages) {
    m.msg_hdr.msg_name = &r;
    m.msg_hdr.msg_namelen = sizeof r;
    m.msg_hdr.msg_iov = &data;
    m.msg_hdr.msg_iovlen = 1;
  }
  EXPECT_EQ(judged::sendmmsg(::sendmmsg, sender, messages, 2, 0), 2);
  EXPECT_EQ(messages[1].msg_len, 2u);
  ::close(sender);
  ::close(receiver);
}

// A socket pair whose sending side is full: a send on it blocks.
struct FullPair {
  int fds[2] = {-1, -1};
  FullPair() {
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    const int small = 4096;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::vector<char> chunk(small, 'x');
    while (::send(fds[0], chunk.data(), chunk.size(), MSG_DONTWAIT) > 0) {
    }
  }
  ~FullPair() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
};

void* blockedSend(void* arg) {
  const int fd = *static_cast<int*>(arg);
  char byte = 'x';
  iovec data{&byte, 1};
  msghdr h{};
  h.msg_iov = &data;
  h.msg_iovlen = 1;
  judged::sendmsg(::sendmsg, fd, &h, MSG_NOSIGNAL);
  return nullptr;
}

TEST_F(JudgedCallTest, ABlockedCallIsACancellationPoint) {
#if defined(__SANITIZE_ADDRESS__)
  // The address sanitizer does not follow a cancellation's unwinding: the
  // frames it leaves poisoned fail its own check when the thread ends.
  GTEST_SKIP() << "cancellation unwinding under the address sanitizer";
#endif
  FullPair pair;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, blockedSend, &pair.fds[0]), 0);
  ::usleep(50 * 1000);  // (it blocks either way; cancellation must reach it there)
  ASSERT_EQ(pthread_cancel(thread), 0);
  void* result = nullptr;
  timespec bound{};
  ::clock_gettime(CLOCK_REALTIME, &bound);
  bound.tv_sec += 20;
  if (pthread_timedjoin_np(thread, &result, &bound) != 0) {
    ADD_FAILURE() << "the blocked call was not cancelled";
    // Unblock it: the send completes, and cancellation acts at the next point.
    ::shutdown(pair.fds[1], SHUT_RDWR);
    pthread_join(thread, &result);
  }
  EXPECT_EQ(result, PTHREAD_CANCELED);
}

std::atomic<int> gSendErrno{0};
void noteSignal(int) {}

void* interruptedSend(void* arg) {
  const int fd = *static_cast<int*>(arg);
  char byte = 'x';
  iovec data{&byte, 1};
  msghdr h{};
  h.msg_iov = &data;
  h.msg_iovlen = 1;
  const ssize_t rc = judged::sendmsg(::sendmsg, fd, &h, 0);
  gSendErrno = rc < 0 ? errno : 0;
  return nullptr;
}

TEST_F(JudgedCallTest, ASignalWithoutRestartInterruptsWithEintr) {
  struct sigaction action {};
  action.sa_handler = noteSignal;  // no SA_RESTART
  struct sigaction old {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
  FullPair pair;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, interruptedSend, &pair.fds[0]), 0);
  // Until the send has returned: a signal sent before it blocks only
  // interrupts nothing, so send again.
  for (int i = 0; i < 200 && gSendErrno.load() == 0; ++i) {
    ::usleep(20 * 1000);
    pthread_kill(thread, SIGUSR1);
  }
  pthread_join(thread, nullptr);
  EXPECT_EQ(gSendErrno.load(), EINTR);
  ::sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
}  // namespace kst
