#include "hook/intercept/DnsResponse.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace kst {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes name(const std::string& n) {
  Bytes out;
  std::size_t start = 0;
  while (start < n.size()) {
    std::size_t dot = n.find('.', start);
    if (dot == std::string::npos) dot = n.size();
    out.push_back(static_cast<unsigned char>(dot - start));
    for (std::size_t i = start; i < dot; ++i) out.push_back(static_cast<unsigned char>(n[i]));
    start = dot + 1;
  }
  out.push_back(0);
  return out;
}

void put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v >> 8));
  b.push_back(static_cast<unsigned char>(v & 0xff));
}

// A response built record by record.
class Message {
 public:
  explicit Message(const std::string& question, unsigned type = ns_t_a, unsigned flags = 0x8180) {
    put16(header_, 0x1234);
    put16(header_, flags);
    Bytes q = name(question);
    body_.insert(body_.end(), q.begin(), q.end());
    put16(body_, type);
    put16(body_, ns_c_in);
  }
  Message& record(const Bytes& owner, unsigned type, const Bytes& rdata, unsigned cls = ns_c_in) {
    for (unsigned char c : owner) body_.push_back(c);
    put16(body_, type);
    put16(body_, cls);
    put16(body_, 0);
    put16(body_, 60);
    put16(body_, static_cast<unsigned>(rdata.size()));
    for (unsigned char c : rdata) body_.push_back(c);
    ++answers_;
    return *this;
  }
  Message& a(const std::string& owner, const char* ip) {
    Bytes rdata(4);
    ::inet_pton(AF_INET, ip, rdata.data());
    return record(name(owner), ns_t_a, rdata);
  }
  Message& aaaa(const std::string& owner, const char* ip) {
    Bytes rdata(16);
    ::inet_pton(AF_INET6, ip, rdata.data());
    return record(name(owner), ns_t_aaaa, rdata);
  }
  Message& cname(const std::string& owner, const std::string& target) {
    return record(name(owner), ns_t_cname, name(target));
  }
  Bytes bytes(unsigned questions = 1) const {
    Bytes out = header_;
    put16(out, questions);
    put16(out, answers_);
    put16(out, 0);
    put16(out, 0);
    out.insert(out.end(), body_.begin(), body_.end());
    return out;
  }

 private:
  Bytes header_;
  Bytes body_;
  unsigned answers_ = 0;
};

std::optional<DnsAnswer> parse(const Bytes& b) {
  return parseDnsResponse(b.data(), b.size());
}

std::vector<std::string> texts(const DnsAnswer& answer) {
  std::vector<std::string> out;
  for (const auto& a : answer.addresses) {
    unsigned char bytes[16];
    std::memcpy(bytes, &a.hi, 8);
    std::memcpy(bytes + 8, &a.lo, 8);
    char text[INET6_ADDRSTRLEN] = {};
    const in6_addr* six = reinterpret_cast<const in6_addr*>(bytes);
    if (IN6_IS_ADDR_V4MAPPED(six))
      ::inet_ntop(AF_INET, bytes + 12, text, sizeof text);
    else
      ::inet_ntop(AF_INET6, bytes, text, sizeof text);
    out.emplace_back(text);
  }
  return out;
}

TEST(DnsResponseTest, TheQuestionAndItsAddressesThroughCnameChains) {
  const Bytes m = Message("WWW.Shop.Test.")
                      .cname("www.shop.test", "edge.cdn.test")
                      .cname("EDGE.cdn.test", "node7.cdn.test")
                      .a("node7.cdn.test", "10.0.0.7")
                      .aaaa("node7.cdn.test", "2001:db8::7")
                      .a("unrelated.test", "10.9.9.9")
                      .a("node7.cdn.test", "10.0.0.7")
                      .bytes();
  const auto answer = parse(m);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->question, "www.shop.test");
  EXPECT_EQ(texts(*answer), (std::vector<std::string>{"10.0.0.7", "2001:db8::7"}));
}

TEST(DnsResponseTest, OnlySuccessfulAnswersToOneAddressQuestion) {
  EXPECT_FALSE(parse(Message("a.test", ns_t_a, 0x0100).a("a.test", "10.0.0.1").bytes()));  // a query
  EXPECT_FALSE(parse(Message("a.test", ns_t_a, 0x8183).a("a.test", "10.0.0.1").bytes()));  // NXDOMAIN
  EXPECT_FALSE(parse(Message("a.test", ns_t_a, 0x8980).a("a.test", "10.0.0.1").bytes()));  // opcode 1
  EXPECT_FALSE(parse(Message("a.test", ns_t_ptr).a("a.test", "10.0.0.1").bytes()));
  EXPECT_FALSE(parse(Message("a.test").bytes()));                          // no answer
  EXPECT_FALSE(parse(Message("a.test").a("b.test", "10.0.0.1").bytes()));  // not for the name
  EXPECT_FALSE(
      parse(Message("a.test").record(name("a.test"), ns_t_a, Bytes{10, 0, 0, 1}, ns_c_chaos).bytes()));
  EXPECT_FALSE(
      parse(Message("a.test").record(name("a.test"), ns_t_a, Bytes{10, 0, 0}).bytes()));  // bad length
  EXPECT_FALSE(parse(Message("a.test").a("a.test", "10.0.0.1").bytes(2)));  // counts that do not fit
  EXPECT_FALSE(parse(Message("a.test").a("a.test", "10.0.0.1").bytes(0)));
  EXPECT_FALSE(parseDnsResponse(nullptr, 100));
  EXPECT_TRUE(parse(Message("a.test", ns_t_aaaa).aaaa("a.test", "::1").bytes()));
}

