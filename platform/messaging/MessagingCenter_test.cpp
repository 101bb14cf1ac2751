#include "platform/messaging/MessagingCenter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/messaging/Frame.h"
#include "platform/messaging/MessagingTestSupport.h"
#include "platform/messaging/ServiceServer.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using messaging::UniqueFd;
using testing::LoopThread;
using testing::TempRoot;
using namespace std::chrono_literals;

constexpr auto kGenerous = 30s;  // an upper bound on conditions, never a pace

// Replies with what it got: the message name and, when there was one, the
// argument dictionary.
std::optional<plist::Dictionary> echo(const std::string& name, const plist::Dictionary* info) {
  plist::Dictionary reply{{"name", name}, {"hadUserInfo", info != nullptr}};
  if (info != nullptr) reply.set("userInfo", *info);
  return reply;
}

// Counts one-way messages and lets a test wait for them.
class Inbox {
 public:
  MessagingCenter::Handler handler() {
    return
        [this](const std::string& name, const plist::Dictionary* info) -> std::optional<plist::Dictionary> {
          std::lock_guard lock(mu_);
          received_.push_back({name, info != nullptr ? *info : plist::Dictionary{{"none", true}}});
          cv_.notify_all();
          return std::nullopt;
        };
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, kGenerous, [&] { return received_.size() >= count; });
  }
  std::vector<std::pair<std::string, plist::Dictionary>> received() {
    std::lock_guard lock(mu_);
    return received_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<std::string, plist::Dictionary>> received_;
};

class MessagingCenterTest : public ::testing::Test {
 protected:
  TempRoot temp_;
  DeviceRoot root_ = temp_.root();
  LoopThread server_;
};

TEST_F(MessagingCenterTest, WaitingSendsCarryUserInfoAndReplies) {
  auto center = server_.serve(
      root_, "svc",
      {{"echo", echo}, {"nothing", [](auto&, auto*) { return std::optional<plist::Dictionary>(); }}});
  ASSERT_TRUE(center);
  auto client = MessagingCenter::centerNamed("svc", root_);

  const plist::Dictionary info{{"host", "example.com"}, {"port", "80"}, {"orientation", 3}};
  plist::Dictionary reply = client->sendMessageAndReceiveReply("echo", &info);
  EXPECT_EQ(reply, (plist::Dictionary{{"name", "echo"}, {"hadUserInfo", true}, {"userInfo", info}}));

  reply = client->sendMessageAndReceiveReply("echo", nullptr);
  EXPECT_EQ(reply, (plist::Dictionary{{"name", "echo"}, {"hadUserInfo", false}}));

  const plist::Dictionary empty;
  reply = client->sendMessageAndReceiveReply("echo", &empty);
  EXPECT_EQ(*reply.find("hadUserInfo"), plist::Value(true)) << "an empty dictionary is not a missing one";

  EXPECT_TRUE(client->sendMessageAndReceiveReply("nothing", &info).empty());
  EXPECT_TRUE(client->sendMessageAndReceiveReply("unregistered", nullptr).empty());
}

TEST_F(MessagingCenterTest, OneWaySendsReachTheHandlerAndGetNoReply) {
  Inbox inbox;
  auto center = server_.serve(root_, "svc", {{"note", inbox.handler()}});
  ASSERT_TRUE(center);
  auto client = MessagingCenter::centerNamed("svc", root_);
  const plist::Dictionary info{{"logString", "line\n"}};
  EXPECT_TRUE(client->sendMessage("note", &info));
  EXPECT_TRUE(client->sendMessage("note", nullptr));
  ASSERT_TRUE(inbox.waitFor(2));
  const auto got = inbox.received();
  EXPECT_EQ(got[0].second, info);
  EXPECT_EQ(got[1].second, (plist::Dictionary{{"none", true}}));

  // On the wire: the server hangs up without writing anything back.
  UniqueFd raw = testing::rawConnect(center->socketPath());
  ASSERT_TRUE(raw.valid());
  ASSERT_TRUE(messaging::writeAll(raw.get(), *messaging::encodeRequest({"note", std::nullopt, false})));
  EXPECT_TRUE(testing::closedWithoutReply(raw.get()));
  EXPECT_TRUE(inbox.waitFor(3));
}

