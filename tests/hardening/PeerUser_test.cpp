// Who may do what: a second user of the machine, made for the test, reaches
// the sockets of the first user's device (the folders are opened for it, so
// that only the peer check stands in its way) and is refused by every
// server: SpringBoard's services, the shell's control socket and the
// notification observers. The same requests of the device's own user work.

#include <sys/stat.h>

#include <atomic>

#include "hook/rules/KstMessageNames.h"
#include "platform/messaging/Frame.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/messaging/UnixSocket.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/testing/ForkedProcess.h"
#include "tests/e2e/E2eFixture.h"
#include "tests/hardening/SecondUser.h"

namespace kst::e2e {
namespace {

constexpr const char* kVictim = "com.example.victim";

// Every folder from the root to the sockets, and the sockets, open to all.
void openTheWay(const testing::TempRoot& temp) {
  std::error_code ec;
  ::chmod(temp.dir().c_str(), 0755);
  for (const char* dir : {"/var", "/var/run", "/var/run/kestrix", "/var/run/kestrix/notify"})
    ::chmod(temp.path(dir).c_str(), 0755);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(temp.path("/var/run/kestrix"), ec))
    if (entry.is_socket()) ::chmod(entry.path().c_str(), 0777);
}

// Against the real shell and SpringBoard (programs under the substrate).
class PeerUserTest : public E2eTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a second user";
    if (!peer_.ok()) GTEST_SKIP() << "no second user could be created (useradd)";
    E2eTest::SetUp();
  }
  void openTheWay() { kst::e2e::openTheWay(temp_); }

  bool rulesHoldVictim() {
    const auto rules = readPlist(files::kRulesPath);
    return rules && rules->contains(kVictim);
  }

  testing::SecondUser peer_;
};

// Against the platform's own servers and clients in this process: runs in
// the sanitizer builds too.
class PeerUserPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a second user";
    if (!peer_.ok()) GTEST_SKIP() << "no second user could be created (useradd)";
    ASSERT_TRUE(messaging::ensureRunFolder(temp_.root()));
  }

  testing::TempRoot temp_;
  testing::SecondUser peer_;
};

plist::Dictionary victimEntry() {
  return plist::Dictionary{
      {kVictim, plist::Value(plist::Dictionary{{"allowEverything", plist::Value("1")}})}};
}

TEST_F(PeerUserTest, SpringBoardServicesRefuseAnotherUser) {
  startSpringBoard();
  openTheWay();
  const DeviceRoot root = temp_.root();
  const int result = peer_.run([&] {
    auto writes = MessagingCenter::centerNamed(std::string(msg::kRuleWriteService), root);
    // The socket is reachable: what stops the peer is the server.
    if (!messaging::connectStream(writes->socketPath()).valid()) return 10;
    const plist::Dictionary entry = victimEntry();
    writes->sendMessageAndReceiveReply(std::string(msg::kMessageThatHasInfo), &entry);
    const plist::Dictionary ask{{std::string(msg::kBundleIdKey), plist::Value(kVictim)}};
    if (!MessagingCenter::centerNamed(std::string(msg::kExtendedService), root)
             ->sendMessageAndReceiveReply(std::string(msg::kStdRules), &ask)
             .empty())
      return 1;
    if (!MessagingCenter::centerNamed(std::string(msg::kWindowService), root)
             ->sendMessageAndReceiveReply(std::string(msg::kIsShowingWindow), nullptr)
             .empty())
      return 2;
    return 0;
  });
  EXPECT_EQ(result, 0) << "a service answered another user";
  EXPECT_FALSE(rulesHoldVictim()) << "another user's rule write was stored";

  // The device's own user is served.
  auto own = MessagingCenter::centerNamed(std::string(msg::kWindowService), root);
  EXPECT_FALSE(own->sendMessageAndReceiveReply(std::string(msg::kIsShowingWindow), nullptr).empty());
  const plist::Dictionary entry = victimEntry();
  MessagingCenter::centerNamed(std::string(msg::kRuleWriteService), root)
      ->sendMessageAndReceiveReply(std::string(msg::kMessageThatHasInfo), &entry);
  EXPECT_TRUE(rulesHoldVictim());
}

TEST_F(PeerUserTest, ShellControlSocketRefusesAnotherUser) {
  Env shellEnv = env();
  shellEnv["QT_QPA_PLATFORM"] = "offscreen";
  Process shell({KST_SPRINGBOARD, "--root", temp_.dir()}, shellEnv, temp_.dir() + "/shell.out",
                temp_.dir() + "/shell.err");
  const std::string control = temp_.path("/var/run/kestrix/springboard.control");
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(control); })) << text("shell.err");
  openTheWay();

  EXPECT_NE(peer_.exec({KST_SPRINGBOARD_CTL, "--root", temp_.dir(), "lock"}), 0);
  ASSERT_EQ(run({KST_SPRINGBOARD_CTL, "--root", temp_.dir(), "state"}, "state"), 0) << text("state.err");
  EXPECT_NE(text("state.out").find("locked=0"), std::string::npos) << "another user locked the device";

  ASSERT_EQ(run({KST_SPRINGBOARD_CTL, "--root", temp_.dir(), "lock"}, "lock"), 0) << text("lock.err");
  ASSERT_EQ(run({KST_SPRINGBOARD_CTL, "--root", temp_.dir(), "state"}, "state"), 0);
  EXPECT_NE(text("state.out").find("locked=1"), std::string::npos) << text("state.out");
}

