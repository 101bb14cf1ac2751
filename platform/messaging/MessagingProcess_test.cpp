// The services across real processes: a server process, client processes,
// a server that dies while a client waits, a client of another user.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/messaging/MessagingCenter.h"
#include "platform/messaging/MessagingTestSupport.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using testing::ServerProcess;
using testing::TempRoot;

// A server whose "count" reports how many "touch" messages it has handled.
std::map<std::string, MessagingCenter::Handler> countingHandlers() {
  auto count = std::make_shared<int>(0);
  return {
      {"touch",
       [count](const std::string&, const plist::Dictionary* info) -> std::optional<plist::Dictionary> {
         ++*count;
         if (info == nullptr) return std::nullopt;
         return plist::Dictionary{{"touched", *info}};
       }},
      {"count",
       [count](const std::string&, const plist::Dictionary*) -> std::optional<plist::Dictionary> {
         return plist::Dictionary{{"count", *count}};
       }},
      {"die",
       [](const std::string&, const plist::Dictionary*) -> std::optional<plist::Dictionary> {
         ::raise(SIGKILL);
         return plist::Dictionary{{"unreachable", true}};
       }},
  };
}

std::int64_t countOf(const plist::Dictionary& reply) {
  const plist::Value* v = reply.find("count");
  return v != nullptr && v->asInteger() != nullptr ? *v->asInteger() : -1;
}

TEST(MessagingProcessTest, ClientProcessesTalkToAServerProcess) {
  TempRoot temp;
  ServerProcess server(temp.root(), "svc", countingHandlers());
  ASSERT_TRUE(server.ok());
  const DeviceRoot root = temp.root();
  const pid_t client = testing::forkChild([&] {
    auto center = MessagingCenter::centerNamed("svc", root);
    const plist::Dictionary info{{"bI", "com.example.app"}};
    if (center->sendMessageAndReceiveReply("touch", &info) != plist::Dictionary{{"touched", info}}) return 1;
    if (!center->sendMessage("touch", nullptr)) return 2;
    return 0;
  });
  EXPECT_EQ(testing::waitChild(client), 0);
  // The one-way message may still be on its way; the count only grows.
  auto center = MessagingCenter::centerNamed("svc", root);
  std::int64_t count = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((count = countOf(center->sendMessageAndReceiveReply("count", nullptr))) < 2 &&
         std::chrono::steady_clock::now() < until) {
  }
  EXPECT_EQ(count, 2);
}

TEST(MessagingProcessTest, ServerDyingWhileClientWaitsGivesEmptyReply) {
  TempRoot temp;
  ServerProcess server(temp.root(), "svc", countingHandlers());
  ASSERT_TRUE(server.ok());
  auto center = MessagingCenter::centerNamed("svc", temp.root());
  const plist::Dictionary info{{"k", "v"}};
  EXPECT_EQ(center->sendMessageAndReceiveReply("touch", &info).size(), 1u);
  // The handler kills its own process while this client waits.
  EXPECT_TRUE(center->sendMessageAndReceiveReply("die", &info).empty());
  server.kill();
  // Its socket file stays behind and refuses: still empty, at once.
  EXPECT_TRUE(std::filesystem::is_socket(center->socketPath()));
  EXPECT_TRUE(center->sendMessageAndReceiveReply("touch", &info).empty());
  EXPECT_FALSE(center->sendMessage("touch", &info));
  // A new server takes the name over.
  ServerProcess next(temp.root(), "svc", countingHandlers());
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(center->sendMessageAndReceiveReply("touch", &info).size(), 1u);
}

TEST(MessagingProcessTest, PeerOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  TempRoot temp;
  ServerProcess server(temp.root(), "svc", countingHandlers());
  ASSERT_TRUE(server.ok());
  auto center = MessagingCenter::centerNamed("svc", temp.root());
  // Open the way on disk, so that only the peer check stands between.
  for (const std::string& dir :
       {temp.dir(), temp.path("/var"), temp.path("/var/run"), temp.path("/var/run/kestrix")})
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0) << dir;
  ASSERT_EQ(::chmod(center->socketPath().c_str(), 0777), 0);

  const DeviceRoot root = temp.root();
  const pid_t stranger = testing::forkChild([&] {
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) return 10;
    auto c = MessagingCenter::centerNamed("svc", root);
    // It connects (the socket is open to all) but is hung up on.
    if (!messaging::connectStream(c->socketPath()).valid()) return 11;
    const plist::Dictionary info{{"k", "v"}};
    return c->sendMessageAndReceiveReply("touch", &info).empty() ? 0 : 1;
  });
  EXPECT_EQ(testing::waitChild(stranger), 0);
  EXPECT_EQ(countOf(center->sendMessageAndReceiveReply("count", nullptr)), 0)
      << "its message was never handled";
}

}  // namespace
}  // namespace kst