TEST_F(MessagingCenterTest, NoServerGivesEmptyReplyAtOnce) {
  auto client = MessagingCenter::centerNamed("absent", root_);
  EXPECT_TRUE(client->sendMessageAndReceiveReply("x", nullptr).empty());
  EXPECT_FALSE(client->sendMessage("x", nullptr));

  // A socket file nobody listens on: refused, so also empty at once.
  ASSERT_TRUE(messaging::ensureRunFolder(root_));
  {
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    auto addr = messaging::SocketAddress::forPath(client->socketPath());
    ASSERT_TRUE(addr);
    ASSERT_EQ(::bind(stale.get(), addr->get(), addr->size()), 0);
  }
  EXPECT_TRUE(client->sendMessageAndReceiveReply("x", nullptr).empty());
  EXPECT_FALSE(client->sendMessage("x", nullptr));

  // A server started later replaces the dead socket.
  auto center = server_.serve(root_, "absent", {{"x", echo}});
  ASSERT_TRUE(center);
  EXPECT_FALSE(client->sendMessageAndReceiveReply("x", nullptr).empty());
}

// The run folder holds every service's socket: a server binds only in a
// folder of its own user, never through a link or in a file's place, and
// makes a loose folder of its own private again.
TEST_F(MessagingCenterTest, ServesOnlyInARunFolderOfItsOwn) {
  std::filesystem::create_directories(temp_.path("/var/run"));
  const std::string run = messaging::runFolder(root_);
  std::filesystem::create_directories(temp_.path("/elsewhere"));
  std::filesystem::create_directory_symlink(temp_.path("/elsewhere"), run);
  EXPECT_FALSE(messaging::ensureRunFolder(root_));
  EXPECT_FALSE(server_.serve(root_, "svc", {{"echo", echo}}));
  EXPECT_FALSE(std::filesystem::exists(temp_.path("/elsewhere/svc"))) << "bound through the link";

  std::filesystem::remove(run);
  { std::ofstream(run) << "not a folder"; }
  EXPECT_FALSE(messaging::ensureRunFolder(root_));
  EXPECT_FALSE(server_.serve(root_, "svc", {{"echo", echo}}));

  std::filesystem::remove(run);
  ASSERT_EQ(::mkdir(run.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(run.c_str(), 0777), 0);
  auto center = server_.serve(root_, "svc", {{"echo", echo}});
  ASSERT_TRUE(center);
  struct stat st {};
  ASSERT_EQ(::stat(run.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_FALSE(
      MessagingCenter::centerNamed("svc", root_)->sendMessageAndReceiveReply("echo", nullptr).empty());
}

TEST_F(MessagingCenterTest, BrokenRepliesGiveEmptyReply) {
  ASSERT_TRUE(messaging::ensureRunFolder(root_));
  auto client = MessagingCenter::centerNamed("raw", root_);
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto addr = messaging::SocketAddress::forPath(client->socketPath());
  ASSERT_TRUE(addr);
  ASSERT_EQ(::bind(listener.get(), addr->get(), addr->size()), 0);
  ASSERT_EQ(::listen(listener.get(), 8), 0);

  const std::string goodBody = *plist::encodeBinary(plist::Dictionary{{"k", "v"}});
  const auto header = [](std::uint32_t n) {
    return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)};
  };
  const std::vector<std::pair<const char*, std::string>> replies = {
      {"hang-up before replying", ""},
      {"half a header", std::string("\0\0", 2)},
      {"header only", header(static_cast<std::uint32_t>(goodBody.size()))},
      {"half a body", header(static_cast<std::uint32_t>(goodBody.size())) + goodBody.substr(0, 10)},
      {"oversize", header(messaging::kMaxFrameBody + 1) + goodBody},
      {"not a dictionary", header(12) + "bplist00\x08\x08\x08\x08"},
      {"random bytes", "\x00\x00\x00\x05zq\x91\x02\xff"},
  };
  for (const auto& [what, bytes] : replies) {
    std::thread peer([&, bytes = bytes] {
      UniqueFd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      char head[4];
      if (!messaging::readExact(conn.get(), head, 4)) return;
      std::string body(*messaging::bodyLength(std::string_view(head, 4)), '\0');
      if (!messaging::readExact(conn.get(), body.data(), body.size())) return;
      messaging::writeAll(conn.get(), bytes);
    });
    EXPECT_TRUE(client->sendMessageAndReceiveReply("m", nullptr).empty()) << what;
    peer.join();
  }
  // The same peer answering properly is understood.
  std::thread peer([&] {
    UniqueFd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    char head[4];
    messaging::readExact(conn.get(), head, 4);
    std::string body(*messaging::bodyLength(std::string_view(head, 4)), '\0');
    messaging::readExact(conn.get(), body.data(), body.size());
    messaging::writeAll(conn.get(), header(static_cast<std::uint32_t>(goodBody.size())) + goodBody);
  });
  EXPECT_EQ(client->sendMessageAndReceiveReply("m", nullptr), (plist::Dictionary{{"k", "v"}}));
  peer.join();
}

TEST_F(MessagingCenterTest, BadFramesCloseOnlyTheirConnection) {
  auto center = server_.serve(root_, "svc", {{"echo", echo}});
  ASSERT_TRUE(center);
  auto client = MessagingCenter::centerNamed("svc", root_);
  const std::string path = center->socketPath();

  // A client that never finishes its request holds up nobody.
  UniqueFd stalled = testing::rawConnect(path);
  ASSERT_TRUE(stalled.valid());
  ASSERT_TRUE(messaging::writeAll(stalled.get(), std::string("\0\0", 2)));

  const auto frameAround = [](const std::string& body) {
    const auto n = static_cast<std::uint32_t>(body.size());
    return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)} +
           body;
  };
  const auto bin = [](const plist::Value& v) { return *plist::encodeBinary(v); };
  std::string random(300, '\0');
  for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>(i * 131 + 7);
  random[0] = '\x7f';  // as a header: a length above the frame limit
  const std::vector<std::pair<const char*, std::string>> bad = {
      {"over the frame limit", std::string("\x10\x00\x00\x01", 4) + std::string(64 * 1024, 'x')},
      {"not a dictionary", frameAround(bin(plist::Array{plist::Value("echo")}))},
      {"no name", frameAround(bin(plist::Dictionary{{"reply", true}}))},
      {"mistyped userInfo",
       frameAround(bin(plist::Dictionary{{"name", "echo"}, {"userInfo", 1}, {"reply", true}}))},
      {"mistyped reply", frameAround(bin(plist::Dictionary{{"name", "echo"}, {"reply", 1}}))},
      {"XML", frameAround(*plist::encodeXml(plist::Dictionary{{"name", "echo"}, {"reply", true}}))},
      {"random bytes", random},
      {"random body", frameAround(random)},
  };
  for (const auto& [what, bytes] : bad) {
    UniqueFd fd = testing::rawConnect(path);
    ASSERT_TRUE(fd.valid()) << what;
    messaging::writeAll(fd.get(), bytes);  // the server may hang up half way
    EXPECT_TRUE(testing::closedWithoutReply(fd.get())) << what;
    EXPECT_EQ(client->sendMessageAndReceiveReply("echo", nullptr).size(), 2u) << "after " << what;
  }

  // Truncated: the client gives up half way through the body.
  UniqueFd truncated = testing::rawConnect(path);
  const std::string frame = *messaging::encodeRequest({"echo", std::nullopt, true});
  ASSERT_TRUE(messaging::writeAll(truncated.get(), frame.substr(0, frame.size() - 3)));
  ::shutdown(truncated.get(), SHUT_WR);
  EXPECT_TRUE(testing::closedWithoutReply(truncated.get()));

  // The stalled one is still waiting, and completing it now gets served.
  ASSERT_TRUE(messaging::writeAll(stalled.get(), std::string_view(frame).substr(2)));
  char head[4];
  ASSERT_TRUE(messaging::readExact(stalled.get(), head, 4));
  std::string body(*messaging::bodyLength(std::string_view(head, 4)), '\0');
  ASSERT_TRUE(messaging::readExact(stalled.get(), body.data(), body.size()));
  EXPECT_EQ(messaging::decodeReply(body), (plist::Dictionary{{"name", "echo"}, {"hadUserInfo", false}}));
}