TEST_F(PeerUserPlatformTest, NotificationsOfAnotherUserAreDropped) {
  DarwinNotifyCenter center(temp_.root());
  std::atomic<int> fromPeer{0};
  std::atomic<int> fromOwn{0};
  ASSERT_NE(center.addObserver("kst.test.peer", [&] { ++fromPeer; }), 0u);
  ASSERT_NE(center.addObserver("kst.test.own", [&] { ++fromOwn; }), 0u);
  openTheWay(temp_);

  // The peer's post reaches the socket (it counts it as delivered) but is
  // dropped on receipt.
  EXPECT_EQ(peer_.exec({KST_NOTIFY, "post", "kst.test.peer", "--root", temp_.dir()}), 0);
  DarwinNotifyCenter own(temp_.root());
  EXPECT_EQ(own.post("kst.test.own"), 1u);
  // Datagrams are taken in order: once the own one is in, the peer's was seen.
  ASSERT_TRUE(waitFor([&] { return fromOwn.load() == 1; }));
  EXPECT_EQ(fromPeer.load(), 0);
  EXPECT_EQ(own.post("kst.test.peer"), 1u);
  ASSERT_TRUE(waitFor([&] { return fromPeer.load() == 1; }));
}

// A device root whose var/run another user may write into: that user makes
// the run folder first, open to all. Nothing of ours binds there, where
// that user could remove our sockets or take their place.
TEST_F(PeerUserTest, NothingServesInARunFolderOfAnotherUser) {
  ::chmod(temp_.dir().c_str(), 0755);
  for (const char* dir : {"/var", "/var/run"}) {
    std::filesystem::create_directories(temp_.path(dir));
    ::chmod(temp_.path(dir).c_str(), 0777);
  }
  std::filesystem::remove_all(temp_.path("/var/run/kestrix"));
  const std::string runDir = temp_.path("/var/run/kestrix");
  ASSERT_EQ(peer_.run([&] {
    return ::mkdir(runDir.c_str(), 0777) == 0 && ::chmod(runDir.c_str(), 0777) == 0 ? 0 : 1;
  }),
            0);

  EXPECT_FALSE(messaging::ensureRunFolder(temp_.root()));
  DarwinNotifyCenter center(temp_.root());
  EXPECT_EQ(center.addObserver("kst.test.any", [] {}), 0u) << "an observer bound in another user's folder";

  Env shellEnv = env();
  shellEnv["QT_QPA_PLATFORM"] = "offscreen";
  Process shell({KST_SPRINGBOARD, "--root", temp_.dir()}, shellEnv, temp_.dir() + "/shell.out",
                temp_.dir() + "/shell.err");
  const bool refused =
      waitFor([&] { return text("shell.err").find("not a folder of this user") != std::string::npos; });
  if (!refused) ::kill(shell.pid(), SIGKILL);
  EXPECT_EQ(shell.wait(), 1) << text("shell.err");
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(runDir, ec))
    ADD_FAILURE() << "left in the other user's folder: " << entry.path();
}

TEST_F(PeerUserPlatformTest, ClientsRefuseAServiceOfAnotherUser) {
  // A device root another user may write into: that user serves in
  // SpringBoard's place, answering every question.
  ::chmod(temp_.dir().c_str(), 0755);
  for (const char* dir : {"/var", "/var/run"}) ::chmod(temp_.path(dir).c_str(), 0755);
  ASSERT_EQ(::chmod(temp_.path("/var/run/kestrix").c_str(), 0777), 0);
  const DeviceRoot root = temp_.root();
  const uid_t uid = peer_.uid();
  const std::string path = temp_.path("/var/run/kestrix/" + std::string(msg::kWindowService));
  // It answers whoever asks, as a server that checks nobody would.
  testing::ForkedProcess impostor([&](int ready) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
      testing::ForkedProcess::signalReady(ready, false);
    const auto addr = messaging::SocketAddress::forPath(path);
    const messaging::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const bool serving = addr && listener.valid() && ::bind(listener.get(), addr->get(), addr->size()) == 0 &&
                         ::listen(listener.get(), 16) == 0;
    testing::ForkedProcess::signalReady(ready, serving);
    const auto reply = messaging::encodeReply(
        plist::Dictionary{{std::string(msg::kIsShowingWindowKey), plist::Value(true)}});
    for (;;) {
      const messaging::UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client.valid()) continue;
      messaging::FrameReader request;
      char buf[4096];
      while (request.state() == messaging::FrameReader::State::kNeedMore) {
        const ssize_t n = ::read(client.get(), buf, sizeof buf);
        if (n <= 0) break;
        request.feed(std::string_view(buf, static_cast<std::size_t>(n)));
      }
      messaging::writeAll(client.get(), *reply);
    }
  });
  ASSERT_TRUE(impostor.ok());
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  ASSERT_EQ(st.st_uid, uid) << "the impostor's socket stands in the service's place";

  auto center = MessagingCenter::centerNamed(std::string(msg::kWindowService), root);
  EXPECT_TRUE(center->sendMessageAndReceiveReply(std::string(msg::kIsShowingWindow), nullptr).empty())
      << "a reply of another user's server was taken";
}

}  // namespace
}  // namespace kst::e2e
