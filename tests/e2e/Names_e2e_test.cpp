// Which name a connection is judged by: the name the program itself looked
// up for the address, from its first connect on, whatever SpringBoard's map
// knows or resolves. Real programs under kestrix-launch, names from the
// device's hosts file and from small DNS servers of the test's own on
// loopback (each process given its own resolver configuration in a mount
// namespace of its own).

#include <netdb.h>
#include <sys/stat.h>

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

// The case: one line, the reverse lookup gives the first name.
constexpr const char* kAdsIp = "127.0.0.12";
constexpr const char* kAdsName = "ads.test";
constexpr const char* kAdsReverse = "first.test";
// Two names on one address.
constexpr const char* kSharedIp = "127.0.0.13";
constexpr const char* kSharedOne = "one.example";
constexpr const char* kSharedTwo = "two.example";
// An IPv4-only name, and one with an IPv6 line (::1) and an IPv4 line.
constexpr const char* kMappedIp = "127.0.0.14";
constexpr const char* kMappedName = "mapped.test";
constexpr const char* kDualName = "dual.test";
constexpr const char* kDualIp = "127.0.0.15";

constexpr const char* kNamesApp = "com.example.names";
constexpr const char* kOtherApp = "com.example.other";

// AI_ numbers as the client takes them.
const std::string kNumericHost = std::to_string(AI_NUMERICHOST);
const std::string kV4Mapped = std::to_string(AI_V4MAPPED);
const std::string kV4MappedAll = std::to_string(AI_V4MAPPED | AI_ALL);
const std::string kCanonName = std::to_string(AI_CANONNAME);
const std::string kAddrConfig = std::to_string(AI_ADDRCONFIG);

// A script that fetches a URL with urllib or requests and prints "ok" or the
// errno that failed the connection (None when it failed otherwise).
constexpr const char* kFetchScript =
    "import sys\n"
    "def errno_of(e):\n"
    "  seen, stack = set(), [e]\n"
    "  while stack:\n"
    "    x = stack.pop()\n"
    "    if x is None or id(x) in seen: continue\n"
    "    seen.add(id(x))\n"
    "    if isinstance(x, OSError) and x.errno: return x.errno\n"
    "    stack += [getattr(x, 'reason', None), x.__cause__, x.__context__]\n"
    "    stack += [a for a in getattr(x, 'args', ()) if isinstance(a, BaseException)]\n"
    "  return None\n"
    "try:\n"
    "  if sys.argv[1] == 'urllib':\n"
    "    import urllib.request\n"
    "    urllib.request.urlopen(sys.argv[2], timeout=3).read()\n"
    "  else:\n"
    "    import requests\n"
    "    requests.get(sys.argv[2], timeout=3)\n"
    "  print('ok')\n"
    "except ImportError:\n"
    "  print('missing')\n"
    "except Exception as e:\n"
    "  print('errno=%s' % errno_of(e))\n";

class NamesE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped()) return;
    writeText("/etc/hosts", hostsFileText() + kAdsIp + " " + kAdsReverse + " " + kAdsName + "\n" + kSharedIp +
                                " " + kSharedOne + "\n" + kSharedIp + " " + kSharedTwo + "\n" + kMappedIp +
                                " " + kMappedName + "\n::1 " + kDualName + "\n" + kDualIp + " " + kDualName +
                                "\n");
    ASSERT_TRUE(ads_.ok());
    ASSERT_TRUE(shared_.ok());
  }

  // The names client as `bundle`, with `prefix` before kestrix-launch (a
  // mount namespace); its lines.
  Lines names(const std::string& bundle, const std::vector<std::string>& commands,
              const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> program = {KST_E2E_NAMES_CLIENT};
    program.insert(program.end(), commands.begin(), commands.end());
    std::vector<std::string> argv = prefix;
    for (std::string& a : launchArgs(bundle, program)) argv.push_back(std::move(a));
    const int status = run(argv, "names");
    EXPECT_EQ(status, 0) << text("names.err");
    return lines("names.out");
  }
  // The log file as UTF-8 (it is UTF-16 with a byte-order mark; the lines
  // tested are ASCII).
  std::string logText() {
    const std::string bytes = testing::readText(temp_.path(files::kLogPath));
    std::string out;
    if (bytes.size() < 2) return out;
    const bool little = static_cast<unsigned char>(bytes[0]) == 0xFF;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const unsigned lo = static_cast<unsigned char>(bytes[i]), hi = static_cast<unsigned char>(bytes[i + 1]);
      const unsigned unit = little ? (hi << 8 | lo) : (lo << 8 | hi);
      out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out;
  }
  static std::size_t count(const std::string& haystack, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
      ++n;
    return n;
  }
  bool hasPython() { return run({"/bin/sh", "-c", "command -v python3"}, "which") == 0; }
  bool hasCurl() { return run({"/bin/sh", "-c", "command -v curl"}, "which") == 0; }
  // kFetchScript's line for `url`, run as `bundle` with `prefix`.
  std::string fetch(const std::string& how, const std::string& url,
                    const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    for (std::string& a : launchArgs(kNamesApp, {"/usr/bin/env", "python3", "-c", kFetchScript, how, url}))
      argv.push_back(std::move(a));
    EXPECT_EQ(run(argv, "fetch"), 0) << text("fetch.err");
    const Lines out = lines("fetch.out");
    return out.empty() ? std::string() : out.back();
  }

  Server ads_{kAdsIp};
  Server shared_{kSharedIp};
};

