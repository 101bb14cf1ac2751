// Real clients under the firewall, started as a person starts them: a page
// on site.test embeds a script from tracker.test, both served on loopback
// addresses named in the device's hosts file. The application may reach the
// site and is denied the tracker; logging is on and SpringBoard runs. Each
// program loads the page (or fetches both), the tracker is refused, both
// decisions are logged by name and the program exits cleanly.
//
// A program that is not installed is skipped with the reason; CI installs
// them all (scripts/install-deps.sh).

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "tests/e2e/E2eFixture.h"
#include "tests/e2e/WebServer.h"

namespace kst::e2e {
namespace {

constexpr const char* kSiteIp = "127.0.0.20";
constexpr const char* kSiteName = "site.test";
constexpr const char* kTrackerTestIp = "127.0.0.21";
constexpr const char* kTrackerTestName = "tracker.test";
// What the page shows once its scripts ran: the tracker's script sets a
// flag the page's own script reports.
constexpr const char* kLoadedBlocked = "site-page tracker-blocked";
constexpr const char* kLoadedTracked = "site-page tracker-ran";
// A browser that never ends is hung; far above a page load under load.
constexpr int kBrowserSeconds = 120;

class BrowsersE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped()) return;
    writeText("/etc/hosts", hostsFileText() + kSiteIp + " " + kSiteName + "\n" + kTrackerTestIp + " " +
                                kTrackerTestName + "\n");
    ASSERT_TRUE(has("python3")) << "the test's web servers need python3";
    site_ = serve("site", kSiteIp);
    tracker_ = serve("tracker", kTrackerTestIp);
    ASSERT_FALSE(site_.empty() || tracker_.empty()) << text("site.err") << text("tracker.err");
    const std::string trackerUrl = "http://" + std::string(kTrackerTestName) + ":" + tracker_ + "/t.js";
    write("site/index.html",
          "<html><head><title>site</title></head><body><p id=\"p\">site-page</p>\n"
          "<script src=\"" +
              trackerUrl +
              "\"></script>\n"
              "<script>document.getElementById('p').textContent += window.trackerRan ? ' tracker-ran' : "
              "' tracker-blocked';</script>\n</body></html>\n");
    write("tracker/t.js", "window.trackerRan = true;\n");
    writeGlobal({}, {}, /*log=*/true);
    startSpringBoard();
  }

  void TearDown() override {
    servers_.clear();
    E2eTest::TearDown();
  }

  bool has(const std::string& program) {
    return run({"/bin/sh", "-c", "command -v " + program}, "which") == 0;
  }
  void write(const std::string& name, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(temp_.dir() + "/" + name).parent_path());
    std::ofstream(temp_.dir() + "/" + name) << content;
  }
  // Starts a web server for the folder `name` on `ip`; its port, or "".
  std::string serve(const std::string& name, const std::string& ip) {
    servers_[name] = std::make_unique<WebServer>(temp_.dir(), name, ip, env());
    return servers_[name]->port();
  }
  std::string siteUrl() const { return "http://" + std::string(kSiteName) + ":" + site_ + "/"; }
  std::string trackerUrl() const {
    return "http://" + std::string(kTrackerTestName) + ":" + tracker_ + "/t.js";
  }
  Lines requests(const std::string& server) const { return servers_.at(server)->requests(); }

  // The rules of `bundle`: the site allowed, the tracker denied.
  void allowSiteDenyTracker(const std::string& bundle) {
    writeApp(bundle, plist::Dictionary{
                         {std::string(files::kAllowKey), plist::Value(ruleEntries({kSiteName}))},
                         {std::string(files::kDenyKey), plist::Value(ruleEntries({kTrackerTestName}))}});
  }

  // Runs `program` as `bundle` to its end (killed after kBrowserSeconds);
  // its exit status, 124 when it was killed. With `resolvConf`, in a mount
  // namespace of its own where that file is /etc/resolv.conf (needs root).
  int launchFor(const std::string& bundle, const std::vector<std::string>& program, const std::string& name,
                const Env& extra = {}, const std::string& resolvConf = "") {
    Env e = env();
    for (const auto& [k, v] : extra) e[k] = v;
    std::vector<std::string> argv;
    if (!resolvConf.empty())
      argv = {
          "/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
          resolvConf};
    for (std::string& a : launchArgs(bundle, program)) argv.push_back(std::move(a));
    Process p(argv, e, temp_.dir() + "/" + name + ".out", temp_.dir() + "/" + name + ".err");
    p.closeInput();
    const bool ended = waitFor(
        [&] {
          siginfo_t info{};
          return ::waitid(P_PID, static_cast<id_t>(p.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                 info.si_pid == p.pid();
        },
        kBrowserSeconds);
    if (!ended) {
      ::kill(p.pid(), SIGKILL);
      p.wait();
      return 124;
    }
    return p.wait();
  }

  // The log file as UTF-8 (UTF-16 with a byte-order mark; the lines tested
  // are ASCII).
  std::string logText() const {
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
  // Waits for the log lines of both decisions: SpringBoard writes them from
  // messages that may still be on their way when the program has ended.
  void expectBothLoggedByName() {
    const std::string allowed = std::string("connection allowed to ") + kSiteName + " via port: " + site_;
    const std::string denied =
        std::string("connection denied to ") + kTrackerTestName + " via port: " + tracker_;
    EXPECT_TRUE(waitFor([&] {
      const std::string log = logText();
      return log.find(allowed) != std::string::npos && log.find(denied) != std::string::npos;
    })) << "log:\n"
        << logText();
  }
  void expectTrackerNeverReached() { EXPECT_EQ(requests("tracker"), Lines{}) << "the tracker was reached"; }

  std::map<std::string, std::unique_ptr<WebServer>> servers_;
  std::string site_;
  std::string tracker_;
};

// The browser with its zygote and its own processes, as a person starts it
// (headless). Its sandbox runs where the machine allows it: not as root,
// which chromium refuses to sandbox, and with user namespaces to be had.
TEST_F(BrowsersE2eTest, ChromiumWithItsZygoteLoadsTheSiteAndNotTheTracker) {
  if (!has("chromium")) GTEST_SKIP() << "chromium is not installed";
  constexpr const char* kBundle = "org.chromium.Chromium";
  allowSiteDenyTracker(kBundle);
  std::vector<std::string> chromium = {"chromium", "--headless=new", "--no-first-run",
                                       "--user-data-dir=" + temp_.dir() + "/chromium-profile"};
  const bool sandboxed = ::geteuid() != 0 && run({"unshare", "-Ur", "true"}, "userns") == 0;
  if (!sandboxed) chromium.push_back("--no-sandbox");
  chromium.insert(chromium.end(), {"--dump-dom", siteUrl()});
  RecordProperty("sandboxed", sandboxed ? "yes" : "no");
  const int status = launchFor(kBundle, chromium, "chromium", {{"HOME", temp_.dir()}});
  EXPECT_EQ(status, 0) << text("chromium.err");
  EXPECT_NE(text("chromium.out").find(kLoadedBlocked), std::string::npos) << text("chromium.out");
  EXPECT_EQ(text("chromium.out").find(kLoadedTracked), std::string::npos);
  const std::string err = text("chromium.err");
  EXPECT_EQ(err.find("zygote"), std::string::npos) << err;
  EXPECT_EQ(err.find("crashed"), std::string::npos) << err;
  expectTrackerNeverReached();
  expectBothLoggedByName();
}

// A nameserver that never answers: bound to port 53 of a loopback address,
// reading every query and answering none.
constexpr const char* kSilentNameserver =
    "import os, socket, sys\n"
    "ip, ready = sys.argv[1:3]\n"
    "udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
    "udp.bind((ip, 53))\n"
    "tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)\n"
    "tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
    "tcp.bind((ip, 53))\n"
    "tcp.listen(64)\n"
    "open(ready, 'w').close()\n"
    "while True: udp.recvfrom(4096)\n";

// Chromium resolves with its own DNS client, which sends to the nameserver of
// /etc/resolv.conf. With a nameserver that never answers, each of those
// sends used to cost a reverse lookup of the nameserver's own address inside
// the judged connect (the C library's timeouts, about ten seconds each), on
// the network service's only network thread: the service stalled, and was
// restarted ("Network service crashed or was terminated") or the page never
// loaded. The page, whose names come from the device's hosts file, must load
// as fast as bare. Needs a mount namespace and port 53 (root).
TEST_F(BrowsersE2eTest, ChromiumWithItsOwnResolverAndASilentNameserverKeepsItsNetworkService) {
  if (!has("chromium")) GTEST_SKIP() << "chromium is not installed";
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace and port 53";
  constexpr const char* kNameserverIp = "127.0.0.53";
  Process nameserver(
      {"/usr/bin/env", "python3", "-c", kSilentNameserver, kNameserverIp, temp_.dir() + "/ns.ready"}, env(),
      temp_.dir() + "/ns.out", temp_.dir() + "/ns.err");
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(temp_.dir() + "/ns.ready"); })) << text("ns.err");
  write("test/silent.resolv", std::string("nameserver ") + kNameserverIp + "\n");
  constexpr const char* kBundle = "org.chromium.Chromium";
  allowSiteDenyTracker(kBundle);
  const int status =
      launchFor(kBundle,
                {"chromium", "--headless=new", "--no-sandbox", "--no-first-run",
                 "--user-data-dir=" + temp_.dir() + "/chromium-profile", "--dump-dom", siteUrl()},
                "chromium", {{"HOME", temp_.dir()}}, temp_.dir() + "/test/silent.resolv");
  EXPECT_NE(status, 124) << "the page never loaded";
  EXPECT_EQ(status, 0) << text("chromium.err");
  EXPECT_NE(text("chromium.out").find(kLoadedBlocked), std::string::npos) << text("chromium.out");
  EXPECT_EQ(text("chromium.err").find("Network service crashed"), std::string::npos) << text("chromium.err");
}

