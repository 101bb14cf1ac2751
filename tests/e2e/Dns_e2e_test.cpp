// DNS as the firewall sees it: the library's own reverse lookups (asked once
// per address per time-to-live, never about a nameserver, bounded in time),
// DNS to the device's nameservers passing unjudged, and names taken from the
// answers of programs that send and read DNS themselves. Real programs under
// kestrix-launch against a small DNS server of the test's own on a loopback
// address, which the device's resolver configuration names.

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

constexpr const char* kDnsApp = "com.example.dns";
// The nameserver of the device's configuration, and a DNS server it does not name.
constexpr const char* kNameserver = "127.0.0.163";
constexpr const char* kOtherDns = "127.0.0.164";
// Addresses without a name in the hosts files: one with a reverse name in
// DNS, one without.
constexpr const char* kNamedIp = "127.0.0.171";
constexpr const char* kNamedPtr = "seventy-one.test";
constexpr const char* kUnnamedIp = "127.0.0.172";

const std::string kConnRefused = "errno=" + std::to_string(ECONNREFUSED);

class DnsE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "a DNS server on port 53 needs root";
    if (run({"/bin/sh", "-c", "command -v python3"}, "which") != 0)
      GTEST_SKIP() << "python3 is not installed";
    // Junk, a scoped IPv6 server and the test's server: the reader keeps
    // what it can use.
    writeText("/etc/resolv.conf", std::string("# written by the test\n\x01\x02 junk\nsearch test\n") +
                                      "nameserver fe80::1%lo\nnameserver " + kNameserver +
                                      "\noptions timeout:1\n" + std::string(5000, ';') + "\n");
  }
  void TearDown() override {
    dns_.clear();
    E2eTest::TearDown();
  }

  // A TinyDns on `address` logging to dns-ADDRESS.log.
  void startDns(const std::string& address, const std::vector<std::string>& table) {
    const std::string ready = temp_.dir() + "/test/dns-" + address + ".ready";
    std::vector<std::string> argv = {"/usr/bin/env", "python3", KST_E2E_TINY_DNS,
                                     ready,          address,   "--log=" + logPath(address)};
    argv.insert(argv.end(), table.begin(), table.end());
    dns_.push_back(std::make_unique<Process>(argv, env(), temp_.dir() + "/dns.out",
                                             temp_.dir() + "/dns-" + address + ".err"));
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(ready); }))
        << "DNS server on " << address << ": " << text("dns-" + address + ".err");
  }
  std::string logPath(const std::string& address) const { return temp_.dir() + "/dns-" + address + ".log"; }
  // The queries a server received: "TYPE NAME udp|tcp".
  Lines queries(const std::string& address) const { return testing::readLines(logPath(address)); }
  static std::size_t count(const Lines& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
  }

  Lines dnsClient(const std::vector<std::string>& commands, const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> program = {KST_E2E_DNS_CLIENT};
    program.insert(program.end(), commands.begin(), commands.end());
    std::vector<std::string> argv = prefix;
    for (std::string& a : launchArgs(kDnsApp, program)) argv.push_back(std::move(a));
    EXPECT_EQ(run(argv, "dns-client"), 0) << text("dns-client.err");
    return lines("dns-client.out");
  }
  std::string logText() {
    const std::string bytes = testing::readText(temp_.path(files::kLogPath));
    std::string out;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const unsigned unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1])
                                                                       << 8;
      out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out;
  }

  std::vector<std::unique_ptr<Process>> dns_;
};