TEST_F(NamesE2eTest, FirstConnectAfterALookupIsJudgedByTheNameLookedUp) {
  writeApp(kNamesApp,
           plist::Dictionary{{"deny", ruleEntries({kAdsName})}, {"allow", ruleEntries({kAdsReverse})}});
  const std::string port = ads_.port();
  // A fresh device, SpringBoard's map knows nothing yet; each program's very
  // first connect counts. Both library builds: the iOS 7/8 one keeps its map
  // in the process, but resolves on a worker thread all the same.
  startSpringBoard();
  for (const char* version : {"9.3", "8.4"}) {
    SCOPED_TRACE(version);
    setProductVersion(version);
    EXPECT_EQ(names(kNamesApp, {"gai", kAdsName, port, "4", "0"}), (Lines{"gai 127.0.0.12 errno=1"}));
    EXPECT_EQ(names(kNamesApp, {"hostr", kAdsName, port}), (Lines{"hostr first.test 127.0.0.12 errno=1"}));
    EXPECT_EQ(names(kNamesApp, {"hostr2", kAdsName, port, "4"}),
              (Lines{"hostr2 first.test 127.0.0.12 errno=1"}));
    // Looked up by its reverse name, the same address is allowed.
    EXPECT_EQ(names(kNamesApp, {"gai", kAdsReverse, port, "4", "0"}), (Lines{"gai 127.0.0.12 ok"}));
  }
  springBoard_.reset();
  // Without SpringBoard at all.
  EXPECT_EQ(names(kNamesApp, {"gai", kAdsName, port, "4", "0"}), (Lines{"gai 127.0.0.12 errno=1"}));
}

TEST_F(NamesE2eTest, FiftyFreshProcessesInARowNoneEscapes) {
  writeGlobal({kAdsName}, {kAdsReverse});
  startSpringBoard();
  int refused = 0;
  for (int i = 0; i < 50; ++i) {
    const Lines out = names(kNamesApp, {"gai", kAdsName, ads_.port(), "0", "0"});
    if (out == Lines{"gai 127.0.0.12 errno=1"})
      ++refused;
    else
      ADD_FAILURE() << "run " << i << ": " << (out.empty() ? "nothing" : out[0]);
  }
  EXPECT_EQ(refused, 50);
}

TEST_F(NamesE2eTest, TwoNamesOnOneAddressEachProgramJudgedAndLoggedByItsOwn) {
  writeGlobal({kSharedOne}, {kSharedTwo}, true);
  startSpringBoard();
  const std::string port = shared_.port();
  // In turns, so that SpringBoard's map has each name as its newest by turns.
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(names(kNamesApp, {"gai", kSharedOne, port, "4", "0"}), (Lines{"gai 127.0.0.13 errno=1"}))
        << round;
    EXPECT_EQ(names(kOtherApp, {"gai", kSharedTwo, port, "4", "0"}), (Lines{"gai 127.0.0.13 ok"})) << round;
  }
  const std::string denied = "connection denied to " + std::string(kSharedOne) + " via port: " + port;
  const std::string allowed = "connection allowed to " + std::string(kSharedTwo) + " via port: " + port;
  ASSERT_TRUE(waitFor([&] {
    const std::string log = logText();
    return count(log, denied) == 3 && count(log, allowed) == 3;
  })) << logText();
  const std::string log = logText();
  EXPECT_EQ(log.find("connection allowed to " + std::string(kSharedOne)), std::string::npos) << log;
  EXPECT_EQ(log.find("connection denied to " + std::string(kSharedTwo)), std::string::npos) << log;
}

