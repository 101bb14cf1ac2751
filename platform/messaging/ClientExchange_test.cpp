#include "platform/messaging/ClientExchange.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/messaging/Frame.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/messaging/MessagingTestSupport.h"
#include "platform/testing/TempRoot.h"

namespace kst::messaging {
namespace {

using namespace std::chrono_literals;
using testing::LoopThread;
using testing::TempRoot;

// Short limits, so a test that runs them out costs little; the back-off is
// long enough to outlast any test that checks it.
constexpr ExchangeLimits kShort{200ms, 200ms, 300ms, 60s};
// For exchanges that must succeed on a loaded machine.
constexpr ExchangeLimits kGenerous{30s, 30s, 30s, 60s};

std::string header(std::uint32_t n) {
  return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                     static_cast<char>(n)};
}

std::string requestFrame(const std::string& name = "m") {
  return *encodeRequest(Request{name, std::nullopt, true});
}

// A listening socket whose owner never accepts: a hung shell.
class HungListener {
 public:
  HungListener(const std::string& path, int backlog) {
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    auto addr = SocketAddress::forPath(path);
    ok_ = fd_.valid() && addr && ::bind(fd_.get(), addr->get(), addr->size()) == 0 &&
          ::listen(fd_.get(), backlog) == 0;
  }
  bool ok() const { return ok_; }
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
  bool ok_ = false;
};

// Reads one request from the next connection, then hands the connection to
// `answer` (on a thread of its own).
class RawPeer {
 public:
  RawPeer(int listener, std::function<void(int fd)> answer)
      : thread_([listener, answer = std::move(answer)] {
          UniqueFd conn(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
          char head[kFrameHeaderSize];
          if (!readExact(conn.get(), head, sizeof head)) return;
          std::string body(*bodyLength(std::string_view(head, sizeof head)), '\0');
          if (!readExact(conn.get(), body.data(), body.size())) return;
          answer(conn.get());
        }) {}
  ~RawPeer() { thread_.join(); }

 private:
  std::thread thread_;
};

class ClientExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearBackOffs();
    ASSERT_TRUE(ensureRunFolder(root_));
  }
  void TearDown() override { clearBackOffs(); }
  std::string path(const std::string& service) const { return runFolder(root_) + "/" + service; }

  TempRoot temp_;
  DeviceRoot root_{temp_.dir()};
};

TEST_F(ClientExchangeTest, HungServiceTimesOutOnceThenIsBackedOffUntilServedAnew) {
  const std::string p = path("hung");
  auto hung = std::make_unique<HungListener>(p, 8);
  ASSERT_TRUE(hung->ok());
  // The kernel queues the connection and takes the request; no reply comes.
  EXPECT_EQ(exchange(p, requestFrame(), kShort, ReplyWait::kBounded).outcome, Outcome::kTimedOut);
  // Every kind of call now gives up without connecting, except a question,
  // which is tried all the same within its limits: a busy shell is not a
  // dead one.
  EXPECT_EQ(exchange(p, requestFrame(), kShort, ReplyWait::kBounded).outcome, Outcome::kBackedOff);
  EXPECT_EQ(sendOneWay(p, requestFrame()), Outcome::kBackedOff);
  EXPECT_EQ(exchange(p, requestFrame(), kShort, ReplyWait::kWhilePeerLives).outcome, Outcome::kTimedOut);
  EXPECT_EQ(exchange(p, requestFrame(), kShort, ReplyWait::kBounded).outcome, Outcome::kBackedOff);

  // A shell started anew binds a new socket file, which is tried at once.
  hung.reset();
  ASSERT_EQ(::unlink(p.c_str()), 0);
  LoopThread server;
  auto center = server.serve(root_, "hung", {{"m", [](const std::string&, const plist::Dictionary*) {
                                                return std::optional<plist::Dictionary>({{"ok", true}});
                                              }}});
  ASSERT_TRUE(center);
  const Exchanged answered = exchange(p, requestFrame(), kGenerous, ReplyWait::kBounded);
  EXPECT_EQ(answered.outcome, Outcome::kDone);
  EXPECT_EQ(answered.reply, (plist::Dictionary{{"ok", true}}));
}

