#include "platform/resolver/HostsFile.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

sockaddr_in v4(const char* text) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

sockaddr_in6 v6(const char* text) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, text, &a.sin6_addr);
  return a;
}

template <class A>
std::optional<std::string> nameOf(const HostsFile& hosts, const A& a) {
  return hosts.nameOf(reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

const HostsFile& sample() {
  static const HostsFile hosts(
      "# the device's test hosts\n"
      "127.0.0.2   demo.test  alias.test   # trailing comment\n"
      "fd00::0002\tdemo.test\n"
      "\n"
      "   127.0.0.3 other.test\r\n"
      "127.0.0.2 demo.test\n"
      "#127.0.0.5 commented.test\n"
      "127.0.0.9 # only a comment names it: nohost.test\n"
      "127.0.0.4 DEMO.TEST\n"
      "127.0.0.6 10.9.8.7 numeric-first.test\n"
      "127.0.0.7 caf\xe9.test\n"
      "127.0.0.8 second.test\n"
      "::ffff:127.0.0.8 mapped.test\n");
  return hosts;
}

TEST(HostsFileTest, ListsEveryAddressOfANameInFileOrderOnce) {
  EXPECT_THAT(sample().addressesOf("demo.test", AddressFamily::kAny),
              ElementsAre("127.0.0.2", "fd00::2", "127.0.0.4"));
  EXPECT_THAT(sample().addressesOf("demo.test", AddressFamily::kIPv4), ElementsAre("127.0.0.2", "127.0.0.4"));
  EXPECT_THAT(sample().addressesOf("demo.test", AddressFamily::kIPv6), ElementsAre("fd00::2"));
  EXPECT_THAT(sample().addressesOf("Alias.TEST", AddressFamily::kAny), ElementsAre("127.0.0.2"));
  EXPECT_THAT(sample().addressesOf("other.test", AddressFamily::kAny), ElementsAre("127.0.0.3"));
  EXPECT_THAT(sample().addressesOf("caf\xe9.test", AddressFamily::kAny), ElementsAre("127.0.0.7"));
}

TEST(HostsFileTest, CommentsAndNamelessLinesNameNothing) {
  EXPECT_THAT(sample().addressesOf("commented.test", AddressFamily::kAny), IsEmpty());
  EXPECT_THAT(sample().addressesOf("nohost.test", AddressFamily::kAny), IsEmpty());
  EXPECT_THAT(sample().addressesOf("#", AddressFamily::kAny), IsEmpty());
  EXPECT_THAT(sample().addressesOf("", AddressFamily::kAny), IsEmpty());
  EXPECT_THAT(sample().addressesOf("unknown.test", AddressFamily::kAny), IsEmpty());
}

TEST(HostsFileTest, ReverseGivesTheCanonicalNameOfTheFirstLine) {
  EXPECT_EQ(nameOf(sample(), v4("127.0.0.2")), "demo.test");
  EXPECT_EQ(nameOf(sample(), v6("fd00::2")), "demo.test");
  EXPECT_EQ(nameOf(sample(), v4("127.0.0.3")), "other.test");
  // An IPv4 address mapped into IPv6 finds its IPv4 line, which comes first.
  EXPECT_EQ(nameOf(sample(), v6("::ffff:127.0.0.8")), "second.test");
  EXPECT_EQ(nameOf(sample(), v4("127.0.0.99")), std::nullopt);
}

TEST(HostsFileTest, CanonicalNameIsTheFirstNameOfTheFirstLineOfTheFamily) {
  const HostsFile f("bogus alias.test\n::1 six.test alias.test\n127.0.0.5 first.test Alias.test\n");
  EXPECT_EQ(f.canonicalNameOf("ALIAS.test", AddressFamily::kIPv4), "first.test");
  EXPECT_EQ(f.canonicalNameOf("alias.test", AddressFamily::kIPv6), "six.test");
  EXPECT_EQ(f.canonicalNameOf("alias.test", AddressFamily::kAny), "six.test");
  EXPECT_EQ(f.canonicalNameOf("first.test", AddressFamily::kIPv4), "first.test");
  EXPECT_EQ(f.canonicalNameOf("first.test", AddressFamily::kIPv6), std::nullopt);
  EXPECT_EQ(f.canonicalNameOf("", AddressFamily::kAny), std::nullopt);
}

TEST(HostsFileTest, ReverseSkipsNumericAndNonUtf8Names) {
  // Numeric answers count as no name; a name that is not UTF-8 is no name
  // either (it would go on to property lists and the screen).
  EXPECT_EQ(nameOf(sample(), v4("127.0.0.6")), std::nullopt);
  EXPECT_EQ(nameOf(sample(), v4("127.0.0.7")), std::nullopt);
  const HostsFile later("127.0.0.6 10.0.0.1\n127.0.0.6 named.test\n");
  EXPECT_EQ(nameOf(later, v4("127.0.0.6")), "named.test");
}

TEST(HostsFileTest, ReverseRefusesOtherFamiliesAndShortAddresses) {
  sockaddr_un local{};
  local.sun_family = AF_UNIX;
  EXPECT_EQ(nameOf(sample(), local), std::nullopt);
  const sockaddr_in a = v4("127.0.0.2");
  EXPECT_EQ(sample().nameOf(reinterpret_cast<const sockaddr*>(&a), sizeof a - 1), std::nullopt);
  EXPECT_EQ(sample().nameOf(nullptr, sizeof a), std::nullopt);
}

TEST(HostsFileTest, SkipsMalformedAddressesAndSurvivesLongLines) {
  const std::string huge(200000, 'a');
  const HostsFile hosts(
      "999.1.1.1 bad.test\n"
      "fe80::1%eth0 bad.test\n"
      "127.0.0.1.5 bad.test\n"
      "127.0.0.5\n"
      "\xff\xfe\x01\x02 bad.test\n" +
      huge + " bad.test\n" + "127.0.0.6 " + huge + " long.test\n" +
      std::string("127.0.0.7 nul\0.test zero.test\n", 30));
  EXPECT_THAT(hosts.addressesOf("bad.test", AddressFamily::kAny), IsEmpty());
  EXPECT_THAT(hosts.addressesOf("long.test", AddressFamily::kAny), ElementsAre("127.0.0.6"));
  EXPECT_THAT(hosts.addressesOf(huge, AddressFamily::kAny), ElementsAre("127.0.0.6"));
  // A NUL byte separates like a blank.
  EXPECT_THAT(hosts.addressesOf(".test", AddressFamily::kAny), ElementsAre("127.0.0.7"));
  EXPECT_THAT(hosts.addressesOf("zero.test", AddressFamily::kAny), ElementsAre("127.0.0.7"));
}

TEST(HostsFileTest, RandomBytesGiveOnlyNumericAddresses) {
  std::mt19937 rng(42);
  static const char kAlphabet[] = "0123456789abcdef.:% \t\r\n#\xff\x80\0a.test";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
  for (int round = 0; round < 300; ++round) {
    std::string text(static_cast<std::size_t>(rng() % 400), ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    const HostsFile hosts(text);
    for (const std::string& a : hosts.addressesOf("a.test", AddressFamily::kAny))
      EXPECT_TRUE(isNumericAddress(a)) << a;
    const sockaddr_in any = v4("127.0.0.1");
    if (auto name = nameOf(hosts, any)) {
      EXPECT_FALSE(name->empty());
    }
  }
}

TEST(HostsFileTest, TextPastTheLimitIsCutAtTheLastWholeLine) {
  // The line "127.0.0.7 cut.test.example" straddles the limit exactly after
  // "cut.test"; keeping the cut part would name a host the file never named.
  const std::string head = "127.0.0.2 first.test\n";
  const std::string cut = "127.0.0.7 cut.test";
  std::string text = head;
  text += "#" + std::string(HostsFile::kMaxBytes - head.size() - cut.size() - 2, 'x') + "\n";
  text += cut + ".example\n";
  ASSERT_EQ(text.find(".example"), HostsFile::kMaxBytes);
  const HostsFile hosts(std::move(text));
  EXPECT_THAT(hosts.addressesOf("first.test", AddressFamily::kAny), ElementsAre("127.0.0.2"));
  EXPECT_THAT(hosts.addressesOf("cut.test", AddressFamily::kAny), IsEmpty());
  EXPECT_THAT(hosts.addressesOf("cut.test.example", AddressFamily::kAny), IsEmpty());
}

TEST(HostsFileTest, ReadsAFileAndReportsAMissingOne) {
  testing::TempRoot temp;
  EXPECT_FALSE(HostsFile::read(temp.path("/etc/hosts")).has_value());
  std::filesystem::create_directories(temp.path("/etc"));
  std::ofstream(temp.path("/etc/hosts")) << "127.0.0.2 demo.test\n";
  const std::optional<HostsFile> hosts = HostsFile::read(temp.path("/etc/hosts"));
  ASSERT_TRUE(hosts.has_value());
  EXPECT_THAT(hosts->addressesOf("demo.test", AddressFamily::kAny), ElementsAre("127.0.0.2"));
  // A folder in its place cannot be read.
  EXPECT_FALSE(HostsFile::read(temp.path("/etc")).has_value());
}

// ---- the cached file ----

class CachedHostsFileTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(temp_.path("/etc")); }

  std::string path() const { return temp_.path("/etc/hosts"); }
  // Replaces the file (a new one renamed over it, as editors and installers do).
  void replace(const std::string& text) {
    const std::string fresh = path() + ".new";
    std::ofstream(fresh) << text;
    std::filesystem::rename(fresh, path());
  }
  // Rewrites the same file in place.
  void rewrite(const std::string& text) { std::ofstream(path(), std::ios::trunc) << text; }
  // Dates the file an hour back, as a hosts file nobody edits today is.
  void age() {
    const timespec times[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path().c_str(), times, 0), 0);
  }
  std::optional<std::string> nameNow(CachedHostsFile& cache, const char* address) {
    const std::shared_ptr<const HostsFile> hosts = cache.current();
    if (!hosts) return std::nullopt;
    return nameOf(*hosts, v4(address));
  }

  testing::TempRoot temp_;
};