// Chromium's own DNS client, asking a nameserver that alone knows the
// names (a private resolv.conf in a mount namespace): the firewall reads
// the names from the answers chromium receives, so the name rules hold from
// the first connect. Needs a mount namespace and port 53 (root).
TEST_F(BrowsersE2eTest, ChromiumWithItsOwnDnsClientIsJudgedByTheNamesItAskedFor) {
  if (!has("chromium")) GTEST_SKIP() << "chromium is not installed";
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace and port 53";
  constexpr const char* kNameserverIp = "127.0.0.54";
  const std::string site = "dns-site.test", tracker = "dns-tracker.test";
  const std::string ready = temp_.dir() + "/dns.ready";
  Process nameserver(
      {"/usr/bin/env", "python3", KST_E2E_TINY_DNS, ready, kNameserverIp, "--log=" + temp_.dir() + "/dns.log",
       site + "=" + kSiteIp, tracker + "=" + kTrackerTestIp},
      env(), temp_.dir() + "/dns.out", temp_.dir() + "/dns.err");
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(ready); })) << text("dns.err");
  write("test/own.resolv", std::string("nameserver ") + kNameserverIp + "\n");
  const std::string siteAddress = "http://" + site + ":" + site_ + "/";
  write("site/index.html",
        "<html><body><p id=\"p\">site-page</p>\n<script src=\"http://" + tracker + ":" + tracker_ +
            "/t.js\"></script>\n"
            "<script>document.getElementById('p').textContent += window.trackerRan ? ' tracker-ran' : "
            "' tracker-blocked';</script>\n</body></html>\n");
  constexpr const char* kBundle = "org.chromium.Chromium";
  writeApp(kBundle, plist::Dictionary{{std::string(files::kAllowKey), plist::Value(ruleEntries({site}))},
                                      {std::string(files::kDenyKey), plist::Value(ruleEntries({tracker}))}});
  const int status =
      launchFor(kBundle,
                {"chromium", "--headless=new", "--no-sandbox", "--no-first-run", "--enable-features=AsyncDns",
                 "--user-data-dir=" + temp_.dir() + "/chromium-profile", "--dump-dom", siteAddress},
                "chromium", {{"HOME", temp_.dir()}}, temp_.dir() + "/test/own.resolv");
  EXPECT_NE(status, 124) << "the page never loaded";
  EXPECT_EQ(status, 0) << text("chromium.err");
  EXPECT_NE(text("chromium.out").find(kLoadedBlocked), std::string::npos) << text("chromium.out");
  expectTrackerNeverReached();
  // Both judged by the names chromium asked for.
  const std::string allowed = "connection allowed to " + site + " via port: " + site_;
  const std::string denied = "connection denied to " + tracker + " via port: " + tracker_;
  EXPECT_TRUE(waitFor([&] {
    const std::string log = logText();
    return log.find(allowed) != std::string::npos && log.find(denied) != std::string::npos;
  })) << "log:\n"
      << logText() << "\nqueries:\n"
      << text("dns.log");
  // The firewall's own reverse lookups: at most one per address.
  Lines ptr;
  for (const std::string& line : lines("dns.log"))
    if (line.rfind("PTR ", 0) == 0) ptr.push_back(line.substr(0, line.rfind(' ')));
  Lines distinct = ptr;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  EXPECT_EQ(ptr.size(), distinct.size()) << text("dns.log");
  std::cout << "DNS queries seen: " << lines("dns.log").size() << ", reverse lookups: " << ptr.size() << "\n";
}