TEST(MessagingIdleTest, StalledClientIsDroppedAfterIdleTimeout) {
  TempRoot temp;
  ManualClock clock;
  LoopThread server(clock);
  auto center = server.serve(temp.root(), "svc", {{"echo", echo}});
  ASSERT_TRUE(center);
  UniqueFd stalled = testing::rawConnect(center->socketPath());
  ASSERT_TRUE(messaging::writeAll(stalled.get(), std::string("\0\0", 2)));
  // Served after the stalled one was accepted (the backlog is in order).
  ASSERT_FALSE(
      MessagingCenter::centerNamed("svc", temp.root())->sendMessageAndReceiveReply("echo", nullptr).empty());
  clock.advance(Seconds(30));
  EXPECT_TRUE(testing::closedWithoutReply(stalled.get()));
}

TEST_F(MessagingCenterTest, HandlerRunningTheLoopLetsOtherMessagesThrough) {
  // Service A's handler waits the way the prompt does: in slices of the
  // loop, until B's client has its answer. Meanwhile A itself answers too.
  std::atomic<bool> aEntered{false};
  std::atomic<bool> bAnswered{false};
  std::atomic<bool> aStillRunningWhenBServed{false};
  std::atomic<int> depthSeenByB{0};
  int depth = 0;  // loop thread only
  auto a = server_.serve(
      root_, "A",
      {{"ask",
        [&](const std::string&, const plist::Dictionary*) -> std::optional<plist::Dictionary> {
          ++depth;
          aEntered = true;
          const auto until = std::chrono::steady_clock::now() + kGenerous;
          while (!bAnswered && std::chrono::steady_clock::now() < until)
            RunLoop::current()->runFor(Seconds(0.02));
          --depth;
          return plist::Dictionary{{"sawB", bAnswered.load()}};
        }},
       {"isShowing", [&](const std::string&, const plist::Dictionary*) -> std::optional<plist::Dictionary> {
          return plist::Dictionary{{"showing", depth > 0}};
        }}});
  auto b = server_.serve(
      root_, "B",
      {{"quick", [&](const std::string&, const plist::Dictionary*) -> std::optional<plist::Dictionary> {
          aStillRunningWhenBServed = depth > 0;
          depthSeenByB = depth;
          return plist::Dictionary{{"b", 1}};
        }}});
  ASSERT_TRUE(a && b);

  plist::Dictionary askReply;
  std::thread asker([&] {
    askReply = MessagingCenter::centerNamed("A", root_)->sendMessageAndReceiveReply("ask", nullptr);
  });
  const auto until = std::chrono::steady_clock::now() + kGenerous;
  while (!aEntered && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(aEntered);

  const plist::Dictionary showing =
      MessagingCenter::centerNamed("A", root_)->sendMessageAndReceiveReply("isShowing", nullptr);
  const plist::Dictionary quick =
      MessagingCenter::centerNamed("B", root_)->sendMessageAndReceiveReply("quick", nullptr);
  EXPECT_EQ(quick, (plist::Dictionary{{"b", 1}}));
  bAnswered = true;
  asker.join();

  EXPECT_EQ(showing, (plist::Dictionary{{"showing", true}}))
      << "the same service answers while its handler waits";
  EXPECT_TRUE(aStillRunningWhenBServed);
  EXPECT_EQ(askReply, (plist::Dictionary{{"sawB", true}}));
}

TEST_F(MessagingCenterTest, ManyConcurrentClients) {
  Inbox inbox;
  auto center = server_.serve(root_, "svc", {{"echo", echo}, {"note", inbox.handler()}});
  ASSERT_TRUE(center);
  constexpr int kThreads = 8;
  constexpr int kEach = 40;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto client = MessagingCenter::centerNamed("svc", root_);
        const plist::Dictionary info{{"t", t}, {"i", i}};
        if (client->sendMessageAndReceiveReply("echo", &info) ==
            plist::Dictionary{{"name", "echo"}, {"hadUserInfo", true}, {"userInfo", info}})
          ++good;
        client->sendMessage("note", &info);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), kThreads * kEach);
  EXPECT_TRUE(inbox.waitFor(kThreads * kEach));
}

