// Programs that resolve names themselves, over their own sockets (Go built
// either way, a statically linked C library), judged by the name they asked
// for: the supervisor relays their DNS through its forwarder and reads the
// answers. Their resolvers read the system's /etc/resolv.conf, so each runs
// in a mount namespace of the test where that file names the test's server.

#include <filesystem>
#include <map>

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

constexpr const char* kHostsOnlyIp = "127.0.0.194";  // named only by the system's hosts file

// The test's DNS server: one address per test, as ctest runs them side by
// side and each needs port 53 (no other test serves DNS on these, nor on
// 127.0.0.199, the other server of one test).
std::string nameserverFor(const std::string& test) {
  static const std::map<std::string, std::string> kAddresses = {
      {"GoProgramsAreJudgedByTheNamesTheirOwnResolverAskedFor", "127.0.0.193"},
      {"StaticCProgramIsJudgedByTheNamesItsResolverAskedFor", "127.0.0.195"},
      {"NamesTheProgramReadsFromTheHostsFileItselfJudgeTheirAddress", "127.0.0.196"},
      {"VerboseGoProgramShowsTheNamesItAskedFor", "127.0.0.197"},
      {"DnsToAServerTheDeviceDoesNotNameIsJudgedFirst", "127.0.0.198"}};
  auto it = kAddresses.find(test);
  return it == kAddresses.end() ? "127.0.0.192" : it->second;
}

class SupervisedDnsE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "a DNS server on port 53 and a mount namespace need root";
    if (run({"/bin/sh", "-c", "command -v python3 && unshare -m true"}, "can") != 0)
      GTEST_SKIP() << "no python3, or no mount namespace here";
    ASSERT_TRUE(tracker_.ok());
    ASSERT_TRUE(shop_.ok());
    ASSERT_TRUE(hostsOnly_.ok());
    nameserver_ = nameserverFor(::testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::string nameserver = "nameserver " + nameserver_ + "\noptions timeout:2 attempts:2\n";
    writeText("/etc/resolv.conf", nameserver);  // the device's: DNS to it is not judged
    resolvConf_ = temp_.dir() + "/test/resolv.conf";
    ASSERT_TRUE(FileSystem::real().writeFileAtomic(resolvConf_, nameserver, false));
    // The system's hosts file as the program and the supervisor see it.
    hosts_ = temp_.dir() + "/test/hosts";
    ASSERT_TRUE(FileSystem::real().writeFileAtomic(
        hosts_, std::string("127.0.0.1 localhost\n") + kHostsOnlyIp + " hostsonly.test\n", false));

    dns_ = startDns(nameserver_, dnsLog());
    if (HasFatalFailure()) return;

    // Let through only what a global allow rule names; the CNAME's target is
    // denied, so its asked name must be what decides.
    writeGlobal({"tracker.dns.test", "edge.cdn.test"},
                {"shop.dns.test", "*.pattern.test", "cdn-alias.dns.test", "big.dns.test"});
    writeApp(kApp, plist::Dictionary{{std::string(files::kAllowEverythingKey),
                                      plist::Value(std::string(files::kDenyEverything))}});
  }
  void TearDown() override {
    dns_.reset();
    E2eTest::TearDown();
  }

  std::string dnsLog() const { return temp_.dir() + "/dns.log"; }

  // The test's DNS server on `address`, which knows every name the tests ask.
  std::unique_ptr<Process> startDns(const std::string& address, const std::string& log) {
    const std::string ready = temp_.dir() + "/test/dns-" + address + ".ready";
    const std::string shop = kShopIp;
    auto dns = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/env", "python3", KST_E2E_TINY_DNS, ready, address, "--log=" + log,
                                 "--truncate=big.dns.test", std::string("tracker.dns.test=") + kTrackerIp,
                                 "shop.dns.test=" + shop, "img.pattern.test=" + shop,
                                 "cdn-alias.dns.test=@edge.cdn.test", "edge.cdn.test=" + shop,
                                 "big.dns.test=" + shop, "other.dns.test=" + shop},
        env(), temp_.dir() + "/dns.out", temp_.dir() + "/dns-" + address + ".err");
    EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(ready); })) << text("dns-" + address + ".err");
    return dns;
  }

  // `program` under kestrix-launch, with /etc/resolv.conf naming the test's
  // server; its lines.
  Lines launchedWithTestDns(const std::vector<std::string>& program,
                            const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {
        "/usr/bin/unshare",
        "-m",
        "/bin/sh",
        "-c",
        "mount --bind \"$0\" /etc/resolv.conf && mount --bind \"$1\" /etc/hosts && "
        "shift && exec \"$@\"",
        resolvConf_,
        hosts_,
        KST_LAUNCH,
        kApp,
        "--root",
        temp_.dir()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--");
    argv.insert(argv.end(), program.begin(), program.end());
    EXPECT_EQ(run(argv, "prog"), 0) << text("prog.err");
    return lines("prog.out");
  }

  Server tracker_{kTrackerIp};
  Server shop_{kShopIp};
  Server hostsOnly_{kHostsOnlyIp};
  std::string nameserver_;
  std::string resolvConf_;
  std::string hosts_;
  std::unique_ptr<Process> dns_;
};

// What every program below must get: the tracker and a name no rule allows
// refused, every allowed name (a pattern, a CNAME whose target is denied, an
// answer that only TCP carries whole) let through.
Lines expected(const std::string& what) {
  return {what + kRefused, what + kOk, what + kOk, what + kOk, what + kOk, what + kRefused};
}

