#include "platform/resolver/PosixResolver.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

// The system side, scripted: plain functions, so their state is global.
struct FakeSystem {
  int calls = 0;
  std::string lastName;
  addrinfo lastHints{};
  int answer = 0;                      // getaddrinfo's / getnameinfo's result
  std::vector<std::string> addresses;  // what getaddrinfo returns, in order
  std::string reverseName;             // what getnameinfo writes
  int lastFlags = 0;
  socklen_t lastHostLength = 0;
};
FakeSystem fake;

int fakeGetaddrinfo(const char* name, const char*, const addrinfo* hints, addrinfo** out) noexcept {
  ++fake.calls;
  fake.lastName = name;
  fake.lastHints = *hints;
  *out = nullptr;
  if (fake.answer != 0) return fake.answer;
  for (auto it = fake.addresses.rbegin(); it != fake.addresses.rend(); ++it) {
    auto* r = new addrinfo{};
    auto* a = new sockaddr_in6{};
    if (it->find(':') == std::string::npos) {
      auto* in = reinterpret_cast<sockaddr_in*>(a);
      in->sin_family = AF_INET;
      ::inet_pton(AF_INET, it->c_str(), &in->sin_addr);
      r->ai_family = AF_INET;
      r->ai_addrlen = sizeof(sockaddr_in);
    } else {
      a->sin6_family = AF_INET6;
      ::inet_pton(AF_INET6, it->c_str(), &a->sin6_addr);
      r->ai_family = AF_INET6;
      r->ai_addrlen = sizeof(sockaddr_in6);
    }
    r->ai_addr = reinterpret_cast<sockaddr*>(a);
    r->ai_next = *out;
    *out = r;
  }
  return 0;
}

void fakeFreeaddrinfo(addrinfo* list) noexcept {
  while (list != nullptr) {
    addrinfo* next = list->ai_next;
    delete reinterpret_cast<sockaddr_in6*>(list->ai_addr);
    delete list;
    list = next;
  }
}

int fakeGetnameinfo(const sockaddr*, socklen_t, char* host, socklen_t hostLength, char*, socklen_t,
                    int flags) noexcept {
  ++fake.calls;
  fake.lastFlags = flags;
  fake.lastHostLength = hostLength;
  if (fake.answer != 0) return fake.answer;
  std::strncpy(host, fake.reverseName.c_str(), hostLength - 1);
  return 0;
}

constexpr ResolverCalls kFakeCalls{&fakeGetaddrinfo, &fakeFreeaddrinfo, &fakeGetnameinfo};

sockaddr_in v4(const char* text) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

class PosixResolverTest : public ::testing::Test {
 protected:
  void SetUp() override { fake = FakeSystem{}; }

  void writeHosts(const std::string& text) {
    std::filesystem::create_directories(temp_.path("/etc"));
    std::ofstream(temp_.path("/etc/hosts"), std::ios::trunc) << text;
  }
  std::optional<std::string> reverse(Resolver& r, const char* address) {
    const sockaddr_in a = v4(address);
    return r.reverseLookup(reinterpret_cast<const sockaddr*>(&a), sizeof a);
  }

  testing::TempRoot temp_;
  PosixResolver faked_{temp_.root(), kFakeCalls};
};

TEST_F(PosixResolverTest, TheDeviceHostsFileAnswersFirstAndEditsCountAtOnce) {
  writeHosts("127.0.0.2 demo.test\n127.0.0.9 localhost\n");
  PosixResolver resolver(temp_.root());
  EXPECT_EQ(resolver.resolve("demo.test", AddressFamily::kAny), Resolver::Addresses{"127.0.0.2"});
  EXPECT_EQ(resolver.resolve("localhost", AddressFamily::kIPv4), Resolver::Addresses{"127.0.0.9"});
  EXPECT_EQ(reverse(resolver, "127.0.0.2"), "demo.test");
  writeHosts("127.0.0.3 demo.test\n");
  EXPECT_EQ(resolver.resolve("demo.test", AddressFamily::kAny), Resolver::Addresses{"127.0.0.3"});
  EXPECT_EQ(reverse(resolver, "127.0.0.3"), "demo.test");
}

TEST_F(PosixResolverTest, TheSystemAnswersWhatTheHostsFileDoesNotName) {
  // No device hosts file: the machine's own resolver knows localhost.
  PosixResolver resolver(temp_.root());
  const std::optional<Resolver::Addresses> local = resolver.resolve("localhost", AddressFamily::kIPv4);
  ASSERT_TRUE(local.has_value());
  EXPECT_THAT(*local, Contains("127.0.0.1"));
  // An IPv6-only entry does not answer an IPv4 question.
  writeHosts("fd00::5 six.test\n");
  fake.addresses = {"10.0.0.1"};
  EXPECT_EQ(faked_.resolve("six.test", AddressFamily::kIPv4), Resolver::Addresses{"10.0.0.1"});
  EXPECT_EQ(fake.lastName, "six.test");
}

