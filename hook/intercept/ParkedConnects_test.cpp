#include "hook/intercept/ParkedConnects.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace kst {
namespace {

constexpr int kWaitMs = 5000;  // a bound for what happens at once

class ParkedConnectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parked().setReal(::connect, ::getsockopt);
    server_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.10", &a.sin_addr);
    ASSERT_EQ(::bind(server_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(server_, 1024), 0);
    socklen_t length = sizeof a;
    ::getsockname(server_, reinterpret_cast<sockaddr*>(&a), &length);
    destination_ = *judgedAddress(reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  void TearDown() override {
    ::close(server_);
    waitUntilNoneParked();
  }

  static ParkedConnects& parked() { return ParkedConnects::process(); }
  static void waitUntilNoneParked() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (parked().parkedCount() != 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  static int nonBlockingSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }
  // SO_ERROR as a program under the library reads it: through the
  // replaced getsockopt, which never overlaps a parked socket's switch.
  static int soError(int fd) {
    int error = -1;
    socklen_t length = sizeof error;
    parked().readError([&] { return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length); });
    return error;
  }
  static short pollEvents(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN | POLLOUT, 0};
    return ::poll(&p, 1, timeoutMs) == 1 ? p.revents : 0;
  }
  // A connection the server has now.
  bool serverHasConnection() {
    const int c = ::accept(server_, nullptr, nullptr);
    if (c < 0) return false;
    ::close(c);
    return true;
  }
  // A connection the server gets within the bound: a poller may hear of a
  // parked connect a moment before its real handshake ends.
  bool serverGetsConnection() {
    pollfd p{server_, POLLIN, 0};
    return ::poll(&p, 1, kWaitMs) == 1 && serverHasConnection();
  }
  static std::size_t openDescriptors() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
      while (::readdir(d) != nullptr) ++n;
      ::closedir(d);
    }
    return n;
  }

  int server_ = -1;
  JudgedAddress destination_;
};

// A judge the test answers.
struct HeldAnswer {
  std::promise<bool> answer;
  std::shared_future<bool> future{answer.get_future().share()};
  ParkedConnects::Judge judge() {
    auto f = future;
    return [f] { return f.get(); };
  }
};

TEST_F(ParkedConnectsTest, ParkedSocketLooksConnectingAndNothingReachesTheDestination) {
  const int fd = nonBlockingSocket();
  HeldAnswer held;
  ASSERT_TRUE(parked().park(fd, destination_, held.judge()));
  EXPECT_TRUE(parked().isParked(fd));
  EXPECT_EQ(pollEvents(fd, 300), 0);
  EXPECT_EQ(soError(fd), 0);
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  EXPECT_EQ(::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length), -1);
  EXPECT_EQ(errno, ENOTCONN);
  EXPECT_FALSE(serverHasConnection());
  held.answer.set_value(true);
  EXPECT_TRUE(pollEvents(fd, kWaitMs) & POLLOUT);
  EXPECT_EQ(soError(fd), 0);
  length = sizeof peer;
  ASSERT_EQ(::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length), 0);
  EXPECT_EQ(reinterpret_cast<sockaddr_in*>(&peer)->sin_port,
            reinterpret_cast<const sockaddr_in*>(destination_.get())->sin_port);
  EXPECT_TRUE(serverGetsConnection());
  ::close(fd);
}

TEST_F(ParkedConnectsTest, RefusedSocketFailsAsARefusedConnectDoes) {
  const int fd = nonBlockingSocket();
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLOUT | EPOLLET;
  ASSERT_EQ(::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev), 0);
  ASSERT_TRUE(parked().park(fd, destination_, [] { return false; }));
  epoll_event out{};
  int error = 0;
  for (int i = 0; i < 10 && error == 0; ++i) {
    ASSERT_EQ(::epoll_wait(ep, &out, 1, kWaitMs), 1);
    EXPECT_TRUE(out.events & EPOLLERR);
    error = soError(fd);
  }
  EXPECT_EQ(error, ECONNREFUSED);
  EXPECT_FALSE(serverHasConnection());
  ::close(ep);
  ::close(fd);
}