TEST_F(SupervisedDnsE2eTest, GoProgramsAreJudgedByTheNamesTheirOwnResolverAskedFor) {
  if (std::string(KST_E2E_GO_CGO).empty()) GTEST_SKIP() << "no Go toolchain";
  const std::string t = ":" + tracker_.port(), s = ":" + shop_.port();
  for (const char* program : {KST_E2E_GO_CGO, KST_E2E_GO_STATIC}) {
    EXPECT_EQ(launchedWithTestDns({program, "tcp", "tracker.dns.test" + t, "tcp", "shop.dns.test" + s, "tcp",
                                   "img.pattern.test" + s, "tcp", "cdn-alias.dns.test" + s, "tcp",
                                   "big.dns.test" + s, "tcp", "other.dns.test" + s}),
              expected("tcp"))
        << program << "\n"
        << text("prog.err");
  }
  const Lines queries = testing::readLines(dnsLog());
  EXPECT_NE(std::find(queries.begin(), queries.end(), "A big.dns.test tcp"), queries.end())
      << "the truncated answer was asked again over TCP, through the forwarder";
}

TEST_F(SupervisedDnsE2eTest, StaticCProgramIsJudgedByTheNamesItsResolverAskedFor) {
  const std::string t = tracker_.port(), s = shop_.port();
  EXPECT_EQ(
      launchedWithTestDns({KST_E2E_RAW_CLIENT_STATIC, "name", "tracker.dns.test", t, "name", "shop.dns.test",
                           s, "name", "img.pattern.test", s, "name", "cdn-alias.dns.test", s, "name",
                           "big.dns.test", s, "name", "other.dns.test", s}),
      expected("name"))
      << text("prog.err");
}

TEST_F(SupervisedDnsE2eTest, NamesTheProgramReadsFromTheHostsFileItselfJudgeTheirAddress) {
  const std::string port = hostsOnly_.port();
  const std::vector<std::string> go = {"tcp", std::string("hostsonly.test:") + port};
  const std::vector<std::string> c = {"name", "hostsonly.test", port};
  auto with = [](const char* program, std::vector<std::string> commands) {
    commands.insert(commands.begin(), program);
    return commands;
  };
  // Everything but the allowed names is denied (see SetUp): allowed by name.
  writeGlobal({}, {"hostsonly.test"});
  EXPECT_EQ(launchedWithTestDns(with(KST_E2E_RAW_CLIENT_STATIC, c)), (Lines{"name" + kOk}))
      << text("prog.err");
  if (!std::string(KST_E2E_GO_STATIC).empty()) {
    EXPECT_EQ(launchedWithTestDns(with(KST_E2E_GO_STATIC, go)), (Lines{"tcp" + kOk})) << text("prog.err");
  }
  // And refused by name, with its address allowed.
  writeGlobal({"hostsonly.test"}, {kHostsOnlyIp});
  EXPECT_EQ(launchedWithTestDns(with(KST_E2E_RAW_CLIENT_STATIC, c)), (Lines{"name" + kRefused}));
  if (!std::string(KST_E2E_GO_STATIC).empty()) {
    EXPECT_EQ(launchedWithTestDns(with(KST_E2E_GO_STATIC, go)), (Lines{"tcp" + kRefused}));
  }
  EXPECT_TRUE(testing::readLines(dnsLog()).empty()) << "the hosts file answered; nothing was asked";
}

TEST_F(SupervisedDnsE2eTest, DnsToAServerTheDeviceDoesNotNameIsJudgedFirst) {
  // The program's resolver asks another server than the device's.
  const std::string other = "127.0.0.199";
  const std::unique_ptr<Process> otherDns = startDns(other, temp_.dir() + "/other-dns.log");
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(resolvConf_, "nameserver " + other + "\noptions timeout:1\n",
                                                 false));
  const std::vector<std::string> program = {KST_E2E_RAW_CLIENT_STATIC, "name", "shop.dns.test", shop_.port()};
  // No rule names that server: refused (the application denies the rest),
  // so the name is never found.
  const Lines refused = launchedWithTestDns(program);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].rfind("name unresolved", 0), 0u) << refused[0];
  EXPECT_TRUE(testing::readLines(temp_.dir() + "/other-dns.log").empty()) << "the refused question went out";
  // Allowed by its address: relayed through the forwarder, and the name it
  // gives judges the connect.
  writeGlobal({}, {other, "shop.dns.test"});
  EXPECT_EQ(launchedWithTestDns(program), (Lines{"name" + kOk})) << text("prog.err");
  EXPECT_FALSE(testing::readLines(temp_.dir() + "/other-dns.log").empty());
}

TEST_F(SupervisedDnsE2eTest, VerboseGoProgramShowsTheNamesItAskedFor) {
  if (std::string(KST_E2E_GO_STATIC).empty()) GTEST_SKIP() << "no Go toolchain";
  const std::string s = ":" + shop_.port();
  EXPECT_EQ(
      launchedWithTestDns({KST_E2E_GO_STATIC, "tcp", "shop.dns.test" + s, "tcp", "cdn-alias.dns.test" + s},
                          {"--verbose"}),
      (Lines{"tcp" + kOk, "tcp" + kOk}));
  const std::string err = text("prog.err");
  EXPECT_NE(err.find("-> shop.dns.test" + s), std::string::npos) << err;
  EXPECT_NE(err.find("-> cdn-alias.dns.test" + s), std::string::npos) << err;
  EXPECT_EQ(err.find("edge.cdn.test"), std::string::npos) << "judged by the CNAME's target:\n" << err;
}

}  // namespace
}  // namespace kst::e2e