TEST_F(CachedHostsFileTest, AnUnchangedFileIsParsedOnce) {
  replace("127.0.0.2 demo.test\n");
  age();
  CachedHostsFile cache(path());
  const std::shared_ptr<const HostsFile> first = cache.current();
  ASSERT_TRUE(first);
  EXPECT_EQ(nameOf(*first, v4("127.0.0.2")), "demo.test");
  EXPECT_EQ(cache.current().get(), first.get()) << "the same parse, not a new one";
}

TEST_F(CachedHostsFileTest, EveryKindOfEditCountsFromTheNextLookup) {
  CachedHostsFile cache(path());
  EXPECT_EQ(cache.current(), nullptr) << "no file";
  replace("127.0.0.2 first.test\n");
  age();
  EXPECT_EQ(nameNow(cache, "127.0.0.2"), "first.test");

  replace("127.0.0.2 other.test\n");  // another file, the same size
  age();
  EXPECT_EQ(nameNow(cache, "127.0.0.2"), "other.test");

  rewrite("127.0.0.2 third.test\n");  // in place, the same size, just now
  EXPECT_EQ(nameNow(cache, "127.0.0.2"), "third.test");
  rewrite("127.0.0.2 forth.test\n");  // again within the same tick of the clock, most likely
  EXPECT_EQ(nameNow(cache, "127.0.0.2"), "forth.test");

  rewrite("127.0.0.2 longer.name.test\n");
  age();
  EXPECT_EQ(nameNow(cache, "127.0.0.2"), "longer.name.test");

  std::filesystem::remove(path());
  EXPECT_EQ(cache.current(), nullptr) << "removed";
  replace("127.0.0.2 back.test\n");
  EXPECT_EQ(nameNow(cache, "127.0.0.2"), "back.test");
}

