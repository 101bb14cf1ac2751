#include "tools/launch/DnsForwarder.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kst::launch {
namespace {

using Bytes = std::string;

constexpr int kTypeA = 1;
constexpr int kTypeCname = 5;

Bytes u16(unsigned v) {
  return Bytes{static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
}

Bytes encodeName(const std::string& name) {
  Bytes out;
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out += static_cast<char>(dot - start);
    out += name.substr(start, dot - start);
    start = dot + 1;
  }
  return out + '\0';
}

Bytes query(unsigned id, const std::string& name) {
  return u16(id) + u16(0x0100) + u16(1) + u16(0) + u16(0) + u16(0) + encodeName(name) + u16(kTypeA) + u16(1);
}

// An answer record; `data` is its RDATA.
Bytes record(const std::string& owner, int type, const Bytes& data) {
  return encodeName(owner) + u16(type) + u16(1) + u16(0) + u16(60) + u16(data.size()) + data;
}
Bytes a(const std::string& owner, const char* ip) {
  in_addr v4{};
  ::inet_pton(AF_INET, ip, &v4);
  return record(owner, kTypeA, Bytes(reinterpret_cast<const char*>(&v4), 4));
}
Bytes cname(const std::string& owner, const std::string& target) {
  return record(owner, kTypeCname, encodeName(target));
}

Bytes answer(unsigned id, const std::string& name, const std::vector<Bytes>& records) {
  Bytes out = u16(id) + u16(0x8180) + u16(1) + u16(records.size()) + u16(0) + u16(0) + encodeName(name) +
              u16(kTypeA) + u16(1);
  for (const Bytes& r : records) out += r;
  return out;
}

unsigned idOf(const Bytes& message) {
  return message.size() < 2
             ? 0
             : static_cast<unsigned char>(message[0]) << 8 | static_cast<unsigned char>(message[1]);
}

// An IPv4 address of the record (kept in mapped form) as text.
std::string text(const KstLookedUpNames::Address& address) {
  unsigned char v6[16];
  std::memcpy(v6, &address.hi, 8);
  std::memcpy(v6 + 8, &address.lo, 8);
  char out[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, v6 + 12, out, sizeof out);
  return out;
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  s.sin_port = htons(port);
  return s;
}

std::uint16_t portOf(int fd) {
  sockaddr_in s{};
  socklen_t length = sizeof s;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&s), &length);
  return ntohs(s.sin_port);
}

// Waits up to `ms` for one datagram or stream chunk; empty when none came.
Bytes receive(int fd, int ms = 3000) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, ms) != 1) return {};
  char buffer[70000];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  return n > 0 ? Bytes(buffer, static_cast<std::size_t>(n)) : Bytes();
}

