#include "hook/intercept/SocketHooks.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "hook/intercept/DescriptorHooks.h"
#include "hook/intercept/JudgedAddress.h"

#include "hook/rules/KstFiles.h"
#include "hook/store/KstSettingsManager.h"
#include "hook/store/StoreTesting.h"
#include "platform/plist/PlistFile.h"

namespace kst {
namespace {

using plist::Dictionary;
using plist::Value;
using testing::ruleEntries;

// The replacements judge with the process's own manager and flags, over the
// process's device root (a temporary folder in every test binary). Real
// sockets on loopback addresses that the device's hosts file names.
class SocketHooksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new DeviceRoot(DeviceRoot::process());
    FileSystem::real().writeFileAtomic(root_->path("/etc/hosts"),
                                       "127.0.0.2 allowed.test\n127.0.0.3 denied.test\n"
                                       "127.0.0.4 www.asked.test\n127.0.0.5 udp-denied.test\n",
                                       true);
  }

  void SetUp() override {
    writeGlobal(Dictionary{{"globalDeny", Value(ruleEntries({"denied.test", "udp-denied.test"}))},
                           {"globalAllow", Value(ruleEntries({"allowed.test"}))}});
    FileSystem::real().removeFile(root_->path(files::kDisabledMarkerPath));
    KstSettingsManager& m = ensureSettingsManagerKst();
    m.setCurrentBundleIdentifier("com.example.hooked");
    m.clearTempAnswers();
    m.reloadGlobalSettings();
    m.reloadAppSettings();
    set(kstFlags().SpringBoardDidFinish, true);
    resetProtocolLocks();
  }

  void TearDown() override {
    for (int fd : fds_) ::close(fd);
  }

  static void writeGlobal(const Dictionary& d) {
    ASSERT_TRUE(
        plist::writeDictionaryFile(FileSystem::real(), root_->path(files::kGlobalRulesPath), d, true));
  }

  int track(int fd) {
    fds_.push_back(fd);
    return fd;
  }

  // A listening TCP socket on `ip`; returns its address.
  sockaddr_in listener(const char* ip) {
    const int fd = track(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd, 16), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return a;
  }

  int hookedConnect(const sockaddr_in& a, int flags = 0) {
    const int fd = track(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    return replacement::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  }

  static DeviceRoot* root_;
  std::vector<int> fds_;
};

DeviceRoot* SocketHooksTest::root_ = nullptr;

TEST_F(SocketHooksTest, RulesAllowAndRefuseRealConnections) {
  EXPECT_EQ(hookedConnect(listener("127.0.0.2")), 0);
  errno = 0;
  EXPECT_EQ(hookedConnect(listener("127.0.0.3")), -1);
  EXPECT_EQ(errno, EPERM) << "a refused connection says so";
}

TEST_F(SocketHooksTest, AllowedNonBlockingConnectKeepsItsOwnResultAndErrno) {
  const sockaddr_in a = listener("127.0.0.2");
  errno = 1234;
  const int r = hookedConnect(a, SOCK_NONBLOCK);
  if (r == -1) {
    EXPECT_EQ(errno, EINPROGRESS);
  } else {
    EXPECT_EQ(r, 0);
    EXPECT_EQ(errno, 1234) << "a successful call leaves the caller's errno alone";
  }
}

TEST_F(SocketHooksTest, SwitchedOffFirewallPassesEverything) {
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(root_->path(files::kDisabledMarkerPath), "", true));
  EXPECT_EQ(hookedConnect(listener("127.0.0.3")), 0);
  ensureSettingsManagerKst().clearCurrentBundleIdentifier();
  FileSystem::real().removeFile(root_->path(files::kDisabledMarkerPath));
  EXPECT_EQ(hookedConnect(listener("127.0.0.3")), 0) << "a process without bundle identifier is not judged";
}

TEST_F(SocketHooksTest, ApplicationSwitchedOffPassesEverything) {
  ASSERT_TRUE(plist::writeDictionaryFile(
      FileSystem::real(), root_->path(files::kRulesPath),
      Dictionary{{"com.example.hooked", Value(Dictionary{{"enabled", Value(false)}})}}, true));
  ensureSettingsManagerKst().reloadAppSettings();
  EXPECT_EQ(hookedConnect(listener("127.0.0.3")), 0);
  FileSystem::real().removeFile(root_->path(files::kRulesPath));
}