TEST_F(BrowsersE2eTest, FirefoxLoadsTheSiteAndNotTheTracker) {
  if (!has("firefox-esr")) GTEST_SKIP() << "firefox-esr is not installed";
  constexpr const char* kBundle = "org.mozilla.firefox";
  allowSiteDenyTracker(kBundle);
  const std::string shot = temp_.dir() + "/firefox.png";
  std::filesystem::create_directories(temp_.dir() + "/firefox-profile");
  const int status = launchFor(kBundle,
                               {"firefox-esr", "--headless", "--no-remote", "--profile",
                                temp_.dir() + "/firefox-profile", "--screenshot", shot, siteUrl()},
                               "firefox", {{"HOME", temp_.dir()}, {"MOZ_CRASHREPORTER_DISABLE", "1"}});
  EXPECT_EQ(status, 0) << text("firefox.err");
  EXPECT_TRUE(std::filesystem::exists(shot)) << text("firefox.err");
  const Lines site = requests("site");
  EXPECT_NE(std::find(site.begin(), site.end(), "/"), site.end()) << "the page was not loaded";
  expectTrackerNeverReached();
  expectBothLoggedByName();
}

TEST_F(BrowsersE2eTest, NodeGetsTheSiteAndIsRefusedTheTracker) {
  if (!has("node")) GTEST_SKIP() << "node is not installed";
  constexpr const char* kBundle = "org.nodejs.node";
  allowSiteDenyTracker(kBundle);
  const std::string script =
      "const http = require('http');\n"
      "const get = (url) => new Promise((done) => {\n"
      "  http.get(url, (r) => { let b = ''; r.on('data', (c) => b += c); r.on('end', () => done('ok ' + "
      "r.statusCode)); })\n"
      "    .on('error', (e) => done('error ' + e.code));\n"
      "});\n"
      "(async () => { console.log(await get(process.argv[1])); console.log(await get(process.argv[2])); "
      "})();\n";
  EXPECT_EQ(launchFor(kBundle, {"node", "-e", script, siteUrl(), trackerUrl()}, "node"), 0)
      << text("node.err");
  EXPECT_EQ(lines("node.out"), (Lines{"ok 200", "error EPERM"})) << text("node.err");
  expectTrackerNeverReached();
  expectBothLoggedByName();
}