TEST_F(CachedHostsFileTest, ReadersDuringEditsSeeOneWholeVersionOrTheOther) {
  replace("127.0.0.2 one.test\n");
  CachedHostsFile cache(path());
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<int> lookups{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const std::optional<std::string> name = nameNow(cache, "127.0.0.2");
        if (name != "one.test" && name != "two.test") ++wrong;
        ++lookups;
      }
    });
  }
  for (int i = 0; i < 200; ++i) replace(i % 2 == 0 ? "127.0.0.2 two.test\n" : "127.0.0.2 one.test\n");
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(lookups.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(nameNow(cache, "127.0.0.2"), "one.test") << "the last version";
}

TEST(HostsFileTest, ReverseLookupsOfALargeFileFindTheFirstLine) {
  std::string text;
  for (int i = 0; i < 60000; ++i)
    text += "10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".1 host" +
            std::to_string(i) + ".test\n";
  text += "10.0.0.1 later.test\n";
  const HostsFile hosts(std::move(text));
  EXPECT_EQ(nameOf(hosts, v4("10.0.0.1")), "host0.test");
  EXPECT_EQ(nameOf(hosts, v4("10.234.95.1")), "host59999.test");
  EXPECT_EQ(nameOf(hosts, v4("10.234.96.1")), std::nullopt);
}

}  // namespace
}  // namespace kst