TEST_F(SocketHooksTest, LocalSocketsAndBadAddressesAreNeverJudged) {
  const int fd = track(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  std::strcpy(un.sun_path, "/nonexistent/socket");
  errno = 0;
  EXPECT_EQ(replacement::connect(fd, reinterpret_cast<sockaddr*>(&un), sizeof un), -1);
  EXPECT_EQ(errno, ENOENT) << "the real connect's own failure";
  errno = 0;
  EXPECT_EQ(replacement::connect(fd, nullptr, 0), -1);
  EXPECT_NE(errno, EPERM);
  sockaddr_in shortAddress{};
  shortAddress.sin_family = AF_INET;
  EXPECT_EQ(replacement::connect(fd, reinterpret_cast<sockaddr*>(&shortAddress), 4), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(SocketHooksTest, LocalhostIsNeverJudged) {
  writeGlobal(Dictionary{{"globalDeny", Value(ruleEntries({"*:1-65535"}))}});
  ensureSettingsManagerKst().reloadGlobalSettings();
  EXPECT_EQ(hookedConnect(listener("127.0.0.1")), 0);
  EXPECT_EQ(hookedConnect(listener("127.0.0.2")), -1);
}

TEST_F(SocketHooksTest, UndecidedWithoutSpringBoardIsLetThrough) {
  set(kstFlags().SpringBoardDidFinish, false);
  EXPECT_EQ(hookedConnect(listener("127.0.0.4")), 0);
  set(kstFlags().SpringBoardDidFinish, true);
  // SpringBoard ready but its services unreachable: the empty answer is
  // "allow once".
  EXPECT_EQ(hookedConnect(listener("127.0.0.4")), 0);
}

TEST_F(SocketHooksTest, SessionRulesDecideWithoutAsking) {
  ensureSettingsManagerKst().addTempDenyRule("asked.test");
  EXPECT_EQ(hookedConnect(listener("127.0.0.4")), -1) << "judged by its name without \"www.\"";
}

sockaddr_in udpAddress(const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

TEST_F(SocketHooksTest, DatagramsAreJudgedBySendtoSendmsgAndSendmmsg) {
  const int fd = track(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in denied = udpAddress("127.0.0.5", 9);
  const sockaddr_in allowed = udpAddress("127.0.0.2", 9);
  const char payload[] = "abc";
  errno = 0;
  EXPECT_EQ(replacement::sendto(fd, payload, 3, 0, reinterpret_cast<const sockaddr*>(&denied), sizeof denied),
            -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(
      replacement::sendto(fd, payload, 3, 0, reinterpret_cast<const sockaddr*>(&allowed), sizeof allowed), 3);

  iovec iov{const_cast<char*>(payload), 3};
  msghdr h{};
  h.msg_name = const_cast<sockaddr_in*>(&denied);
  h.msg_namelen = sizeof denied;
  h.msg_iov = &iov;
  h.msg_iovlen = 1;
  EXPECT_EQ(replacement::sendmsg(fd, &h, 0), -1);
  h.msg_name = const_cast<sockaddr_in*>(&allowed);
  EXPECT_EQ(replacement::sendmsg(fd, &h, 0), 3);

  mmsghdr batch[3]{};
  for (auto& m : batch) m.msg_hdr = h;
  batch[2].msg_hdr.msg_name = const_cast<sockaddr_in*>(&denied);
  EXPECT_EQ(replacement::sendmmsg(fd, batch, 3, 0), 2) << "the datagrams before the refused one go";
  batch[0].msg_hdr.msg_name = const_cast<sockaddr_in*>(&denied);
  EXPECT_EQ(replacement::sendmmsg(fd, batch, 3, 0), -1);
}

TEST_F(SocketHooksTest, DatagramsToLoopbackAddressOneAreNeverJudged) {
  writeGlobal(Dictionary{{"globalDeny", Value(ruleEntries({"*:9"}))}});
  ensureSettingsManagerKst().reloadGlobalSettings();
  const int fd = track(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in one = udpAddress("127.0.0.1", 9);
  const sockaddr_in two = udpAddress("127.0.0.2", 9);
  EXPECT_EQ(replacement::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&one), sizeof one), 1);
  EXPECT_EQ(replacement::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&two), sizeof two), -1);
  // A connected socket's send has no address to judge.
  EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&two), sizeof two), 0);
  EXPECT_EQ(replacement::sendto(fd, "x", 1, 0, nullptr, 0), 1);
}

int gConnectxCalls = 0;
int failingConnectx(int, const sa_endpoints_t*, sae_associd_t, unsigned int, const iovec*, unsigned int,
                    size_t*, sae_connid_t*) {
  ++gConnectxCalls;
  errno = 3;
  return -1;
}

