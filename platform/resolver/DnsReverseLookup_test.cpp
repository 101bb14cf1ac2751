#include "platform/resolver/DnsReverseLookup.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace kst {
namespace {

using Bytes = std::vector<unsigned char>;
// Makes the reply to a query; empty: stay silent.
using Answerer = std::function<std::vector<Bytes>(const Bytes& query)>;

// A UDP DNS server on 127.0.0.1 that answers with `answer` on its own
// thread and counts the queries it got.
class FakeServer {
 public:
  explicit FakeServer(Answerer answer) : answer_(std::move(answer)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::pipe(stop_);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeServer() {
    [[maybe_unused]] ssize_t n = ::write(stop_[1], "x", 1);
    thread_.join();
    ::close(fd_);
    ::close(stop_[0]);
    ::close(stop_[1]);
  }
  ResolvConf::Nameserver nameserver() const {
    ResolvConf::Nameserver ns = ResolvConf::parse("nameserver 127.0.0.1").nameservers().at(0);
    ns.address.sin6_port = htons(port_);
    return ns;
  }
  int queries() const { return queries_; }
  Bytes lastQuery() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_;
  }

 private:
  void serve() {
    for (;;) {
      pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) continue;
      if (p[1].revents != 0) return;
      unsigned char buf[4096];
      sockaddr_storage from{};
      socklen_t fromLen = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (n <= 0) continue;
      ++queries_;
      const Bytes query(buf, buf + n);
      {
        std::lock_guard<std::mutex> lock(mu_);
        last_ = query;
      }
      for (const Bytes& reply : answer_(query))
        ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
    }
  }

  Answerer answer_;
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> queries_{0};
  mutable std::mutex mu_;
  Bytes last_;
  std::thread thread_;
};

// The reply to `query`: its header and question with `rcode`, then the
// given answer records (already in wire form).
Bytes reply(const Bytes& query, int rcode, int answers = 0, const Bytes& records = {}) {
  Bytes r = query;
  r[2] = 0x81;  // QR, RD
  r[3] = static_cast<unsigned char>(0x80 | rcode);
  r[6] = 0;
  r[7] = static_cast<unsigned char>(answers);
  r.insert(r.end(), records.begin(), records.end());
  return r;
}

// A PTR record for the question (a pointer to offset 12) naming `name`.
Bytes ptrRecord(const std::string& name) {
  Bytes rdata;
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    rdata.push_back(static_cast<unsigned char>(dot - start));
    rdata.insert(rdata.end(), name.begin() + start, name.begin() + dot);
    start = dot + 1;
  }
  rdata.push_back(0);
  Bytes r = {0xc0, 12, 0, ns_t_ptr, 0, ns_c_in, 0, 0, 0, 60, 0, static_cast<unsigned char>(rdata.size())};
  for (unsigned char c : rdata) r.push_back(c);
  return r;
}

sockaddr_in v4(const char* text) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

ReverseAnswer lookUp(const std::vector<ResolvConf::Nameserver>& servers, const char* address,
                     std::chrono::milliseconds budget = std::chrono::seconds(10)) {
  const sockaddr_in a = v4(address);
  return dnsReverseLookup(ResolvConf(servers), reinterpret_cast<const sockaddr*>(&a), sizeof a, budget);
}

TEST(DnsReverseLookupTest, QuestionNamesOfBothFamilies) {
  const sockaddr_in a = v4("127.0.0.12");
  EXPECT_EQ(reverseQueryName(reinterpret_cast<const sockaddr*>(&a), sizeof a), "12.0.0.127.in-addr.arpa");
  sockaddr_in6 b{};
  b.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, "2001:db8::567:89ab", &b.sin6_addr);
  EXPECT_EQ(reverseQueryName(reinterpret_cast<const sockaddr*>(&b), sizeof b),
            "b.a.9.8.7.6.5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa");
  ::inet_pton(AF_INET6, "::ffff:10.1.2.3", &b.sin6_addr);
  EXPECT_EQ(reverseQueryName(reinterpret_cast<const sockaddr*>(&b), sizeof b), "3.2.1.10.in-addr.arpa");
  EXPECT_EQ(reverseQueryName(reinterpret_cast<const sockaddr*>(&a), sizeof a - 1), "");
}

