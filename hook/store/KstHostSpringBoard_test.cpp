#include "hook/store/KstHostSpringBoard.h"

#include "platform/testing/ForkedProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "hook/rules/KstMessageNames.h"
#include "hook/store/HostMapTesting.h"
#include "hook/store/KstHostClient.h"
#include "platform/messaging/MessagingTestSupport.h"
#include "platform/resolver/PosixResolver.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using ::testing::ElementsAre;
using testing::eventually;
using testing::LoopThread;
using testing::ScriptedResolver;
using testing::TempRoot;

const std::string kService(msg::kHostStuffService);
const std::string kSend(msg::kHostStuffSend);
const std::string kGet(msg::kHostStuffGet);
const std::string kHost(msg::kHostStuffHostKey);
const std::string kIP(msg::kHostStuffIPKey);

plist::Dictionary entry(const std::string& address, std::initializer_list<const char*> list) {
  plist::Array a;
  for (const char* n : list) a.emplace_back(n);
  return plist::Dictionary{{address, plist::Value(std::move(a))}};
}

// SpringBoard's service on a loop thread of its own, over a scripted
// resolver; the test plays the other processes.
class KstHostSpringBoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop_.loop().performAndWait([&] {
      service_ = std::make_unique<KstHostSpringBoard>(KstHostMapEnv{&resolver_, &loop_.loop(), &flags_},
                                                      temp_.root());
      started_ = service_->initSBSMessaging();
    });
    ASSERT_TRUE(started_);
  }
  void TearDown() override {
    loop_.loop().performAndWait([&] { service_.reset(); });
  }

  plist::Dictionary send(const std::string& name, const plist::Dictionary* info) {
    return MessagingCenter::centerNamed(kService, temp_.root())->sendMessageAndReceiveReply(name, info);
  }
  bool sendOneWay(const std::string& name, const plist::Dictionary* info) {
    return MessagingCenter::centerNamed(kService, temp_.root())->sendMessage(name, info);
  }
  // Waits until the service has `address` named `name` last.
  bool knows(const std::string& address, const std::string& name) {
    return eventually(
        [&] { return lastHostName(client_.getIPDictionary(address).value(), address) == name; });
  }

  TempRoot temp_;
  KstFlags flags_;
  ScriptedResolver resolver_;
  LoopThread loop_;
  std::unique_ptr<KstHostSpringBoard> service_;
  bool started_ = false;
  KstHostClient client_{temp_.root()};
};

TEST_F(KstHostSpringBoardTest, SendThenGetGivesTheNamesOldestFirst) {
  resolver_.script("a.test", {"10.0.0.5"});
  resolver_.script("www.b.test", {"10.0.0.5", "fd00::5"});
  client_.doHostStuff("a.test");
  ASSERT_TRUE(knows("10.0.0.5", "a.test"));
  client_.doHostStuff(std::string("www.b.test"));
  ASSERT_TRUE(knows("fd00::5", "b.test"));
  EXPECT_EQ(client_.getIPDictionary("10.0.0.5"), entry("10.0.0.5", {"a.test", "b.test"}));
  EXPECT_EQ(client_.getIPDictionary("fd00::5"), entry("fd00::5", {"b.test"}));
}

TEST_F(KstHostSpringBoardTest, UnknownAddressesAndOtherNamesGetAnEmptyDictionary) {
  resolver_.script("a.test", {"10.0.0.5"});
  client_.doHostStuff("a.test");
  ASSERT_TRUE(knows("10.0.0.5", "a.test"));
  EXPECT_EQ(client_.getIPDictionary("10.9.9.9"), plist::Dictionary{});
  EXPECT_EQ(client_.getIPDictionary(""), plist::Dictionary{});
  const plist::Dictionary known{{kIP, "10.0.0.5"}};
  EXPECT_EQ(service_->handleMessageNamed(kSend, &known), plist::Dictionary{});
  EXPECT_EQ(service_->handleMessageNamed("other", &known), plist::Dictionary{});
  EXPECT_EQ(send("com.Dovrane.Radazira.HostStuff.Other", &known), plist::Dictionary{});
}

TEST_F(KstHostSpringBoardTest, MissingOrMistypedKeysAreAnsweredEmptyAndIgnored) {
  resolver_.script("a.test", {"10.0.0.5"});
  resolver_.script("5", {"10.0.0.6"});
  client_.doHostStuff("a.test");
  ASSERT_TRUE(knows("10.0.0.5", "a.test"));

  const std::vector<plist::Dictionary> bad = {
      {},
      {{kHost, 5}},
      {{kHost, plist::Array{plist::Value("a.test")}}},
      {{kHost, plist::Dictionary{{kHost, "a.test"}}}},
      {{kHost, true}},
      {{"Host", "5"}},
      {{kIP, 5}},
      {{kIP, plist::Array{plist::Value("10.0.0.5")}}},
      {{kIP, plist::Data{'1', '0'}}},
      {{"ip", "10.0.0.5"}},
  };
  for (const plist::Dictionary& info : bad) {
    EXPECT_EQ(send(kGet, &info), plist::Dictionary{});
    EXPECT_TRUE(sendOneWay(kSend, &info));
    EXPECT_EQ(service_->handleMessageNamed(kGet, &info), plist::Dictionary{});
    service_->handleMessageNamedSend(kSend, &info);
  }
  EXPECT_EQ(send(kGet, nullptr), plist::Dictionary{});
  EXPECT_TRUE(sendOneWay(kSend, nullptr));
  service_->handleMessageNamedSend(kSend, nullptr);
  // A Send under Get's name is no Send.
  const plist::Dictionary five{{kHost, "5"}};
  EXPECT_EQ(send(kGet, &five), plist::Dictionary{});
  service_->handleMessageNamedSend(kGet, &five);

  // Still serving; none of it reached the resolver. Messages travel on
  // connections of their own, so wait for a later one as a marker.
  resolver_.script("marker.test", {"10.0.0.7"});
  client_.doHostStuff("marker.test");
  ASSERT_TRUE(knows("10.0.0.7", "marker.test"));
  EXPECT_THAT(resolver_.names(), ElementsAre("a.test", "marker.test"));
  EXPECT_EQ(client_.getIPDictionary("10.0.0.5"), entry("10.0.0.5", {"a.test"}));
}