TEST_F(ParkedConnectsTest, EdgeTriggeredEpollSeesTheAllowedConnectionComplete) {
  const int fd = nonBlockingSocket();
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLOUT | EPOLLET;
  ASSERT_EQ(::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev), 0);
  HeldAnswer held;
  ASSERT_TRUE(parked().park(fd, destination_, held.judge()));
  epoll_event out{};
  EXPECT_EQ(::epoll_wait(ep, &out, 1, 200), 0);
  held.answer.set_value(true);
  // Woken once by the switch itself, perhaps: wait until the connection is
  // there, as a program's loop would.
  bool connected = false;
  for (int i = 0; i < 10 && !connected; ++i) {
    if (::epoll_wait(ep, &out, 1, kWaitMs) != 1) break;
    EXPECT_EQ(soError(fd), 0);
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    connected = ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
  }
  EXPECT_TRUE(connected);
  ::close(ep);
  ::close(fd);
}

TEST_F(ParkedConnectsTest, SocketMadeBlockingMeanwhileStillCompletesAndKeepsItsFlags) {
  const int fd = nonBlockingSocket();
  HeldAnswer held;
  ASSERT_TRUE(parked().park(fd, destination_, held.judge()));
  const int flags = ::fcntl(fd, F_GETFL);
  ASSERT_EQ(::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK), 0);
  held.answer.set_value(true);
  EXPECT_TRUE(pollEvents(fd, kWaitMs) & POLLOUT);
  waitUntilNoneParked();
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_TRUE(serverGetsConnection());
  ::close(fd);
}

TEST_F(ParkedConnectsTest, ClosedBeforeTheAnswerLeaksNothing) {
  const std::size_t before = openDescriptors();
  const int fd = nonBlockingSocket();
  HeldAnswer held;
  ASSERT_TRUE(parked().park(fd, destination_, held.judge()));
  parked().programCloses(fd);
  ::close(fd);
  // The number may name another socket at once; it is not the parked one.
  const int other = nonBlockingSocket();
  EXPECT_FALSE(parked().isParked(other));
  ::close(other);
  held.answer.set_value(false);
  waitUntilNoneParked();
  EXPECT_EQ(parked().parkedCount(), 0u);
  // The library's loopback ends stay for the process; nothing else.
  EXPECT_LE(openDescriptors(), before + 4);
}

TEST_F(ParkedConnectsTest, NumberReplacedByDup2IsNotTakenForTheParkedSocket) {
  const int fd = nonBlockingSocket();
  HeldAnswer held;
  ASSERT_TRUE(parked().park(fd, destination_, held.judge()));
  const int other = nonBlockingSocket();
  ASSERT_EQ(::dup2(other, fd), fd);
  EXPECT_FALSE(parked().isParked(fd));
  held.answer.set_value(true);
  waitUntilNoneParked();
  ::close(other);
  ::close(fd);
}

TEST_F(ParkedConnectsTest, ProgramsOwnUndoTakesTheSocketBack) {
  const int fd = nonBlockingSocket();
  HeldAnswer held;
  ASSERT_TRUE(parked().park(fd, destination_, held.judge()));
  parked().programUndoes(fd);
  EXPECT_FALSE(parked().isParked(fd));
  EXPECT_EQ(parked().parkedCount(), 0u);
  sockaddr undo{};
  undo.sa_family = AF_UNSPEC;
  ASSERT_EQ(::connect(fd, &undo, sizeof undo), 0);
  (void)soError(fd);
  held.answer.set_value(false);  // the answer finds nothing to end
  EXPECT_EQ(::connect(fd, destination_.get(), destination_.length), -1);
  EXPECT_EQ(errno, EINPROGRESS);
  EXPECT_TRUE(pollEvents(fd, kWaitMs) & POLLOUT);
  EXPECT_EQ(soError(fd), 0);
  ::close(fd);
}

TEST_F(ParkedConnectsTest, ForkedChildLeavesTheAnswerToTheParentAndSeesItsResult) {
  const int fd = nonBlockingSocket();
  HeldAnswer held;
  ASSERT_TRUE(parked().park(fd, destination_, held.judge()));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Nothing of the parent's table, and the shared socket completes when
    // the parent's answer comes.
    if (parked().parkedCount() != 0 || parked().isParked(fd)) ::_exit(1);
    pollfd p{fd, POLLOUT, 0};
    ::_exit(::poll(&p, 1, kWaitMs) == 1 && (p.revents & POLLOUT) != 0 ? 0 : 2);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  held.answer.set_value(true);
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(serverGetsConnection());
  ::close(fd);
}

