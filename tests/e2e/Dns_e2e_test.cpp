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

// Programs with DNS clients of their own: the names they asked their DNS
// server for judge their connections from the first connect on.
class OwnDnsClientE2eTest : public DnsE2eTest {
 protected:
  void SetUp() override {
    DnsE2eTest::SetUp();
    if (IsSkipped()) return;
    startDns(kNameserver, {"good.example=127.0.0.181", "bad.example=127.0.0.182",
                           "sub.cdn-alias.test=@edge.cdn.test", "edge.cdn.test=@node.cdn.test",
                           "node.cdn.test=127.0.0.183", "six.test=::1", "www.shop6.test=@six.test"});
    startDns(kOtherDns, {"other.example=127.0.0.184"});
    // Allowed names, and the CNAME targets, are let through; nothing
    // listens on these addresses, so the kernel refuses them.
    writeApp(kDnsApp,
             plist::Dictionary{
                 {"deny", ruleEntries({"bad.example", "*.cdn-alias.test", "six.test", "other.example"})},
                 {"allow", ruleEntries({"good.example", "edge.cdn.test", "node.cdn.test"})}});
  }
};

TEST_F(OwnDnsClientE2eTest, EveryWayOfReadingTheAnswerOverUdpAndTcp) {
  // One fresh process per way, so that no earlier answer helps.
  for (const char* via : {"recvfrom", "recv", "recvmsg", "recvmmsg", "read", "tcp", "tcpmsg"}) {
    SCOPED_TRACE(via);
    EXPECT_EQ(dnsClient({"resolve", kNameserver, via, "bad.example", "A", "80"}),
              (Lines{"resolve 127.0.0.182 errno=1"}));
    EXPECT_EQ(dnsClient({"resolve", kNameserver, via, "good.example", "A", "80"}),
              (Lines{"resolve 127.0.0.181 " + kConnRefused}));
  }
  // The questions went to the server over both transports, none of them
  // judged (no rule allows the nameserver, and nothing else was asked).
  const Lines asked = queries(kNameserver);
  EXPECT_EQ(count(asked, "A bad.example udp"), 5u);
  EXPECT_EQ(count(asked, "A bad.example tcp"), 2u);
}

TEST_F(OwnDnsClientE2eTest, CnameChainsPatternsAaaaAndOtherServers) {
  // Judged by the name asked for, not by the allowed CNAME targets.
  EXPECT_EQ(dnsClient({"resolve", kNameserver, "recvfrom", "sub.cdn-alias.test", "A", "80"}),
            (Lines{"resolve 127.0.0.183 errno=1"}));
  EXPECT_EQ(dnsClient({"resolve", kNameserver, "tcp", "sub.cdn-alias.test", "A", "80"}),
            (Lines{"resolve 127.0.0.183 errno=1"}));
  EXPECT_EQ(dnsClient({"resolve", kNameserver, "recv", "six.test", "AAAA", "80"}),
            (Lines{"resolve ::1 errno=1"}));
  // "www." goes as everywhere: www.shop6.test is judged as shop6.test,
  // which no rule names.
  EXPECT_EQ(dnsClient({"resolve", kNameserver, "recv", "www.shop6.test", "AAAA", "80"}),
            (Lines{"resolve ::1 " + kConnRefused}));
  // A server the configuration does not name: the question is judged (no
  // rule decides it, so it passes unasked here), and the answer is read.
  EXPECT_EQ(dnsClient({"resolve", kOtherDns, "recvfrom", "other.example", "A", "80"}),
            (Lines{"resolve 127.0.0.184 errno=1"}));
  // Without the answer, the address is only an address.
  EXPECT_EQ(dnsClient({"tcp", "127.0.0.183", "80", "tcp", "127.0.0.184", "80"}),
            (Lines{"tcp " + kConnRefused, "tcp " + kConnRefused}));
}

TEST_F(OwnDnsClientE2eTest, NodesOwnResolver) {
  if (run({"/bin/sh", "-c", "command -v node"}, "which") != 0) GTEST_SKIP() << "node is not installed";
  // dns.promises.Resolver (c-ares) asks the test's server itself, then
  // connects to the first address.
  const std::string script =
      "const dns = require('dns'); const net = require('net');\n"
      "const r = new dns.promises.Resolver(); r.setServers(['" +
      std::string(kNameserver) +
      "']);\n"
      "(async () => { for (const [name, six] of process.argv.slice(1).map(a => a.split('/'))) {\n"
      "  const addrs = six ? await r.resolve6(name) : await r.resolve4(name);\n"
      "  const line = await new Promise(done => { const s = net.connect(80, addrs[0]);\n"
      "    s.on('connect', () => { s.destroy(); done('ok'); });\n"
      "    s.on('error', e => done(e.code)); });\n"
      "  console.log(name + ' ' + addrs[0] + ' ' + line); } })();\n";
  const int status = launch(kDnsApp,
                            {"/usr/bin/env", "node", "-e", script, "bad.example", "good.example",
                             "sub.cdn-alias.test", "six.test/6"},
                            "node");
  EXPECT_EQ(status, 0) << text("node.err");
  EXPECT_EQ(lines("node.out"),
            (Lines{"bad.example 127.0.0.182 EPERM", "good.example 127.0.0.181 ECONNREFUSED",
                   "sub.cdn-alias.test 127.0.0.183 EPERM", "six.test ::1 EPERM"}))
      << text("node.err");
}

}  // namespace
}  // namespace kst::e2e