TEST_F(SocketHooksTest, ConnectxJudgesTheDestinationAndHidesErrnoThree) {
  orig_connectx9 = failingConnectx;
  const sockaddr_in denied = udpAddress("127.0.0.3", 443);
  const sockaddr_in allowed = udpAddress("127.0.0.2", 443);
  sa_endpoints_t e{};
  e.sae_dstaddr = reinterpret_cast<const sockaddr*>(&denied);
  e.sae_dstaddrlen = sizeof denied;
  gConnectxCalls = 0;
  EXPECT_EQ(replacement::connectx(-1, &e, 0, 0, nullptr, 0, nullptr, nullptr), -1);
  EXPECT_EQ(gConnectxCalls, 0);
  e.sae_dstaddr = reinterpret_cast<const sockaddr*>(&allowed);
  EXPECT_EQ(replacement::connectx(-1, &e, 0, 0, nullptr, 0, nullptr, nullptr), 0)
      << "a failure with errno 3 reports success";
  EXPECT_EQ(gConnectxCalls, 1);
  EXPECT_EQ(replacement::connectx(-1, nullptr, 0, 0, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(gConnectxCalls, 2) << "no endpoints: the real function decides";
  orig_connectx9 = nullptr;
}

sockaddr_in6 mappedAddress(const char* ipv4, int port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  const std::string text = std::string("::ffff:") + ipv4;
  ::inet_pton(AF_INET6, text.c_str(), &a.sin6_addr);
  return a;
}

TEST(JudgedAddressTest, MappedIpv6BecomesItsIpv4FormAndOldIpv6LengthCounts) {
  const sockaddr_in6 mapped = mappedAddress("127.0.0.5", 80);
  auto j = judgedAddress(reinterpret_cast<const sockaddr*>(&mapped), sizeof mapped);
  ASSERT_TRUE(j);
  EXPECT_EQ(j->family(), AF_INET);
  EXPECT_EQ(j->length, sizeof(sockaddr_in));
  EXPECT_EQ(j->port(), 80);
  EXPECT_EQ(reinterpret_cast<const sockaddr_in*>(&j->storage)->sin_addr.s_addr, htonl(0x7f000005));

  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(443);
  v6.sin6_scope_id = 7;
  ::inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr);
  EXPECT_FALSE(judgedAddress(reinterpret_cast<const sockaddr*>(&v6), 23)) << "the kernel refuses it";
  j = judgedAddress(reinterpret_cast<const sockaddr*>(&v6), 24);
  ASSERT_TRUE(j);
  EXPECT_EQ(j->family(), AF_INET6);
  EXPECT_EQ(j->port(), 443);
  EXPECT_EQ(reinterpret_cast<const sockaddr_in6*>(&j->storage)->sin6_scope_id, 0u)
      << "the scope id lies beyond 24 bytes and is not read";
}

// Judged through a dual-stack socket, ::ffff:a.b.c.d meets every IPv4 rule
// shape and the name the hosts file gives a.b.c.d.
TEST_F(SocketHooksTest, MappedIpv6IsJudgedAsItsIpv4Address) {
  writeGlobal(Dictionary{
      {"globalDeny", Value(ruleEntries({"127.0.0.6", "127.0.1.*", "127.0.2.10-20", "denied.test"}))}});
  ensureSettingsManagerKst().reloadGlobalSettings();
  struct Case {
    const char* ip;
    bool refused;
  };
  for (const Case& c : {Case{"127.0.0.6", true}, Case{"127.0.1.9", true}, Case{"127.0.2.15", true},
                        Case{"127.0.0.3", true}, Case{"127.0.2.21", false}, Case{"127.0.0.2", false}}) {
    const sockaddr_in v4 = listener(c.ip);
    sockaddr_in6 a = mappedAddress(c.ip, ntohs(v4.sin_port));
    const int fd = track(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    errno = 0;
    const int r = replacement::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    EXPECT_EQ(r, c.refused ? -1 : 0) << c.ip;
    if (c.refused) {
      EXPECT_EQ(errno, EPERM) << c.ip;
    }
    // The old 24-byte length is judged the same way.
    const int fd24 = track(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(replacement::connect(fd24, reinterpret_cast<const sockaddr*>(&a), 24), c.refused ? -1 : 0)
        << c.ip;
  }
}

TEST_F(SocketHooksTest, SendtoOnAStreamSocketIsNotJudgedByItsAddress) {
  const sockaddr_in allowed = listener("127.0.0.2");
  const int fd = track(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(replacement::connect(fd, reinterpret_cast<const sockaddr*>(&allowed), sizeof allowed), 0);
  const sockaddr_in denied = udpAddress("127.0.0.5", 9);
  // Linux ignores the address on a connected stream socket.
  EXPECT_EQ(replacement::sendto(fd, "abc", 3, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&denied),
                                sizeof denied),
            3);
  // A Fast Open send connects: it is judged by its address, like connectx.
  const int fresh = track(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in deniedTcp = udpAddress("127.0.0.3", 9);
  errno = 0;
  EXPECT_EQ(replacement::sendto(fresh, "abc", 3, MSG_FASTOPEN | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&deniedTcp), sizeof deniedTcp),
            -1);
  EXPECT_EQ(errno, EPERM);
}

// A datagram socket's type is asked once; the number, closed and taken by a
// stream socket, is that socket's, however it was closed or replaced.
TEST_F(SocketHooksTest, ANumberADatagramSocketHadIsJudgedByWhatHoldsItNow) {
  const sockaddr_in allowed = listener("127.0.0.2");
  const sockaddr_in denied = udpAddress("127.0.0.5", 9);
  using Take = void (*)(int number);
  const Take ways[] = {
      [](int number) { my_close(number); },
      [](int number) {
        const int spare = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        my_dup2(spare, number);
        my_close(spare);
      },
      // Only the one number: the library's own descriptors lie above it.
      [](int number) { my_close_range(static_cast<unsigned>(number), static_cast<unsigned>(number), 0); },
  };
  for (const Take take : ways) {
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(udp, 0);
    errno = 0;
    EXPECT_EQ(replacement::sendto(udp, "abc", 3, 0, reinterpret_cast<const sockaddr*>(&denied), sizeof denied),
              -1);
    EXPECT_EQ(errno, EPERM);
    take(udp);
    int stream = udp;
    if (::fcntl(udp, F_GETFD) < 0) {
      stream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      ASSERT_EQ(stream, udp) << "the lowest free number";
    }
    ASSERT_EQ(replacement::connect(stream, reinterpret_cast<const sockaddr*>(&allowed), sizeof allowed), 0);
    EXPECT_EQ(replacement::sendto(stream, "abc", 3, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&denied),
                                  sizeof denied),
              3)
        << "a connected stream socket's send goes where it is connected";
    ::close(stream);
  }
}

// Every family and every length from 0 to 128 bytes: the real function gets
// the caller's own pointer, length and bytes; never a read past the length
// (the sanitizer build checks each exact-size buffer). The sweep runs
// unjudged (no bundle identifier: no name lookups for thousands of random
// addresses); the address is still taken apart before that check.
int gFakeCalls = 0;
const sockaddr* gFakeAddress = nullptr;
socklen_t gFakeLength = 0;
int recordingConnect(int, const sockaddr* address, socklen_t length) {
  ++gFakeCalls;
  gFakeAddress = address;
  gFakeLength = length;
  return 0;
}
ssize_t recordingSendto(int, const void*, size_t n, int, const sockaddr* address, socklen_t length) {
  recordingConnect(-1, address, length);
  return static_cast<ssize_t>(n);
}

TEST_F(SocketHooksTest, AddressesOfEveryFamilyAndLengthReachTheRealFunctionUnaltered) {
  ensureSettingsManagerKst().clearCurrentBundleIdentifier();
  orig_connect = recordingConnect;
  orig_sendto = recordingSendto;
  const int udp = track(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  for (int family : {AF_UNSPEC, AF_UNIX, AF_INET, AF_INET6, AF_NETLINK, AF_PACKET, 255, 0xffff}) {
    for (socklen_t length = 0; length <= 128; ++length) {
      std::vector<unsigned char> bytes(length);
      for (socklen_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(0xA5 ^ i);
      if (length >= 2) std::memcpy(bytes.data(), &family, 2);
      const std::vector<unsigned char> before = bytes;
      const auto* address = length == 0 ? nullptr : reinterpret_cast<const sockaddr*>(bytes.data());
      for (bool datagram : {false, true}) {
        gFakeCalls = 0;
        if (datagram) {
          EXPECT_EQ(replacement::sendto(udp, "x", 1, 0, address, length), 1);
        } else {
          EXPECT_EQ(replacement::connect(-1, address, length), 0);
        }
        EXPECT_EQ(gFakeCalls, 1) << family << "/" << length;
        EXPECT_EQ(gFakeAddress, address);
        EXPECT_EQ(gFakeLength, length);
        EXPECT_EQ(bytes, before);
      }
    }
  }
  gFakeCalls = 0;
  EXPECT_EQ(replacement::connect(-1, nullptr, 16), 0);
  EXPECT_EQ(gFakeCalls, 1) << "a null address goes to the real function with its length";
  EXPECT_EQ(gFakeLength, 16u);
  orig_connect = ::connect;
  orig_sendto = ::sendto;
}

}  // namespace
}  // namespace kst