TEST_F(NamesE2eTest, GetaddrinfoFlagsActAsInTheCLibraryForHostsFileNames) {
  writeApp(kNamesApp, plist::Dictionary{{"deny", ruleEntries({kAdsName, kDualName})}});
  const std::string port = ads_.port();
  // AI_NUMERICHOST: a name is refused, as the C library refuses it.
  EXPECT_EQ(names(kNamesApp, {"gai", kAdsName, port, "0", kNumericHost}),
            (Lines{"gai error=" + std::to_string(EAI_NONAME)}));
  // AI_V4MAPPED: an IPv4-only name maps for AF_INET6, and the mapped address
  // is judged by the name looked up.
  EXPECT_EQ(names(kNamesApp, {"gai", kMappedName, port, "6", kV4Mapped}),
            (Lines{"gai ::ffff:127.0.0.14 errno=" + std::to_string(ECONNREFUSED)}));
  EXPECT_EQ(names(kNamesApp, {"gai", kMappedName, port, "6", "0"}).at(0).substr(0, 10), "gai error=");
  EXPECT_EQ(names(kNamesApp, {"gai", kAdsName, port, "6", kV4Mapped}),
            (Lines{"gai ::ffff:127.0.0.12 errno=1"}));
  // AI_ALL with AI_V4MAPPED: the IPv6 addresses, then the IPv4 ones mapped;
  // ::1 is judged by the name too.
  EXPECT_EQ(names(kNamesApp, {"gai", kDualName, port, "6", kV4MappedAll}),
            (Lines{"gai ::1 ::ffff:127.0.0.15 errno=1"}));
  EXPECT_EQ(names(kNamesApp, {"gai", kDualName, port, "6", kV4Mapped}), (Lines{"gai ::1 errno=1"}));
  // AI_CANONNAME: the line's first name; the connection is still judged by
  // the name asked for.
  EXPECT_EQ(names(kNamesApp, {"gai", kAdsName, port, "4", kCanonName}),
            (Lines{"gai canon=first.test 127.0.0.12 errno=1"}));
  // AI_ADDRCONFIG: whatever the C library does with this machine's
  // addresses for the numeric address, it does for the name.
  const Lines numeric = names(kNamesApp, {"gai", kAdsIp, port, "0", kAddrConfig});
  ASSERT_EQ(numeric.size(), 1u);
  const Lines named = names(kNamesApp, {"gai", kAdsName, port, "0", kAddrConfig});
  if (numeric[0].starts_with("gai error=")) {
    EXPECT_EQ(named, (Lines{"gai error=" + std::to_string(EAI_NONAME)}));
  } else {
    EXPECT_EQ(named, (Lines{"gai 127.0.0.12 errno=1"}));
  }
}

TEST_F(NamesE2eTest, ReentrantAndReverseLookupsReadTheHostsFileAndFeedTheMap) {
  // 127.0.0.11 reverses to first.example; the program asks for second.example.
  writeApp(kNamesApp, plist::Dictionary{{"deny", ruleEntries({kAliasLookupName})},
                                        {"allow", ruleEntries({kAliasReverseName})}});
  writeApp(kOtherApp, plist::Dictionary{{"deny", ruleEntries({kAliasLookupName})},
                                        {"allow", ruleEntries({kAliasReverseName})}});
  Server alias(kAliasIp);
  ASSERT_TRUE(alias.ok());
  EXPECT_EQ(names(kNamesApp, {"nameinfo", kAliasIp}), (Lines{"nameinfo first.example"}));
  // Before any lookup, the address goes by its reverse name.
  EXPECT_EQ(names(kOtherApp, {"tcp", kAliasIp, alias.port()}), (Lines{"tcp ok"}));
  startSpringBoard();
  EXPECT_EQ(names(kNamesApp, {"hostr2", kAliasLookupName, alias.port(), "4"}),
            (Lines{"hostr2 second.example 127.0.0.11 errno=1"}));
  // SpringBoard's map learns the name the reentrant lookup handed it, so a
  // program that never looked it up is judged by it too.
  EXPECT_TRUE(waitFor([&] {
    return names(kOtherApp, {"tcp", kAliasIp, alias.port()}) == Lines{"tcp errno=1"};
  }));
}