// A DNS server on a loopback port, over UDP and TCP, that answers each
// query as `respond` says (nothing for an empty answer).
class FakeServer {
 public:
  using Respond = std::function<std::vector<Bytes>(const Bytes& query)>;
  explicit FakeServer(Respond respond) : respond_(std::move(respond)) {
    // One port number for both; another test may hold the TCP side of the
    // first the kernel picks.
    for (int attempt = 0; attempt < 100 && tcp_ < 0; ++attempt) {
      udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in s = loopback(0);
      if (::bind(udp_, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0) break;
      tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      s = loopback(portOf(udp_));
      if (::bind(tcp_, reinterpret_cast<sockaddr*>(&s), sizeof s) == 0 && ::listen(tcp_, 16) == 0) break;
      ::close(udp_);
      ::close(tcp_);
      udp_ = tcp_ = -1;
    }
    EXPECT_GE(tcp_, 0) << "no port for both";
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeServer() {
    stop_ = true;
    thread_.join();
    ::close(udp_);
    ::close(tcp_);
  }
  sockaddr_in address() const { return loopback(portOf(udp_)); }
  std::vector<Bytes> received() {
    std::lock_guard lock(mu_);
    return received_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd p[2] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
      if (::poll(p, 2, 50) <= 0) continue;
      if (p[0].revents != 0) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        char buffer[70000];
        const ssize_t n =
            ::recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n <= 0) continue;
        const Bytes q(buffer, static_cast<std::size_t>(n));
        note(q);
        for (const Bytes& r : respond_(q))
          ::sendto(udp_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
      }
      if (p[1].revents != 0) serveStream(::accept(tcp_, nullptr, nullptr));
    }
  }
  void serveStream(int fd) {
    Bytes pending;
    for (Bytes chunk = receive(fd); !chunk.empty(); chunk = receive(fd, 300)) {
      pending += chunk;
      while (pending.size() >= 2) {
        const std::size_t length = idOf(pending);
        if (pending.size() < 2 + length) break;
        const Bytes q = pending.substr(2, length);
        pending.erase(0, 2 + length);
        note(q);
        for (const Bytes& r : respond_(q)) {
          const Bytes framed = u16(r.size()) + r;
          ::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL);
        }
      }
    }
    ::close(fd);
  }
  void note(const Bytes& q) {
    std::lock_guard lock(mu_);
    received_.push_back(q);
  }

  Respond respond_;
  int udp_ = -1, tcp_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Bytes> received_;
  std::thread thread_;
};

class DnsForwarderTest : public ::testing::Test {
 protected:
  void startForwarder(DnsForwarder::Limits limits = {}) {
    forwarder_ = std::make_unique<DnsForwarder>(
        [this](const std::string& name, const DnsForwarder::Addresses& addresses) {
          std::lock_guard lock(mu_);
          for (const auto& address : addresses) recorded_.push_back(name + " " + text(address));
        },
        nullptr, limits);
    ASSERT_TRUE(forwarder_->start());
  }
  std::vector<std::string> recorded() {
    std::lock_guard lock(mu_);
    return recorded_;
  }
  // A program's socket of `type`, connected to the forwarder for `server`
  // as the supervisor connects it.
  int program(int type, const sockaddr_in& server, bool tell = true) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    socklen_t endLength = 0;
    const auto end = forwarder_->endFor(AF_INET, type, reinterpret_cast<const sockaddr*>(&server),
                                        sizeof server, endLength);
    EXPECT_TRUE(end.has_value());
    if (!end) return fd;
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&*end), endLength), 0);
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength);
    if (tell)
      forwarder_->expect(type, reinterpret_cast<const sockaddr*>(&local), localLength,
                         reinterpret_cast<const sockaddr*>(&server), sizeof server);
    return fd;
  }
  static void send(int fd, const Bytes& message) {
    ASSERT_EQ(::send(fd, message.data(), message.size(), MSG_NOSIGNAL), static_cast<ssize_t>(message.size()));
  }

  std::unique_ptr<DnsForwarder> forwarder_;
  std::mutex mu_;
  std::vector<std::string> recorded_;
};

TEST_F(DnsForwarderTest, DatagramAnswersComeBackUnchangedAndTheAskedNameIsRecorded) {
  FakeServer server([](const Bytes& q) {
    if (q == query(0x1234, "shop.test"))
      return std::vector<Bytes>{answer(0x1234, "shop.test", {a("shop.test", "10.0.0.1")})};
    // A chain: the name asked for, not the CNAME's target, is recorded.
    return std::vector<Bytes>{answer(idOf(q), "alias.test",
                                     {cname("alias.test", "edge.cdn.test"), a("edge.cdn.test", "10.0.0.2")})};
  });
  startForwarder();
  const int fd = program(SOCK_DGRAM, server.address());
  send(fd, query(0x1234, "shop.test"));
  EXPECT_EQ(receive(fd), answer(0x1234, "shop.test", {a("shop.test", "10.0.0.1")}));
  send(fd, query(0x0077, "Alias.Test"));
  EXPECT_EQ(idOf(receive(fd)), 0x0077u);
  EXPECT_EQ(recorded(), (std::vector<std::string>{"shop.test 10.0.0.1", "alias.test 10.0.0.2"}));
  EXPECT_EQ(server.received(), (std::vector<Bytes>{query(0x1234, "shop.test"), query(0x0077, "Alias.Test")}));
  ::close(fd);
}