TEST_F(ClientExchangeTest, FullBacklogNeverBlocksOneWaySendsAndBoundsWaitingOnes) {
  const std::string p = path("full");
  HungListener hung(p, 0);
  ASSERT_TRUE(hung.ok());
  // One-way sends fill the backlog and then drop, never waiting.
  Outcome last = Outcome::kDone;
  int sent = 0;
  for (int i = 0; i < 1000 && last == Outcome::kDone; ++i) {
    last = sendOneWay(p, requestFrame());
    if (last == Outcome::kDone) ++sent;
  }
  EXPECT_EQ(last, Outcome::kTimedOut);
  EXPECT_GE(sent, 1);
  // Dropping cost nothing: the next one is tried (and dropped) again.
  EXPECT_EQ(sendOneWay(p, requestFrame()), Outcome::kTimedOut);

  // A waiting send with the backlog still full runs out its connect limit,
  // and from then on nobody tries.
  EXPECT_EQ(exchange(p, requestFrame(), kShort, ReplyWait::kBounded).outcome, Outcome::kTimedOut);
  EXPECT_EQ(sendOneWay(p, requestFrame()), Outcome::kBackedOff);
}

TEST_F(ClientExchangeTest, BadRepliesGiveAnEmptyReplyWithinTheLimit) {
  const std::string p = path("bad");
  HungListener listener(p, 8);
  ASSERT_TRUE(listener.ok());
  const std::string good = *plist::encodeBinary(plist::Dictionary{{"k", "v"}});
  struct Case {
    const char* what;
    std::function<void(int)> answer;
    Outcome expected;
    // Generous unless the case is about a limit: a loaded machine may be
    // slow to answer, and must still get the answer's verdict.
    ExchangeLimits limits = kGenerous;
  };
  const std::vector<Case> cases = {
      {"garbage", [](int fd) { writeAll(fd, header(9) + "not plist"); }, Outcome::kBroken},
      {"closes mid-reply",
       [&](int fd) { writeAll(fd, header(static_cast<std::uint32_t>(good.size())) + good.substr(0, 5)); },
       Outcome::kBroken},
      {"announces more than the limit", [&](int fd) { writeAll(fd, header(kMaxFrameBody + 1) + good); },
       Outcome::kBroken},
      // A whole frame of the largest size, every byte of it nonsense.
      {"maximum-size frame",
       [](int fd) { writeAll(fd, header(kMaxFrameBody) + std::string(kMaxFrameBody, 'x')); },
       Outcome::kBroken},
      // One byte a second: each byte comes in time, the whole reply does not.
      {"one byte a second",
       [&](int fd) {
         const std::string frame = header(static_cast<std::uint32_t>(good.size())) + good;
         for (char c : frame) {
           if (!writeAll(fd, std::string(1, c))) return;  // the client gave up
           std::this_thread::sleep_for(1s);
         }
       },
       Outcome::kTimedOut, kShort},
  };
  for (const Case& c : cases) {
    clearBackOffs();
    RawPeer peer(listener.fd(), c.answer);
    const Exchanged got = exchange(p, requestFrame(), c.limits, ReplyWait::kBounded);
    EXPECT_EQ(got.outcome, c.expected) << c.what;
    EXPECT_TRUE(got.reply.empty()) << c.what;
  }
  // The same peer answering properly is understood.
  clearBackOffs();
  RawPeer peer(listener.fd(),
               [&](int fd) { writeAll(fd, header(static_cast<std::uint32_t>(good.size())) + good); });
  EXPECT_EQ(exchange(p, requestFrame(), kGenerous, ReplyWait::kBounded).reply,
            (plist::Dictionary{{"k", "v"}}));
}

// A reply too large to cross in the plain limit (a relay of a long global
// list on a loaded machine) gets time for the size its header announces; a
// small one that trickles does not.
TEST_F(ClientExchangeTest, ALargeReplyGetsTimeForItsAnnouncedSize) {
  const std::string p = path("large");
  HungListener listener(p, 8);
  ASSERT_TRUE(listener.ok());
  const std::string large = *plist::encodeBinary(plist::Dictionary{{"k", std::string(48u << 20, 'r')}});
  const ExchangeLimits limits{30s, 30s, 1s, 60s};  // 1 s, plus 3 s for 48 MiB
  RawPeer peer(listener.fd(), [&](int fd) {
    const std::string frame = header(static_cast<std::uint32_t>(large.size())) + large;
    // The whole reply takes 1.5 s, past the plain limit.
    const std::size_t piece = frame.size() / 6 + 1;
    for (std::size_t at = 0; at < frame.size(); at += piece) {
      if (!writeAll(fd, frame.substr(at, piece))) return;
      std::this_thread::sleep_for(250ms);
    }
  });
  const Exchanged got = exchange(p, requestFrame(), limits, ReplyWait::kBounded);
  EXPECT_EQ(got.outcome, Outcome::kDone);
  const plist::Value* v = got.reply.find("k");
  ASSERT_NE(v, nullptr);
  ASSERT_NE(v->asString(), nullptr);
  EXPECT_EQ(v->asString()->size(), 48u << 20);
}