TEST_F(BrowsersE2eTest, WgetGetsTheSiteAndIsRefusedTheTracker) {
  if (!has("wget")) GTEST_SKIP() << "wget is not installed";
  constexpr const char* kBundle = "org.gnu.wget";
  allowSiteDenyTracker(kBundle);
  const std::string script =
      "wget -q -t 1 -O - \"$1\"; echo \"site $?\"; wget -q -t 1 -O - \"$2\"; echo \"tracker $?\"";
  EXPECT_EQ(launchFor(kBundle, {"/bin/sh", "-c", script, "sh", siteUrl(), trackerUrl()}, "wget"), 0)
      << text("wget.err");
  const std::string out = text("wget.out");
  EXPECT_NE(out.find("site-page"), std::string::npos) << out;
  EXPECT_NE(out.find("site 0"), std::string::npos) << out;
  // 4: a network failure.
  EXPECT_NE(out.find("tracker 4"), std::string::npos) << out;
  expectTrackerNeverReached();
  expectBothLoggedByName();
}

TEST_F(BrowsersE2eTest, PythonRequestsGetsTheSiteAndIsRefusedTheTracker) {
  if (run({"/usr/bin/env", "python3", "-c", "import requests"}, "which") != 0)
    GTEST_SKIP() << "python3-requests is not installed";
  constexpr const char* kBundle = "org.python.requests";
  allowSiteDenyTracker(kBundle);
  const std::string script =
      "import sys, requests\n"
      "for url in sys.argv[1:]:\n"
      "  try:\n"
      "    r = requests.get(url, timeout=30)\n"
      "    print('ok', r.status_code)\n"
      "  except requests.exceptions.ConnectionError as e:\n"
      "    print('refused', 'Operation not permitted' in str(e))\n";
  EXPECT_EQ(
      launchFor(kBundle, {"/usr/bin/env", "python3", "-c", script, siteUrl(), trackerUrl()}, "requests"), 0)
      << text("requests.err");
  EXPECT_EQ(lines("requests.out"), (Lines{"ok 200", "refused True"})) << text("requests.err");
  expectTrackerNeverReached();
  expectBothLoggedByName();
}

}  // namespace
}  // namespace kst::e2e