TEST_F(KstHostSpringBoardTest, TheClientKeepsTheSystemsOwnNamesToItself) {
  // A plain recording service in SpringBoard's place sees what is sent.
  TempRoot other;
  LoopThread loop;
  auto hosts = std::make_shared<std::vector<std::string>>();
  auto mu = std::make_shared<std::mutex>();
  auto server = loop.serve(
      other.root(), kService,
      {{kSend,
        [hosts, mu](const std::string&, const plist::Dictionary* info) -> std::optional<plist::Dictionary> {
          std::lock_guard lock(*mu);
          const std::string* h = info != nullptr ? info->string(kHost) : nullptr;
          hosts->push_back(h != nullptr ? *h : "<none>");
          return std::nullopt;
        }}});
  ASSERT_NE(server, nullptr);
  const KstHostClient client(other.root());
  const char* absent = nullptr;
  client.doHostStuff(absent);
  client.doHostStuff(std::string(kSyntheticFontName));
  client.doHostStuff("conversation");
  client.doHostStuff("contact");
  client.doHostStuff("contact.test");
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(*mu);
    return !hosts->empty();
  }));
  std::lock_guard lock(*mu);
  EXPECT_THAT(*hosts, ElementsAre("contact.test"));
  loop.loop().performAndWait([&] { server.reset(); });
}

TEST(KstHostClientTest, AbsentAddressGivesNothingAndAMissingServiceAnEmptyReply) {
  TempRoot temp;
  const KstHostClient client(temp.root());
  const char* absent = nullptr;
  EXPECT_EQ(client.getIPDictionary(absent), std::nullopt);
  EXPECT_EQ(client.getIPDictionary("10.0.0.1"), plist::Dictionary{});
  client.doHostStuff("a.test");  // nobody there: nothing happens
}

TEST(KstHostClientTest, LastHostNameChecksTheReplysTypes) {
  EXPECT_EQ(lastHostName(entry("10.0.0.1", {"a.test", "b.test"}), "10.0.0.1"), "b.test");
  EXPECT_EQ(lastHostName(entry("10.0.0.1", {"a.test"}), "10.0.0.2"), std::nullopt);
  EXPECT_EQ(lastHostName(entry("10.0.0.1", {}), "10.0.0.1"), std::nullopt);
  EXPECT_EQ(lastHostName(plist::Dictionary{{"10.0.0.1", "a.test"}}, "10.0.0.1"), std::nullopt);
  EXPECT_EQ(lastHostName(plist::Dictionary{{"10.0.0.1", plist::Array{plist::Value(5)}}}, "10.0.0.1"),
            std::nullopt);
  EXPECT_EQ(lastHostName(plist::Dictionary{}, "10.0.0.1"), std::nullopt);
}

// A "SpringBoard" child process serving the host-name map over the real
// resolver and the device's hosts file; killed on destruction.
class SpringBoardProcess {
 public:
  explicit SpringBoardProcess(const DeviceRoot& root)
      : process_([&](int readyFd) {
          PollRunLoop loop;
          KstFlags flags;
          PosixResolver resolver(root);
          KstHostSpringBoard springBoard(KstHostMapEnv{&resolver, &loop, &flags}, root);
          loop.perform([&] { testing::ForkedProcess::signalReady(readyFd, springBoard.initSBSMessaging()); });
          loop.run();
        }) {}
  bool ok() const { return process_.ok(); }

 private:
  testing::ForkedProcess process_;
};

TEST(KstHostSpringBoardProcessTest, AClientProcessLearnsNamesFromTheDevicesHostsFile) {
  TempRoot temp;
  std::filesystem::create_directories(temp.path("/etc"));
  std::ofstream(temp.path("/etc/hosts")) << "# test hosts\n"
                                            "127.0.0.2 demo.test\n"
                                            "fd00::2   demo.test\n"
                                            "127.0.0.3 www.alias.test\n"
                                            "127.0.0.2 alias.test\n";
  SpringBoardProcess springBoard(temp.root());
  ASSERT_TRUE(springBoard.ok());

  const KstHostClient client(temp.root());
  auto knows = [&](const std::string& address, const std::string& name) {
    return eventually([&] { return lastHostName(client.getIPDictionary(address).value(), address) == name; });
  };
  client.doHostStuff("demo.test");
  ASSERT_TRUE(knows("127.0.0.2", "demo.test"));
  EXPECT_EQ(client.getIPDictionary("fd00::2"), entry("fd00::2", {"demo.test"}));

  client.doHostStuff("www.alias.test");
  ASSERT_TRUE(knows("127.0.0.3", "alias.test"));
  client.doHostStuff("alias.test");
  ASSERT_TRUE(knows("127.0.0.2", "alias.test"));
  EXPECT_EQ(client.getIPDictionary("127.0.0.2"), entry("127.0.0.2", {"demo.test", "alias.test"}));
  EXPECT_EQ(client.getIPDictionary("127.0.0.99"), plist::Dictionary{});
}

}  // namespace
}  // namespace kst