TEST_F(ClientExchangeTest, ASocketLeftByADeadServerIsLeftAloneAWhileAndANewOneTriedAtOnce) {
  const std::string p = path("dead");
  auto dead = std::make_unique<HungListener>(p, 8);
  ASSERT_TRUE(dead->ok());
  dead.reset();  // closed: its socket file stays, nobody listens
  EXPECT_EQ(exchange(p, requestFrame(), kShort, ReplyWait::kBounded).outcome, Outcome::kRefused);
  // Not tried again for a while, by any kind of call.
  EXPECT_EQ(exchange(p, requestFrame(), kShort, ReplyWait::kBounded).outcome, Outcome::kBackedOff);
  EXPECT_EQ(sendOneWay(p, requestFrame()), Outcome::kBackedOff);

  // A one-way send that is refused backs off as well.
  const std::string q = path("dead-one-way");
  auto deadToo = std::make_unique<HungListener>(q, 8);
  ASSERT_TRUE(deadToo->ok());
  deadToo.reset();
  EXPECT_EQ(sendOneWay(q, requestFrame()), Outcome::kRefused);
  EXPECT_EQ(sendOneWay(q, requestFrame()), Outcome::kBackedOff);

  // A server started anew binds a new socket file, which is tried at once.
  ASSERT_EQ(::unlink(p.c_str()), 0);
  LoopThread server;
  auto center = server.serve(root_, "dead", {{"m", [](const std::string&, const plist::Dictionary*) {
                                                return std::optional<plist::Dictionary>({{"ok", true}});
                                              }}});
  ASSERT_TRUE(center);
  const Exchanged answered = exchange(p, requestFrame(), kGenerous, ReplyWait::kBounded);
  EXPECT_EQ(answered.outcome, Outcome::kDone);
  EXPECT_EQ(answered.reply, (plist::Dictionary{{"ok", true}}));

  // A refusing file is tried again once the short back-off has run out.
  const std::string r = path("dead-briefly");
  auto briefly = std::make_unique<HungListener>(r, 8);
  ASSERT_TRUE(briefly->ok());
  briefly.reset();
  constexpr ExchangeLimits kBriefBackOff{200ms, 200ms, 300ms, 50ms};
  EXPECT_EQ(exchange(r, requestFrame(), kBriefBackOff, ReplyWait::kBounded).outcome, Outcome::kRefused);
  EXPECT_EQ(exchange(r, requestFrame(), kBriefBackOff, ReplyWait::kBounded).outcome, Outcome::kBackedOff);
  std::this_thread::sleep_for(100ms);  // past the 50 ms back-off; a bound, not synchronisation
  EXPECT_EQ(exchange(r, requestFrame(), kBriefBackOff, ReplyWait::kBounded).outcome, Outcome::kRefused);
}