TEST_F(NamesE2eTest, HttpClientsAreJudgedByTheNameInTheirUrlFromTheFirstRequest) {
  writeApp(kNamesApp, plist::Dictionary{{"deny", ruleEntries({kAdsName, "resolved-only.test"})},
                                        {"allow", ruleEntries({kAdsReverse})}});
  startSpringBoard();
  const std::string url = "http://" + std::string(kAdsName) + ":" + ads_.port() + "/";
  if (hasCurl()) {
    // curl's exit status 7: could not connect.
    EXPECT_EQ(launch(kNamesApp, {"/usr/bin/env", "curl", "-s", "-m", "3", url}, "curl"), 7)
        << text("curl.err");
    // A name curl is told the address of, and never looks up.
    const std::string resolved = "resolved-only.test:" + ads_.port() + ":" + kAdsIp;
    EXPECT_EQ(launch(kNamesApp,
                     {"/usr/bin/env", "curl", "-s", "-m", "3", "--resolve", resolved,
                      "http://resolved-only.test:" + ads_.port() + "/"},
                     "curl"),
              7)
        << text("curl.err");
  }
  if (!hasPython()) GTEST_SKIP() << "python3 is not installed";
  EXPECT_EQ(fetch("urllib", url), "errno=1");
  const std::string viaRequests = fetch("requests", url);
  if (viaRequests == "missing") GTEST_SKIP() << "python3's requests is not installed";
  EXPECT_EQ(viaRequests, "errno=1");
}

TEST_F(NamesE2eTest, HundredsOfAddressesLongAndBadNamesKeepJudgingByName) {
  // 300 addresses for one name, the first the one the program connects to.
  std::string hosts = testing::readText(temp_.path("/etc/hosts"));
  for (int i = 0; i < 300; ++i)
    hosts += std::string(i < 250 ? "127.0.1." : "127.0.2.") + std::to_string(i % 250 + 1) + " many.test\n";
  // The longest name DNS carries, and a name that is not UTF-8 on an
  // address whose reverse name is denied.
  const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                              "." + std::string(61, 'd');
  ASSERT_EQ(longest.size(), 253u);
  hosts += "127.0.0.16 longest.reverse.test " + longest + "\n";
  hosts += "127.0.0.17 bad-reverse.test caf\xe9.test\n";
  writeText("/etc/hosts", hosts);
  writeApp(kNamesApp, plist::Dictionary{{"deny", ruleEntries({"many.test", longest, "bad-reverse.test"})}});
  const std::string port = ads_.port();
  const Lines many = names(kNamesApp, {"gai", "many.test", port, "4", "0"});
  ASSERT_EQ(many.size(), 1u);
  EXPECT_TRUE(many[0].starts_with("gai 127.0.1.1 127.0.1.2 ")) << many[0];
  EXPECT_TRUE(many[0].ends_with(" 127.0.2.50 errno=1")) << many[0];
  EXPECT_EQ(names(kNamesApp, {"gai", longest, port, "4", "0"}), (Lines{"gai 127.0.0.16 errno=1"}));
  // The odd name is looked up as asked, but judged by the reverse name.
  EXPECT_EQ(names(kNamesApp, {"gai", "caf\xe9.test", port, "4", "0"}), (Lines{"gai 127.0.0.17 errno=1"}));
}

// Names from DNS servers on loopback: the program and SpringBoard each get
// their own resolver configuration, and the two servers answer differently,
// as two resolvers of the real world may.
class DnsNamesE2eTest : public NamesE2eTest {
 protected:
  static constexpr const char* kProgramDns = "127.0.0.153";
  static constexpr const char* kShellDns = "127.0.0.154";