TEST_F(MessagingCenterTest, ClientsBeyondCapacityWaitInsteadOfBeingDropped) {
  Inbox inbox;
  auto center = server_.serve(root_, "svc", {{"note", inbox.handler()}});
  ASSERT_TRUE(center);
  std::vector<UniqueFd> stalled;
  for (std::size_t i = 0; i < messaging::ServiceServer::kMaxConnections; ++i) {
    stalled.push_back(testing::rawConnect(center->socketPath()));
    ASSERT_TRUE(stalled.back().valid());
    ASSERT_TRUE(messaging::writeAll(stalled.back().get(), std::string("\0", 1)));
  }
  UniqueFd extra = testing::rawConnect(center->socketPath());
  ASSERT_TRUE(extra.valid());
  ASSERT_TRUE(messaging::writeAll(extra.get(), *messaging::encodeRequest({"note", std::nullopt, false})));
  // Two turns of the loop: the connections made above have been accepted
  // as far as the server accepts them.
  server_.loop().performAndWait([] {});
  server_.loop().performAndWait([] {});
  EXPECT_TRUE(inbox.received().empty());
  stalled.clear();
  EXPECT_TRUE(inbox.waitFor(1)) << "the extra client was hung up on";
}

TEST_F(MessagingCenterTest, RootTooLongForASocketPathStillWorks) {
  std::string dir = temp_.dir();
  while (dir.size() < 200) dir += "/a-rather-long-folder-name";
  const DeviceRoot longRoot(dir);
  auto center = server_.serve(longRoot, "com.Dovrane.Radazira.Service.Window", {{"echo", echo}});
  ASSERT_TRUE(center);
  EXPECT_GT(center->socketPath().size(), sizeof(sockaddr_un::sun_path));
  EXPECT_TRUE(std::filesystem::is_socket(center->socketPath()));
  auto client = MessagingCenter::centerNamed("com.Dovrane.Radazira.Service.Window", longRoot);
  EXPECT_EQ(client->sendMessageAndReceiveReply("echo", nullptr).size(), 2u);
}

TEST_F(MessagingCenterTest, ServingRules) {
  // No run loop on this thread.
  EXPECT_FALSE(MessagingCenter::centerNamed("svc", root_)->runServerOnCurrentThread());
  for (const char* bad : {"", ".", "..", "a/b"}) EXPECT_FALSE(server_.serve(root_, bad, {})) << bad;

  auto first = server_.serve(root_, "svc", {{"echo", echo}});
  ASSERT_TRUE(first);
  struct stat st {};
  ASSERT_EQ(::stat(messaging::runFolder(root_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_FALSE(server_.serve(root_, "svc", {})) << "a live server keeps its name";

  const std::string path = first->socketPath();
  server_.loop().performAndWait([&] { first.reset(); });
  EXPECT_FALSE(std::filesystem::exists(path)) << "the socket goes with its centre";
  EXPECT_TRUE(server_.serve(root_, "svc", {}));
}

}  // namespace
}  // namespace kst