TEST(DnsReverseLookupTest, NameNoNameAndTheQuestionSent) {
  FakeServer server([](const Bytes& q) {
    const bool known = q.size() > 14 && q[13] == '9';  // 9.0.0.127.in-addr.arpa
    return std::vector<Bytes>{known ? reply(q, ns_r_noerror, 1, ptrRecord("host.example."))
                                    : reply(q, ns_r_nxdomain)};
  });
  const ReverseAnswer found = lookUp({server.nameserver()}, "127.0.0.9");
  EXPECT_EQ(found.status, ReverseStatus::kName);
  EXPECT_EQ(found.name, "host.example");
  ns_msg msg{};
  const Bytes q = server.lastQuery();
  ASSERT_EQ(ns_initparse(q.data(), static_cast<int>(q.size()), &msg), 0);
  ns_rr rr{};
  ASSERT_EQ(ns_parserr(&msg, ns_s_qd, 0, &rr), 0);
  EXPECT_STREQ(ns_rr_name(rr), "9.0.0.127.in-addr.arpa");
  EXPECT_EQ(ns_rr_type(rr), ns_t_ptr);

  EXPECT_EQ(lookUp({server.nameserver()}, "127.0.0.8").status, ReverseStatus::kNoName);
  EXPECT_EQ(server.queries(), 2);
}

TEST(DnsReverseLookupTest, FailingAndSilentServersHandOnWithinTheBudget) {
  FakeServer failing([](const Bytes& q) { return std::vector<Bytes>{reply(q, ns_r_servfail)}; });
  FakeServer silent([](const Bytes&) { return std::vector<Bytes>{}; });
  FakeServer good(
      [](const Bytes& q) { return std::vector<Bytes>{reply(q, ns_r_noerror, 1, ptrRecord("b.test"))}; });
  const ReverseAnswer a = lookUp({failing.nameserver(), silent.nameserver(), good.nameserver()}, "127.0.0.9",
                                 std::chrono::milliseconds(900));
  EXPECT_EQ(a.status, ReverseStatus::kName);
  EXPECT_EQ(a.name, "b.test");
  EXPECT_EQ(failing.queries(), 1);
  EXPECT_EQ(silent.queries(), 1);
  EXPECT_EQ(good.queries(), 1);

  // Only silence: no answer once the budget is spent, one question only (a
  // hang would fail the test by its time-out).
  EXPECT_EQ(lookUp({silent.nameserver()}, "127.0.0.9", std::chrono::milliseconds(200)).status,
            ReverseStatus::kNoAnswer);
  EXPECT_EQ(silent.queries(), 2);
  // No nameservers: nothing sent, no answer.
  EXPECT_EQ(lookUp({}, "127.0.0.9").status, ReverseStatus::kNoAnswer);
}

TEST(DnsReverseLookupTest, RepliesThatDoNotFitTheQuestionAreIgnored) {
  // A wrong id, a query echoed back (no QR), a loop of compression pointers
  // and a pointer past the end come first; then the real reply.
  FakeServer server([](const Bytes& q) {
    Bytes wrongId = reply(q, ns_r_noerror, 1, ptrRecord("wrong.test"));
    wrongId[0] ^= 0xff;
    Bytes loop = reply(q, ns_r_noerror, 1,
                       Bytes{0xc0, 12, 0, ns_t_ptr, 0, ns_c_in, 0, 0, 0, 60, 0, 2, 0xc0,
                             static_cast<unsigned char>(q.size() + 12)});
    Bytes past =
        reply(q, ns_r_noerror, 1, Bytes{0xc0, 12, 0, ns_t_ptr, 0, ns_c_in, 0, 0, 0, 60, 0, 2, 0xc0, 0xff});
    Bytes cut = reply(q, ns_r_noerror, 1, ptrRecord("cut.test"));
    cut.resize(cut.size() - 3);
    return std::vector<Bytes>{
        wrongId, q, loop, past, cut, Bytes{1, 2, 3}, reply(q, ns_r_noerror, 1, ptrRecord("right.test"))};
  });
  const ReverseAnswer a = lookUp({server.nameserver()}, "127.0.0.9");
  // The pointer loop and the pointer past the end fit the question but name
  // nothing readable: either they give "no name" or the real reply is read.
  EXPECT_NE(a.status, ReverseStatus::kNoAnswer);
  if (a.status == ReverseStatus::kName) {
    EXPECT_EQ(a.name, "right.test");
  }
}

}  // namespace
}  // namespace kst