TEST_F(ClientExchangeTest, QuestionWaitsForAPersonButNotForADeadOrHungShell) {
  // The handler takes longer than the bounded reply limit, as a person would.
  LoopThread server;
  auto center = server.serve(root_, "window", {{"ask", [&](const std::string&, const plist::Dictionary*) {
                                                  RunLoop::current()->runFor(Seconds(4.0));
                                                  return std::optional<plist::Dictionary>({{"whatToDo", 3}});
                                                }}});
  ASSERT_TRUE(center);
  auto client = MessagingCenter::centerNamed("window", root_);
  // The person takes longer than a bounded reply may; the shell reads the
  // question well within its limit.
  client->setLimits(ExchangeLimits{30s, 30s, 1500ms, 60s});
  EXPECT_EQ(client->sendQuestionAndReceiveReply("ask", nullptr), (plist::Dictionary{{"whatToDo", 3}}));
  EXPECT_TRUE(client->sendMessageAndReceiveReply("ask", nullptr).empty());

  // A shell that took the question and then died: the asker is let go.
  const std::string p = path("dying");
  HungListener listener(p, 8);
  ASSERT_TRUE(listener.ok());
  {
    RawPeer peer(listener.fd(), [](int fd) { ::shutdown(fd, SHUT_RDWR); });
    EXPECT_EQ(exchange(p, requestFrame(), kGenerous, ReplyWait::kWhilePeerLives).outcome, Outcome::kBroken);
  }
  // A shell that takes the question and trickles its answer a byte a
  // second: the person's time ended when the answer began, so the rest is
  // bounded like any reply.
  {
    const std::string good = *plist::encodeBinary(plist::Dictionary{{"whatToDo", 3}});
    RawPeer peer(listener.fd(), [&](int fd) {
      for (char c : header(static_cast<std::uint32_t>(good.size())) + good) {
        if (!writeAll(fd, std::string(1, c))) return;  // the client gave up
        std::this_thread::sleep_for(1s);
      }
    });
    const Exchanged got = exchange(p, requestFrame(), kShort, ReplyWait::kWhilePeerLives);
    EXPECT_EQ(got.outcome, Outcome::kTimedOut);
    EXPECT_TRUE(got.reply.empty());
  }
  clearBackOffs();
  // A shell that never reads the question: bounded each time, and the
  // bounded calls are backed off.
  EXPECT_EQ(exchange(p, requestFrame(), kShort, ReplyWait::kWhilePeerLives).outcome, Outcome::kTimedOut);
  EXPECT_EQ(exchange(p, requestFrame(), kShort, ReplyWait::kBounded).outcome, Outcome::kBackedOff);
  EXPECT_EQ(exchange(p, requestFrame(), kShort, ReplyWait::kWhilePeerLives).outcome, Outcome::kTimedOut);
}

TEST_F(ClientExchangeTest, StoppedServerProcessCostsCallersTheLimitsOnly) {
  testing::ServerProcess server(root_, "stopped",
                                {{"m",
                                  [](const std::string&, const plist::Dictionary*) {
                                    return std::optional<plist::Dictionary>({{"up", true}});
                                  }},
                                 {"note", [](const std::string&, const plist::Dictionary*) {
                                    return std::optional<plist::Dictionary>();
                                  }}});
  ASSERT_TRUE(server.ok());
  auto client = MessagingCenter::centerNamed("stopped", root_);
  client->setLimits(kGenerous);
  ASSERT_EQ(client->sendMessageAndReceiveReply("m", nullptr), (plist::Dictionary{{"up", true}}));

  ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  client->setLimits(kShort);
  EXPECT_TRUE(client->sendMessageAndReceiveReply("m", nullptr).empty());
  EXPECT_TRUE(client->sendQuestionAndReceiveReply("m", nullptr).empty());
  // Name hand-overs and log lines keep going, dropped.
  for (int i = 0; i < 500; ++i) EXPECT_FALSE(client->sendMessage("note", nullptr));

  ASSERT_EQ(::kill(server.pid(), SIGCONT), 0);
  clearBackOffs();
  client->setLimits(kGenerous);
  EXPECT_EQ(client->sendMessageAndReceiveReply("m", nullptr), (plist::Dictionary{{"up", true}}));
  EXPECT_EQ(client->sendQuestionAndReceiveReply("m", nullptr), (plist::Dictionary{{"up", true}}));
}

TEST_F(ClientExchangeTest, SignalsDuringAnExchangeDoNotCutItShort) {
  LoopThread server;
  auto center = server.serve(root_, "slow", {{"m", [&](const std::string&, const plist::Dictionary*) {
                                                RunLoop::current()->runFor(Seconds(0.1));
                                                return std::optional<plist::Dictionary>({{"ok", true}});
                                              }}});
  ASSERT_TRUE(center);
  struct sigaction sa {};
  sa.sa_handler = [](int) {};  // no SA_RESTART: every wait is interrupted
  struct sigaction old {};
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
  const pthread_t caller = ::pthread_self();
  std::atomic<bool> done{false};
  std::thread storm([&] {
    while (!done.load()) {
      ::pthread_kill(caller, SIGUSR1);
      std::this_thread::sleep_for(1ms);
    }
  });
  auto client = MessagingCenter::centerNamed("slow", root_);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(client->sendMessageAndReceiveReply("m", nullptr), (plist::Dictionary{{"ok", true}}));
    EXPECT_EQ(client->sendQuestionAndReceiveReply("m", nullptr), (plist::Dictionary{{"ok", true}}));
  }
  done = true;
  storm.join();
  ::sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
}  // namespace kst::messaging