TEST_F(DnsForwarderTest, OnlyAnswersToRelayedQuestionsAreRecordedThoughAllAreRelayed) {
  FakeServer server([](const Bytes& q) {
    return std::vector<Bytes>{
        answer(idOf(q) + 1, "shop.test", {a("shop.test", "10.6.6.6")}),  // another ID
        answer(idOf(q), "evil.test", {a("evil.test", "10.6.6.7")}),      // another name
        answer(idOf(q), "shop.test", {a("shop.test", "10.0.0.1")}),      // the answer
        answer(idOf(q), "shop.test", {a("shop.test", "10.6.6.8")}),      // the same again
    };
  });
  startForwarder();
  const int fd = program(SOCK_DGRAM, server.address());
  send(fd, query(0x0042, "shop.test"));
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(receive(fd).empty()) << "answer " << i << " was not relayed";
  EXPECT_EQ(recorded(), (std::vector<std::string>{"shop.test 10.0.0.1"}));
  ::close(fd);
}

TEST_F(DnsForwarderTest, NobodyTheSupervisorNamedCanUseTheForwarder) {
  FakeServer server([](const Bytes& q) {
    return std::vector<Bytes>{answer(idOf(q), "x.test", {a("x.test", "10.0.0.9")})};
  });
  startForwarder();
  const int stranger = program(SOCK_DGRAM, server.address(), /*tell=*/false);
  send(stranger, query(1, "x.test"));
  EXPECT_TRUE(receive(stranger, 300).empty());
  EXPECT_TRUE(server.received().empty());
  EXPECT_TRUE(recorded().empty());
  EXPECT_GE(forwarder_->counts().dropped.load(), 1u);

  const int streamStranger = program(SOCK_STREAM, server.address(), /*tell=*/false);
  const Bytes framed = u16(query(2, "x.test").size()) + query(2, "x.test");
  send(streamStranger, framed);
  EXPECT_TRUE(receive(streamStranger, 5000).empty()) << "closed after the wait for its supervisor";
  EXPECT_TRUE(server.received().empty());
  ::close(stranger);
  ::close(streamStranger);
}