TEST(DnsResponseTest, EveryTruncationReadsAsNothing) {
  const Bytes m = Message("x.test").cname("x.test", "y.test").a("y.test", "10.0.0.1").bytes();
  ASSERT_TRUE(parse(m));
  for (std::size_t n = 0; n < m.size(); ++n) {
    // A copy of exactly n bytes, so that a read past it is caught by the
    // address sanitizer.
    const Bytes cut(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(parseDnsResponse(cut.data(), cut.size())) << n;
  }
}

TEST(DnsResponseTest, CompressionLoopsAndPointersPastTheEnd) {
  // The question's name is a pointer to itself.
  Bytes self = Message("a.test").a("a.test", "10.0.0.1").bytes();
  self[12] = 0xc0;
  self[13] = 12;
  EXPECT_FALSE(parse(self));
  // An answer owner that points past the end, and one into a loop.
  const Bytes past = Message("a.test").record(Bytes{0xc0, 0xff}, ns_t_a, Bytes{10, 0, 0, 1}).bytes();
  EXPECT_FALSE(parse(past));
  Bytes loop = Message("a.test").record(Bytes{0xc0, 0}, ns_t_a, Bytes{10, 0, 0, 1}).bytes();
  const std::size_t owner = 12 + name("a.test").size() + 4;
  loop[owner + 1] = static_cast<unsigned char>(owner);  // points at itself
  EXPECT_FALSE(parse(loop));
  // A CNAME target that loops: that link is skipped, the rest is read.
  Bytes target =
      Message("a.test").record(name("a.test"), ns_t_cname, Bytes{0xc0, 0}).a("a.test", "10.0.0.2").bytes();
  const std::size_t rdata = owner + name("a.test").size() + 10;
  target[rdata + 1] = static_cast<unsigned char>(rdata);
  const auto answer = parse(target);
  ASSERT_TRUE(answer);
  EXPECT_EQ(texts(*answer), (std::vector<std::string>{"10.0.0.2"}));
  // CNAMEs in a circle end; the addresses of the circle's names count.
  const auto circle = parse(
      Message("a.test").cname("a.test", "b.test").cname("b.test", "a.test").a("b.test", "10.0.0.3").bytes());
  ASSERT_TRUE(circle);
  EXPECT_EQ(texts(*circle), (std::vector<std::string>{"10.0.0.3"}));
}

TEST(DnsResponseTest, LongChainsThousandsOfRecordsAndTheLongestName) {
  // A chain longer than is followed: the address at its end is not taken.
  Message chain("c0.test");
  for (int i = 0; i < 40; ++i)
    chain.cname("c" + std::to_string(i) + ".test", "c" + std::to_string(i + 1) + ".test");
  chain.a("c40.test", "10.0.0.40").a("c3.test", "10.0.0.3");
  const auto chained = parse(chain.bytes());
  ASSERT_TRUE(chained);
  EXPECT_EQ(texts(*chained), (std::vector<std::string>{"10.0.0.3"}));

  // Four thousand records (compressed owners): as many addresses as the
  // record holds, each once.
  Message many("many.test");
  for (int i = 0; i < 4000; ++i) {
    const Bytes rdata = {10, static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i & 0xff), 1};
    many.record(Bytes{0xc0, 12}, ns_t_a, rdata);
  }
  const auto lots = parse(many.bytes());
  ASSERT_TRUE(lots);
  EXPECT_EQ(lots->addresses.size(), KstLookedUpNames::kSlots);

  const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                              "." + std::string(61, 'd');
  const auto big = parse(Message(longest).a(longest, "10.0.0.1").bytes());
  ASSERT_TRUE(big);
  EXPECT_EQ(big->question, longest);
  // A label longer than 63 bytes is no name.
  EXPECT_FALSE(
      parse(Message(std::string(64, 'x') + ".test").a(std::string(64, 'x') + ".test", "10.0.0.1").bytes()));
}

TEST(DnsResponseTest, RandomBytesAndMutatedResponsesNeverCrash) {
  std::mt19937 random(12345);
  const Bytes good =
      Message("m.test").cname("m.test", "n.test").a("n.test", "10.0.0.1").aaaa("n.test", "::2").bytes();
  int parsed = 0;
  for (int i = 0; i < 20000; ++i) {
    Bytes b = good;
    if (i % 2 == 0) {
      b.resize(random() % 600);
      for (auto& c : b) c = static_cast<unsigned char>(random());
    } else {
      for (int k = 0; k < 3; ++k) b[random() % b.size()] = static_cast<unsigned char>(random());
    }
    if (auto answer = parse(b)) {
      ++parsed;
      EXPECT_FALSE(answer->addresses.empty());
    }
  }
  // Some mutations (a changed TTL, a changed id) still read.
  EXPECT_GT(parsed, 0);
}

}  // namespace
}  // namespace kst