TEST_F(PosixResolverTest, AsksTheSystemForOneStreamAnswerPerAddress) {
  fake.addresses = {"10.0.0.2", "fd00::1", "10.0.0.2", "10.0.0.1"};
  EXPECT_EQ(faked_.resolve("remote.test", AddressFamily::kAny),
            (Resolver::Addresses{"10.0.0.2", "fd00::1", "10.0.0.1"}));
  EXPECT_EQ(fake.lastHints.ai_family, AF_UNSPEC);
  EXPECT_EQ(fake.lastHints.ai_socktype, SOCK_STREAM);
  faked_.resolve("remote.test", AddressFamily::kIPv4);
  EXPECT_EQ(fake.lastHints.ai_family, AF_INET);
  faked_.resolve("remote.test", AddressFamily::kIPv6);
  EXPECT_EQ(fake.lastHints.ai_family, AF_INET6);
}

TEST_F(PosixResolverTest, FailuresAndBadNamesGiveNothing) {
  fake.answer = EAI_NONAME;
  EXPECT_EQ(faked_.resolve("missing.test", AddressFamily::kAny), std::nullopt);
  EXPECT_EQ(fake.calls, 1);
  EXPECT_EQ(faked_.resolve("", AddressFamily::kAny), std::nullopt);
  EXPECT_EQ(faked_.resolve(std::string_view("a\0b", 3), AddressFamily::kAny), std::nullopt);
  EXPECT_EQ(faked_.resolve(std::string(5000, 'a'), AddressFamily::kAny), std::nullopt);
  EXPECT_EQ(fake.calls, 1) << "names the system cannot take never reach it";
}

TEST_F(PosixResolverTest, ReverseAsksForANameOnlyAndRefusesNumericAnswers) {
  fake.reverseName = "host.example";
  EXPECT_EQ(reverse(faked_, "10.0.0.1"), "host.example");
  EXPECT_EQ(fake.lastFlags, NI_NAMEREQD);
  EXPECT_EQ(fake.lastHostLength, 1025u);
  fake.reverseName = "10.0.0.1";
  EXPECT_EQ(reverse(faked_, "10.0.0.1"), std::nullopt);
  fake.answer = EAI_NONAME;
  EXPECT_EQ(reverse(faked_, "10.0.0.1"), std::nullopt);
  // Not an IPv4 or IPv6 address: the system is not asked.
  const int before = fake.calls;
  sockaddr other{};
  other.sa_family = AF_UNIX;
  EXPECT_EQ(faked_.reverseLookup(&other, sizeof other), std::nullopt);
  EXPECT_EQ(faked_.reverseLookup(nullptr, 0), std::nullopt);
  EXPECT_EQ(fake.calls, before);
}

TEST(AddressTextTest, NumericTextOfBothFamilies) {
  const sockaddr_in a = v4("127.0.0.2");
  EXPECT_EQ(addressText(reinterpret_cast<const sockaddr*>(&a), sizeof a), "127.0.0.2");
  sockaddr_in6 b{};
  b.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, "fd00:0::0:1", &b.sin6_addr);
  EXPECT_EQ(addressText(reinterpret_cast<const sockaddr*>(&b), sizeof b), "fd00::1");
  EXPECT_EQ(addressText(reinterpret_cast<const sockaddr*>(&b), sizeof(sockaddr_in)), std::nullopt);
  EXPECT_TRUE(isNumericAddress("::1"));
  EXPECT_FALSE(isNumericAddress("demo.test"));
  EXPECT_FALSE(isNumericAddress(std::string_view("1.2.3.4\0x", 9)));
}

TEST(AddressTextTest, Ipv4TextIsTheCLibrarysForEveryOctetInEveryPlace) {
  for (int place = 0; place < 4; ++place) {
    for (int value = 0; value < 256; ++value) {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      unsigned char bytes[4] = {10, 200, 7, 99};
      bytes[place] = static_cast<unsigned char>(value);
      std::memcpy(&a.sin_addr, bytes, sizeof bytes);
      char expected[INET_ADDRSTRLEN];
      ASSERT_NE(::inet_ntop(AF_INET, &a.sin_addr, expected, sizeof expected), nullptr);
      ASSERT_EQ(addressText(reinterpret_cast<const sockaddr*>(&a), sizeof a), std::string(expected));
    }
  }
}

}  // namespace
}  // namespace kst