  void SetUp() override {
    NamesE2eTest::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "a DNS server on port 53 and a mount namespace need root";
    if (!hasPython()) GTEST_SKIP() << "python3 is not installed";
    const std::string dir = temp_.dir() + "/test/";
    std::ofstream(dir + "program.resolv")
        << "nameserver " << kProgramDns << "\noptions timeout:2 attempts:2\n";
    std::ofstream(dir + "shell.resolv") << "nameserver " << kShellDns << "\noptions timeout:2 attempts:2\n";
    if (run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount --bind \"$0\" /etc/resolv.conf",
             dir + "program.resolv"},
            "unshare") != 0)
      GTEST_SKIP() << "no mount namespace here: " << text("unshare.err");
    programDns_ = startDns(kProgramDns, {"dns-ads.test=127.0.0.21", "rotate.test=127.0.0.22,127.0.0.23",
                                         "www.dns-shop.test=127.0.0.24", "ok.dns.test=127.0.0.25"});
    shellDns_ = startDns(kShellDns, {"dns-ads.test=127.0.0.31", "rotate.test=127.0.0.32"});
  }
  void TearDown() override {
    programDns_.reset();
    shellDns_.reset();
    NamesE2eTest::TearDown();
  }

  std::unique_ptr<Process> startDns(const std::string& address, const std::vector<std::string>& table) {
    const std::string ready = temp_.dir() + "/test/dns-" + address + ".ready";
    std::vector<std::string> argv = {"/usr/bin/env", "python3", KST_E2E_TINY_DNS, ready, address};
    argv.insert(argv.end(), table.begin(), table.end());
    auto p = std::make_unique<Process>(argv, env(), temp_.dir() + "/dns.out",
                                       temp_.dir() + "/dns-" + address + ".err");
    EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(ready); }))
        << "DNS server on " << address << ": " << text("dns-" + address + ".err");
    return p;
  }
  // Runs the rest of the command line with `resolv` over /etc/resolv.conf,
  // in a mount namespace of its own.
  std::vector<std::string> withResolver(const std::string& resolv) const {
    return {"/usr/bin/unshare",
            "-m",
            "/bin/sh",
            "-c",
            "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
            temp_.dir() + "/test/" + resolv};
  }
  void startShell() {
    std::vector<std::string> argv = withResolver("shell.resolv");
    for (std::string& a : launchArgs("com.apple.springboard", {KST_E2E_SPRINGBOARD}))
      argv.push_back(std::move(a));
    springBoard_ = std::make_unique<Process>(argv, env(), temp_.dir() + "/springboard.out",
                                             temp_.dir() + "/springboard.err");
    const std::string runDir = temp_.path("/var/run/kestrix/");
    ASSERT_TRUE(waitFor([&] {
      return std::filesystem::exists(temp_.dir() + "/test/springboard.ready") &&
             std::filesystem::exists(runDir + "com.Dovrane.Radazira.HostStuff");
    })) << text("springboard.err");
  }
  Lines program(const std::vector<std::string>& commands) {
    return names(kNamesApp, commands, withResolver("program.resolv"));
  }

  std::unique_ptr<Process> programDns_;
  std::unique_ptr<Process> shellDns_;
};

TEST_F(DnsNamesE2eTest, FirstConnectToADnsNameIsJudgedByIt) {
  writeGlobal({"dns-ads.test", "rotate.test", "dns-shop.test"}, {"ok.dns.test"}, true);
  startShell();
  const std::string port = ads_.port();
  // Nothing listens on these addresses: a connection let through is refused
  // by the kernel (ECONNREFUSED), one the firewall refuses fails with EPERM.
  const std::string passed = "errno=" + std::to_string(ECONNREFUSED);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(program({"gai", "dns-ads.test", port, "4", "0"}), (Lines{"gai 127.0.0.21 errno=1"})) << i;
  }
  // Answers that change between lookups, in one process and across processes.
  EXPECT_EQ(program({"gai", "rotate.test", port, "4", "0", "gai", "rotate.test", port, "4", "0"}),
            (Lines{"gai 127.0.0.22 errno=1", "gai 127.0.0.23 errno=1"}));
  EXPECT_EQ(program({"gai", "rotate.test", port, "4", "0"}), (Lines{"gai 127.0.0.22 errno=1"}));
  // "www." goes as everywhere: www.dns-shop.test is judged as dns-shop.test.
  EXPECT_EQ(program({"gai", "www.dns-shop.test", port, "4", "0"}), (Lines{"gai 127.0.0.24 errno=1"}));
  // An allowed name passes, and the kernel refuses it.
  EXPECT_EQ(program({"gai", "ok.dns.test", port, "4", "0"}), (Lines{"gai 127.0.0.25 " + passed}));
  ASSERT_TRUE(waitFor([&] {
    return logText().find("connection denied to rotate.test") != std::string::npos;
  })) << logText();
  EXPECT_EQ(logText().find("connection allowed to 127.0.0.2"), std::string::npos) << logText();

  EXPECT_EQ(fetch("urllib", "http://dns-ads.test:" + port + "/", withResolver("program.resolv")), "errno=1");
  if (hasCurl()) {
    std::vector<std::string> argv = withResolver("program.resolv");
    for (std::string& a :
         launchArgs(kNamesApp, {"/usr/bin/env", "curl", "-s", "-m", "3", "http://rotate.test:" + port + "/"}))
      argv.push_back(std::move(a));
    EXPECT_EQ(run(argv, "curl"), 7) << text("curl.err");
  }
}

}  // namespace
}  // namespace kst::e2e