TEST_F(DnsForwarderTest, StreamQuestionsInAnyPiecesAreRelayedAndRecorded) {
  FakeServer server([](const Bytes& q) {
    const std::string name = q.find("one") != std::string::npos ? "one.test" : "two.test";
    return std::vector<Bytes>{answer(idOf(q), name, {a(name, name == "one.test" ? "10.0.1.1" : "10.0.1.2")})};
  });
  startForwarder();
  const int fd = program(SOCK_STREAM, server.address());
  // Two questions in one write, the second split across two.
  const Bytes both = u16(query(1, "one.test").size()) + query(1, "one.test") +
                     u16(query(2, "two.test").size()) + query(2, "two.test");
  send(fd, both.substr(0, both.size() - 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  send(fd, both.substr(both.size() - 5));
  Bytes got;
  for (Bytes chunk = receive(fd); !chunk.empty() && got.size() < 2 * 2 + 2 * 42; chunk = receive(fd, 1000))
    got += chunk;
  const Bytes one = answer(1, "one.test", {a("one.test", "10.0.1.1")});
  const Bytes two = answer(2, "two.test", {a("two.test", "10.0.1.2")});
  EXPECT_EQ(got, u16(one.size()) + one + u16(two.size()) + two);
  EXPECT_EQ(recorded(), (std::vector<std::string>{"one.test 10.0.1.1", "two.test 10.0.1.2"}));
  ::close(fd);
}

TEST_F(DnsForwarderTest, DamagedAnswersRecordNothingAndTheNextAnswerStillCounts) {
  const Bytes good = answer(9, "good.test", {a("good.test", "10.0.2.1")});
  FakeServer server([&](const Bytes& q) -> std::vector<Bytes> {
    const unsigned id = idOf(q);
    if (id == 1) return {good.substr(0, good.size() - 3)};  // cut short
    if (id == 2) {
      // A name that points at itself.
      Bytes loop = u16(2) + u16(0x8180) + u16(1) + u16(1) + u16(0) + u16(0) + encodeName("good.test") +
                   u16(kTypeA) + u16(1) + Bytes{'\xc0', '\x0c'} + u16(kTypeA) + u16(1) + u16(0) + u16(60) +
                   u16(4) + "abcd";
      loop[12] = '\xc0';
      loop[13] = '\x0c';
      return {loop};
    }
    if (id == 3) {
      // Thousands of records, as many as a message holds.
      std::vector<Bytes> many;
      for (int i = 0; i < 4000; ++i)
        many.push_back(Bytes{'\xc0', '\x0c'} + u16(kTypeA) + u16(1) + u16(0) + u16(60) + u16(4) +
                       Bytes{10, 9, static_cast<char>(i >> 8), static_cast<char>(i)});
      return {answer(3, "good.test", many)};
    }
    return {good};
  });
  startForwarder();
  const int fd = program(SOCK_DGRAM, server.address());
  for (unsigned id : {1u, 2u}) {
    send(fd, query(id, "good.test"));
    EXPECT_FALSE(receive(fd).empty()) << "a damaged answer is still the program's to read: " << id;
  }
  EXPECT_TRUE(recorded().empty());
  send(fd, query(3, "good.test"));
  EXPECT_GT(receive(fd).size(), 60000u);
  EXPECT_EQ(recorded().size(), KstLookedUpNames::kSlots) << "the many records, bounded by the record's size";
  send(fd, query(9, "good.test"));
  EXPECT_EQ(receive(fd), good);
  EXPECT_EQ(recorded().back(), "good.test 10.0.2.1");
  ::close(fd);
}

TEST_F(DnsForwarderTest, WaitingQuestionsAreBoundedAndASilentServerHoldsNothingElse) {
  // Silent but for question 100, which it answers with late answers to the
  // first and the last of twenty earlier questions.
  FakeServer server([](const Bytes& q) -> std::vector<Bytes> {
    if (idOf(q) == 100)
      return {answer(1, "late.test", {a("late.test", "10.0.3.1")}),
              answer(20, "late.test", {a("late.test", "10.0.3.20")})};
    if (idOf(q) == 99) return {answer(99, "other.test", {a("other.test", "10.0.4.1")})};
    return {};
  });
  DnsForwarder::Limits limits;
  limits.waitingQuestions = 8;
  startForwarder(limits);
  const int fd = program(SOCK_DGRAM, server.address());
  for (unsigned id = 1; id <= 20; ++id) send(fd, query(id, "late.test"));
  // Nothing comes: the program waits its own time-out, as without the
  // forwarder, and another program is served meanwhile.
  EXPECT_TRUE(receive(fd, 300).empty());
  const int other = program(SOCK_DGRAM, server.address());
  send(other, query(99, "other.test"));
  EXPECT_EQ(idOf(receive(other)), 99u);

  send(fd, query(100, "late.test"));
  EXPECT_EQ(idOf(receive(fd)), 1u);
  EXPECT_EQ(idOf(receive(fd)), 20u);
  // Only the newest eight questions were still waited for.
  EXPECT_EQ(recorded(), (std::vector<std::string>{"other.test 10.0.4.1", "late.test 10.0.3.20"}));
  ::close(fd);
  ::close(other);
}

TEST_F(DnsForwarderTest, ASocketIdleLongerThanItsServerSocketIsStillServed) {
  FakeServer server([](const Bytes& q) {
    return std::vector<Bytes>{answer(idOf(q), "kept.test", {a("kept.test", "10.0.5.1")})};
  });
  DnsForwarder::Limits limits;
  limits.idle = std::chrono::milliseconds(100);
  startForwarder(limits);
  const int fd = program(SOCK_DGRAM, server.address());
  send(fd, query(1, "kept.test"));
  EXPECT_EQ(idOf(receive(fd)), 1u);
  // Past the idle time and a sweep: the forwarder's server socket is closed,
  // the program's is not, and its next question still goes through.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  send(fd, query(2, "kept.test"));
  EXPECT_EQ(idOf(receive(fd)), 2u);
  EXPECT_EQ(server.received().size(), 2u);
  ::close(fd);
}

TEST_F(DnsForwarderTest, EachSocketGetsTheEndItsFamilyCanReach) {
  startForwarder();
  socklen_t length = 0;
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, "::ffff:10.0.0.53", &mapped.sin6_addr);
  mapped.sin6_port = htons(53);
  const auto* server = reinterpret_cast<const sockaddr*>(&mapped);
  // A dual-stack socket headed for an IPv4 server: the IPv4 end, mapped.
  const auto end = forwarder_->endFor(AF_INET6, SOCK_DGRAM, server, sizeof mapped, length);
  ASSERT_TRUE(end.has_value());
  char shown[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(*end).sin6_addr, shown, sizeof shown);
  EXPECT_EQ(std::string(shown), "::ffff:127.0.0.1");
  EXPECT_EQ(length, sizeof(sockaddr_in6));
  // And it reaches that end, whose answers come back.
  FakeServer fake([](const Bytes& q) {
    return std::vector<Bytes>{answer(idOf(q), "six.test", {a("six.test", "10.0.6.1")})};
  });
  const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&*end), length), 0);
  sockaddr_storage local{};
  socklen_t localLength = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength);
  const sockaddr_in real = fake.address();
  forwarder_->expect(SOCK_DGRAM, reinterpret_cast<const sockaddr*>(&local), localLength,
                     reinterpret_cast<const sockaddr*>(&real), sizeof real);
  send(fd, query(5, "six.test"));
  EXPECT_EQ(idOf(receive(fd)), 5u);
  EXPECT_EQ(recorded(), (std::vector<std::string>{"six.test 10.0.6.1"}));
  ::close(fd);

  // No end for a family the socket cannot reach, nor for other kinds.
  const sockaddr_in v4 = loopback(53);
  EXPECT_FALSE(
      forwarder_->endFor(AF_INET6, SOCK_DGRAM, reinterpret_cast<const sockaddr*>(&v4), sizeof v4, length));
  EXPECT_FALSE(
      forwarder_->endFor(AF_INET, SOCK_RAW, reinterpret_cast<const sockaddr*>(&v4), sizeof v4, length));
  EXPECT_FALSE(forwarder_->endFor(AF_INET, SOCK_DGRAM, server, sizeof mapped, length));
}

TEST_F(DnsForwarderTest, OnlyProgramsInItsNetworkNamespaceAreSentToIt) {
  startForwarder();
  EXPECT_TRUE(forwarder_->reaches(static_cast<pid_t>(::syscall(SYS_gettid))));
  // A child in a network namespace of its own, whose loopback is not ours.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    const char ok = ::unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
    [[maybe_unused]] const ssize_t n = ::write(ready[1], &ok, 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  if (ok == 'y') {
    EXPECT_FALSE(forwarder_->reaches(child)) << "its DNS must go to the server itself";
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  if (ok != 'y') GTEST_SKIP() << "no network namespace can be made here";
  EXPECT_FALSE(forwarder_->reaches(child)) << "a process that is gone";
}

}  // namespace
}  // namespace kst::launch