TEST_F(DnsE2eTest, ReverseLookupsAskOncePerAddressAndNeverAboutTheNameserver) {
  startDns(kNameserver, {"--ptr=" + std::string(kNamedIp) + "=" + kNamedPtr});
  startDns(kOtherDns, {});
  writeApp(kDnsApp, plist::Dictionary{{"deny", ruleEntries({kNamedPtr, kNameserver, kOtherDns})},
                                      {"allow", ruleEntries({kUnnamedIp})}});
  writeGlobal({}, {}, true);
  startSpringBoard();
  Server listener(kUnnamedIp);
  ASSERT_TRUE(listener.ok());
  const std::string port = listener.port();
  // The unnamed address is allowed by its address, the named one refused
  // by its reverse name, three times each.
  std::vector<std::string> commands;
  for (int i = 0; i < 3; ++i) {
    for (const char* ip : {kNamedIp, kUnnamedIp}) {
      commands.insert(commands.end(), {"tcp", ip, port});
    }
  }
  // DNS to the nameserver passes although a rule denies its address; DNS
  // to another server, and the nameserver on another port, are judged.
  commands.insert(commands.end(), {"udp", kNameserver, "53", "tcp", kNameserver, "53", "udp", kNameserver,
                                   "5353", "udp", kOtherDns, "53", "tcp", kOtherDns, "53"});
  EXPECT_EQ(dnsClient(commands),
            (Lines{"tcp errno=1", "tcp ok", "tcp errno=1", "tcp ok", "tcp errno=1", "tcp ok", "udp ok",
                   "tcp ok", "udp errno=1", "udp errno=1", "tcp errno=1"}));

  const Lines asked = queries(kNameserver);
  EXPECT_EQ(count(asked, "PTR 171.0.0.127.in-addr.arpa udp"), 1u) << testing::readText(logPath(kNameserver));
  EXPECT_EQ(count(asked, "PTR 172.0.0.127.in-addr.arpa udp"), 1u) << testing::readText(logPath(kNameserver));
  EXPECT_EQ(count(asked, "PTR 163.0.0.127.in-addr.arpa udp"), 0u) << testing::readText(logPath(kNameserver));
  EXPECT_EQ(count(asked, "PTR 164.0.0.127.in-addr.arpa udp"), 1u) << testing::readText(logPath(kNameserver));
  // Nothing else: the firewall asked only what the decisions needed (the
  // datagram the program sent to port 53 is no question).
  EXPECT_EQ(asked.size(), 3u) << testing::readText(logPath(kNameserver));
  EXPECT_TRUE(queries(kOtherDns).empty());

  // The log: every judged call (the hand-overs arrive in their own time),
  // nothing for DNS to the nameserver.
  ASSERT_TRUE(waitFor([&] {
    const std::string log = logText();
    return log.find("denied to " + std::string(kNamedPtr)) != std::string::npos &&
           log.find("denied to " + std::string(kNameserver) + " via port: 5353") != std::string::npos &&
           log.find("denied to " + std::string(kOtherDns) + " via port: 53") != std::string::npos;
  })) << logText();
  const std::string log = logText();
  const std::string dnsToNameserver = std::string(kNameserver) + " via port: 53";
  for (std::size_t at = log.find(dnsToNameserver); at != std::string::npos;
       at = log.find(dnsToNameserver, at + 1)) {
    const std::size_t after = at + dnsToNameserver.size();
    EXPECT_TRUE(after < log.size() && std::isdigit(static_cast<unsigned char>(log[after]))) << log;
  }
  EXPECT_TRUE(questions().empty());  // and no prompt
}

TEST_F(DnsE2eTest, ANameserverThatNeverAnswersDelaysEachAddressOnceWithinTheBound) {
  const std::string ready = temp_.dir() + "/test/silent.ready";
  dns_.push_back(std::make_unique<Process>(
      std::vector<std::string>{"/usr/bin/env", "python3", KST_E2E_TINY_DNS, ready, kNameserver, "--silent",
                               "--log=" + logPath(kNameserver)},
      env(), temp_.dir() + "/dns.out", temp_.dir() + "/dns-silent.err"));
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(ready); })) << text("dns-silent.err");
  writeApp(kDnsApp, plist::Dictionary{{"deny", ruleEntries({kNamedIp})}});
  Server listener(kUnnamedIp);
  ASSERT_TRUE(listener.ok());
  const std::string port = listener.port();
  EXPECT_EQ(dnsClient({"tcp", kNamedIp, port, "tcp", kUnnamedIp, port, "tcp", kNamedIp, port, "tcp",
                       kUnnamedIp, port}),
            (Lines{"tcp errno=1", "tcp ok", "tcp errno=1", "tcp ok"}));
  // One question per address; the silence is remembered like an answer.
  const Lines asked = queries(kNameserver);
  EXPECT_EQ(count(asked, "PTR 171.0.0.127.in-addr.arpa udp"), 1u);
  EXPECT_EQ(count(asked, "PTR 172.0.0.127.in-addr.arpa udp"), 1u);
  EXPECT_EQ(asked.size(), 2u);
}

}  // namespace
}  // namespace kst::e2e
