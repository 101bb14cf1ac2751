#include "platform/resolver/ResolvConf.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <filesystem>
#include <fstream>

#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

std::vector<std::string> textsOf(const ResolvConf& conf) {
  std::vector<std::string> out;
  for (const auto& ns : conf.nameservers()) out.push_back(ns.text);
  return out;
}

sockaddr_in v4(const char* text, int port = 53) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

sockaddr_in6 v6(const char* text, std::uint32_t scope = 0) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(53);
  a.sin6_scope_id = scope;
  ::inet_pton(AF_INET6, text, &a.sin6_addr);
  return a;
}

template <class A>
bool isNameserver(const ResolvConf& conf, const A& a) {
  return conf.isNameserver(reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

TEST(ResolvConfTest, ReadsNameserverLinesAndSkipsEverythingElse) {
  const ResolvConf conf = ResolvConf::parse(
      "# generated\n"
      "search example.com\n"
      "nameserver 127.0.0.53\n"
      "  nameserver\t192.168.1.1   trailing words\r\n"
      "; nameserver 10.0.0.1\n"
      "nameserver 10.0.0.2 # a comment\n"
      "nameservers 10.0.0.3\n"
      "nameserver\n"
      "nameserver not-an-address\n"
      "nameserver 300.1.1.1\n"
      "nameserver 127.0.0.53\n"
      "\x01\xff\xfe garbage \x80\n"
      "options timeout:1 attempts:1\n"
      "nameserver 2001:db8::1");
  EXPECT_EQ(textsOf(conf),
            (std::vector<std::string>{"127.0.0.53", "192.168.1.1", "10.0.0.2", "2001:db8::1"}));
}

TEST(ResolvConfTest, EmptyAndHugeFilesAndTheNameserverLimit) {
  EXPECT_TRUE(ResolvConf::parse("").nameservers().empty());
  EXPECT_TRUE(ResolvConf::parse(std::string(1000, '\n')).nameservers().empty());

  std::string many;
  for (int i = 1; i <= 40; ++i) many += "nameserver 10.0.0." + std::to_string(i) + "\n";
  const ResolvConf capped = ResolvConf::parse(many);
  ASSERT_EQ(capped.nameservers().size(), ResolvConf::kMaxNameservers);
  EXPECT_EQ(capped.nameservers().back().text, "10.0.0.16");

  // Past the byte limit nothing counts, and a line cut at the limit does
  // not name a cut address (10.0.0.12 must not become 10.0.0.1).
  std::string huge = "nameserver 10.9.9.9\n";
  huge += std::string(ResolvConf::kMaxBytes - huge.size() - 20, '#');
  huge += "\nnameserver 10.0.0.12\nnameserver 10.0.0.77\n";
  const ResolvConf cut = ResolvConf::parse(huge);
  EXPECT_EQ(textsOf(cut), (std::vector<std::string>{"10.9.9.9"}));
}

TEST(ResolvConfTest, MatchesAddressesOfEitherFormAnyPortAndScopes) {
  const unsigned loopbackIndex = ::if_nametoindex("lo");
  const ResolvConf conf = ResolvConf::parse(
      "nameserver 127.0.0.53\n"
      "nameserver fe80::1%lo\n"
      "nameserver fe80::2%7\n"
      "nameserver fe80::3%no-such-interface\n"
      "nameserver ::ffff:10.1.1.1\n");
  ASSERT_EQ(textsOf(conf),
            (std::vector<std::string>{"127.0.0.53", "fe80::1", "fe80::2", "fe80::3", "::ffff:10.1.1.1"}));
  EXPECT_EQ(conf.nameservers()[1].address.sin6_scope_id, loopbackIndex);
  EXPECT_EQ(conf.nameservers()[2].address.sin6_scope_id, 7u);

  EXPECT_TRUE(isNameserver(conf, v4("127.0.0.53")));
  EXPECT_TRUE(
      isNameserver(conf, v4("127.0.0.53", 8053)));  // the address counts; the port is the caller's test
  EXPECT_TRUE(isNameserver(conf, v6("::ffff:127.0.0.53")));
  EXPECT_TRUE(isNameserver(conf, v4("10.1.1.1")));
  EXPECT_FALSE(isNameserver(conf, v4("127.0.0.54")));
  // A scope counts only when both name one.
  EXPECT_TRUE(isNameserver(conf, v6("fe80::1", loopbackIndex)));
  EXPECT_TRUE(isNameserver(conf, v6("fe80::1")));
  EXPECT_FALSE(isNameserver(conf, v6("fe80::2", 8)));
  EXPECT_TRUE(isNameserver(conf, v6("fe80::3", 8)));
  // Short lengths, other families and null are never a nameserver.
  const sockaddr_in a = v4("127.0.0.53");
  EXPECT_FALSE(conf.isNameserver(reinterpret_cast<const sockaddr*>(&a), sizeof a - 1));
  EXPECT_FALSE(conf.isNameserver(nullptr, 0));
  sockaddr un{};
  un.sa_family = AF_UNIX;
  EXPECT_FALSE(conf.isNameserver(&un, sizeof un));
}

class ResolvConfFileTest : public ::testing::Test {
 protected:
  void write(const std::string& text) {
    // Written beside and renamed, as editors and resolvconf tools do.
    std::filesystem::create_directories(temp_.path("/etc"));
    const std::string tmp = path() + ".tmp";
    std::ofstream(tmp) << text;
    std::filesystem::rename(tmp, path());
  }
  std::string path() const { return temp_.path("/etc/resolv.conf"); }
  testing::TempRoot temp_;
};

TEST_F(ResolvConfFileTest, ReadOnceAndAgainWhenTheFileChangesAppearsOrGoes) {
  ResolvConfFile file(path());
  EXPECT_TRUE(file.current()->nameservers().empty());  // missing
  write("nameserver 127.0.0.2\n");
  const auto first = file.current();
  EXPECT_EQ(textsOf(*first), (std::vector<std::string>{"127.0.0.2"}));
  EXPECT_EQ(file.current().get(), first.get());  // unchanged: not read again
  write("nameserver 127.0.0.3\nnameserver 127.0.0.4\n");
  EXPECT_EQ(textsOf(*file.current()), (std::vector<std::string>{"127.0.0.3", "127.0.0.4"}));
  EXPECT_EQ(textsOf(*first), (std::vector<std::string>{"127.0.0.2"}));  // a taken one stays whole
  write("");
  EXPECT_TRUE(file.current()->nameservers().empty());
  std::filesystem::remove(path());
  EXPECT_TRUE(file.current()->nameservers().empty());
  // A folder where the file should be reads as no configuration.
  std::filesystem::create_directories(path());
  EXPECT_TRUE(file.current()->nameservers().empty());
}

TEST_F(ResolvConfFileTest, TheDeviceFileWhenThereIsOneElseTheSystemFile) {
  EXPECT_EQ(ResolvConfFile::pathFor(temp_.dir()), "/etc/resolv.conf");
  write("nameserver 127.0.0.2\n");
  EXPECT_EQ(ResolvConfFile::pathFor(temp_.dir()), path());
}

}  // namespace
}  // namespace kst