TEST_F(ParkedConnectsTest, SocketThatIsNotAFreshInternetSocketIsNotParked) {
  const int local = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  EXPECT_FALSE(parked().park(local, destination_, [] { return true; }));
  ::close(local);
  const int connecting = nonBlockingSocket();
  ASSERT_EQ(::connect(connecting, destination_.get(), destination_.length), -1);
  EXPECT_FALSE(parked().park(connecting, destination_, [] { return true; }));
  ::close(connecting);
  EXPECT_EQ(parked().parkedCount(), 0u);
}

// A datagram receiver on loopback, and what it has been sent.
struct DatagramReceiver {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  JudgedAddress address;
  explicit DatagramReceiver(const char* ip) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    address = *judgedAddress(reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~DatagramReceiver() { ::close(fd); }
  // The next datagram within `ms`, or "".
  std::string next(int ms) const {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return "";
    char buffer[256];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
  }
};

bool sendText(int fd, const std::string& text) {
  return ::send(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

in_port_t peerPortOf(int fd) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 ? peer.sin_port : 0;
}

in_port_t portOf(const JudgedAddress& a) { return reinterpret_cast<const sockaddr_in*>(a.get())->sin_port; }

TEST_F(ParkedConnectsTest, DatagramSocketSendsNothingUntilAllowedThenReachesItsDestination) {
  DatagramReceiver receiver("127.0.0.11");
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  HeldAnswer held;
  ASSERT_TRUE(parked().park(fd, receiver.address, held.judge()));
  EXPECT_TRUE(parked().isParked(fd));
  // Connected (to the library's sink): sends succeed and go nowhere.
  EXPECT_TRUE(sendText(fd, "before"));
  EXPECT_EQ(receiver.next(200), "");
  held.answer.set_value(true);
  waitUntilNoneParked();
  EXPECT_EQ(peerPortOf(fd), portOf(receiver.address));
  EXPECT_TRUE(sendText(fd, "after"));
  EXPECT_EQ(receiver.next(kWaitMs), "after");
  ::close(fd);
}

TEST_F(ParkedConnectsTest, RefusedDatagramSocketNeverReachesItsDestination) {
  DatagramReceiver receiver("127.0.0.11");
  const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // A dual-stack socket to an IPv4 destination, as a browser's probe does.
  ASSERT_TRUE(parked().park(fd, receiver.address, [] { return false; }));
  waitUntilNoneParked();
  EXPECT_TRUE(sendText(fd, "refused"));
  EXPECT_EQ(receiver.next(300), "");
  ::close(fd);
}

TEST_F(ParkedConnectsTest, DatagramSocketConnectedElsewhereMeanwhileStaysThere) {
  DatagramReceiver first("127.0.0.11");
  DatagramReceiver second("127.0.0.12");
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  HeldAnswer held;
  ASSERT_TRUE(parked().park(fd, first.address, held.judge()));
  // A connect the library does not see (a raw system call, say).
  ASSERT_EQ(::connect(fd, second.address.get(), second.address.length), 0);
  held.answer.set_value(true);
  waitUntilNoneParked();
  EXPECT_EQ(peerPortOf(fd), portOf(second.address));
  EXPECT_TRUE(sendText(fd, "second"));
  EXPECT_EQ(second.next(kWaitMs), "second");
  EXPECT_EQ(first.next(100), "");
  ::close(fd);
}

TEST_F(ParkedConnectsTest, ManyParkedAtOnceAreEachAnsweredWithinTheBound) {
  // More than the library holds descriptors of under a small limit: the
  // rest are reached through their numbers.
  const std::size_t n = ParkedConnects::maxOwned() + 50;
  HeldAnswer held;
  std::vector<int> fds;
  for (std::size_t i = 0; i < n; ++i) {
    fds.push_back(nonBlockingSocket());
    ASSERT_TRUE(parked().park(fds.back(), destination_, held.judge())) << i;
  }
  EXPECT_EQ(parked().parkedCount(), n);
  held.answer.set_value(true);
  for (int fd : fds) {
    while (serverHasConnection()) {
    }  // room in the server's queue
    EXPECT_TRUE(pollEvents(fd, kWaitMs) & POLLOUT);
  }
  waitUntilNoneParked();
  for (int fd : fds) {
    EXPECT_EQ(soError(fd), 0);
    ::close(fd);
  }
}

}  // namespace
}  // namespace kst
