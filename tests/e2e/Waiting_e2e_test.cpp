// What waits on a prompt and what does not, end to end: programs under
// kestrix-launch beside the real `springboard` (headless), answered through
// `springboard-ctl`.

#include <fstream>

#include "ShellFixture.h"
#include "WebServer.h"

namespace kst::e2e {
namespace {

class WaitingTest : public ShellTest {
 protected:
  bool promptShown() {
    std::string out;
    ctl({"state"}, &out);
    return out.find("question: ") != std::string::npos;
  }
  Process& start(const std::string& name, const std::vector<std::string>& program) {
    clients_.push_back(std::make_unique<Process>(launchArgs(kApp, program), env(),
                                                 temp_.dir() + "/" + name + ".out",
                                                 temp_.dir() + "/" + name + ".err"));
    return *clients_.back();
  }
  Lines results(const std::string& name, std::size_t count, double seconds = 20) {
    waitFor([&] { return lines(name + ".out").size() >= count; }, seconds);
    return lines(name + ".out");
  }
};

// The milliseconds of a "beside ok MS" line; -1 when it is not one.
long besideMs(const std::string& line) {
  const std::string head = "beside ok ";
  if (line.rfind(head, 0) != 0) return -1;
  return std::strtol(line.c_str() + head.size(), nullptr, 10);
}

// Far below the time the prompt stays up in the test (it waits for the
// answer), far above any connect on a loaded machine.
constexpr long kSettledBoundMs = 2000;

TEST_F(WaitingTest, AllowedConnectionGoesOnWhileAnotherThreadWaitsOnAPrompt) {
  Server shop(kShopIp);
  Server tracker(kTrackerIp);
  writeApp(kApp, plist::Dictionary{{"allow", ruleEntries({kShopName})}});
  startShell();
  Process& client =
      start("client", {KST_E2E_WAITING_CLIENT, "beside", kTrackerIp, tracker.port(), kShopIp, shop.port()});
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text("client.err");
  client.writeLine("go");
  const Lines besideLine = results("client", 1);
  ASSERT_EQ(besideLine.size(), 1u) << text("client.err");
  const long ms = besideMs(besideLine[0]);
  EXPECT_GE(ms, 0) << besideLine[0];
  EXPECT_LT(ms, kSettledBoundMs);
  EXPECT_TRUE(promptShown()) << "the question is still waiting";
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(results("client", 2), (Lines{besideLine[0], "waiting ok"}));
}

TEST_F(WaitingTest, SixThreadsToOneUnknownHostRaiseOnePromptAndOnceLetsAllThrough) {
  Server shop(kShopIp);
  startShell();
  start("client", {KST_E2E_CLIENT, "threads", "6", kShopIp, shop.port()});
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text("client.err");
  // The six threads started together; give the last of them time to reach
  // its connect before the answer (if one were late it would ask again, and
  // the check below would catch that second prompt).
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(results("client", 6), Lines(6, "tcp" + kOk)) << text("client.err");
  EXPECT_FALSE(promptShown()) << "a second prompt about the same host";
}

TEST_F(WaitingTest, DenyOnceRefusesTheWholeBurst) {
  Server shop(kShopIp);
  startShell();
  start("client", {KST_E2E_CLIENT, "threads", "3", kShopIp, shop.port()});
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text("client.err");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(ctl({"select", "mode", "1"}), 0);
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(results("client", 3), Lines(3, "tcp" + kRefused)) << text("client.err");
  EXPECT_FALSE(promptShown());
}

// "udp sent 4 MS": the milliseconds; -1 when the send did not report the
// whole datagram sent.
long udpSentMs(const std::string& line) {
  const std::string head = "udp sent 4 ";
  if (line.rfind(head, 0) != 0) return -1;
  return std::strtol(line.c_str() + head.size(), nullptr, 10);
}

TEST_F(WaitingTest, NonBlockingDatagramIsAcceptedAtOnceAndSentWhenAllowed) {
  Server shop(kShopIp);
  startShell();
  Process& client = start("client", {KST_E2E_WAITING_CLIENT, "udp-nonblock", kShopIp, shop.port()});
  const Lines sent = results("client", 1);
  ASSERT_EQ(sent.size(), 1u) << text("client.err");
  const long ms = udpSentMs(sent[0]);
  EXPECT_GE(ms, 0) << sent[0];
  EXPECT_LT(ms, kSettledBoundMs);
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text("client.err");
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  // A DNS-like exchange: the question arrives and the answer comes back.
  EXPECT_EQ(shop.receive(), "ping");
  EXPECT_TRUE(shop.reply("pong"));
  client.writeLine("done");
  EXPECT_EQ(client.wait(), 0);
  const Lines out = results("client", 2);
  ASSERT_EQ(out.size(), 2u) << text("client.err");
  EXPECT_EQ(out[1], "reply pong");
}

TEST_F(WaitingTest, NonBlockingDatagramToADeniedDestinationNeverLeaves) {
  Server shop(kShopIp);
  startShell();
  Process& client = start("client", {KST_E2E_WAITING_CLIENT, "udp-nonblock", kShopIp, shop.port()});
  const Lines sent = results("client", 1);
  ASSERT_EQ(sent.size(), 1u) << text("client.err");
  EXPECT_GE(udpSentMs(sent[0]), 0) << sent[0];
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text("client.err");
  ASSERT_EQ(ctl({"select", "mode", "1"}), 0);
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(shop.receive(), "") << "the server got the denied datagram";
  client.writeLine("done");
  EXPECT_EQ(client.wait(), 0);
  const Lines out = results("client", 2);
  ASSERT_EQ(out.size(), 2u) << text("client.err");
  EXPECT_EQ(out[1], "reply none");
}

// "connect errno=115 MS": the milliseconds of a connect that returned
// EINPROGRESS; -1 for any other line.
long inProgressMs(const std::string& line) {
  const std::string head = "connect errno=" + std::to_string(EINPROGRESS) + " ";
  if (line.rfind(head, 0) != 0) return -1;
  return std::strtol(line.c_str() + head.size(), nullptr, 10);
}

const std::string kPending = "pending soerror=0 peer=" + std::to_string(ENOTCONN);
const std::string kAgain = "again errno=" + std::to_string(EALREADY);
const std::string kDoneRefused = "done errno=" + std::to_string(ECONNREFUSED);

// A non-blocking connect completed with epoll (edge- and level-triggered),
// poll or select.
class NonBlockingConnectTest : public WaitingTest, public ::testing::WithParamInterface<const char*> {
 protected:
  // Starts the client and checks what it sees before the answer.
  void startWaitingClient(const std::string& name, const Server& server) {
    start(name, {KST_E2E_WAITING_CLIENT, "connect-nb", GetParam(), server.ip(), server.port()});
    const Lines before = results(name, 3);
    ASSERT_EQ(before.size(), 3u) << text(name + ".err");
    const long ms = inProgressMs(before[0]);
    EXPECT_GE(ms, 0) << before[0];
    EXPECT_LT(ms, kSettledBoundMs);
    EXPECT_EQ(before[1], kPending) << "looked connected before the answer";
    EXPECT_EQ(before[2], kAgain);
    ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text(name + ".err");
  }
  std::string done(const std::string& name) {
    const Lines all = results(name, 4, 30);
    return all.size() >= 4 ? all[3] : std::string("(none)");
  }
};

TEST_P(NonBlockingConnectTest, ReturnsAtOnceThenFollowsTheAnswer) {
  Server shop(kShopIp);
  startShell();
  startWaitingClient("allowed", shop);
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(done("allowed"), "done ok") << text("allowed.err");

  startWaitingClient("denied", shop);
  ASSERT_EQ(ctl({"select", "mode", "1"}), 0);
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(done("denied"), kDoneRefused) << text("denied.err");
}

TEST_P(NonBlockingConnectTest, ShellDyingWhileItWaitsFailsItAsTheTimeOutWould) {
  Server shop(kShopIp);
  startShell();
  startWaitingClient("client", shop);
  ::kill(shell_->pid(), SIGKILL);
  shell_->wait();
  EXPECT_EQ(done("client"), kDoneRefused) << text("client.err");
}

INSTANTIATE_TEST_SUITE_P(Ways, NonBlockingConnectTest,
                         ::testing::Values("epoll-et", "epoll-lt", "poll", "select"),
                         [](const ::testing::TestParamInfo<const char*>& way) {
                           std::string name = way.param;
                           for (char& ch : name)
                             if (ch == '-') ch = '_';
                           return name;
                         });

TEST_F(WaitingTest, BurstOfNonBlockingConnectsRaisesOnePromptAndOnceLetsAllThrough) {
  Server shop(kShopIp);
  startShell();
  start("client", {KST_E2E_WAITING_CLIENT, "burst-nb", "6", kShopIp, shop.port()});
  const Lines parked = results("client", 1);
  ASSERT_EQ(parked, (Lines{"parked 6"})) << text("client.err");
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  Lines expected{"parked 6"};
  expected.insert(expected.end(), 6, "done ok");
  EXPECT_EQ(results("client", 7), expected) << text("client.err");
  EXPECT_FALSE(promptShown()) << "a second prompt about the same host";
}

TEST_F(WaitingTest, HundredsOfNonBlockingConnectsTakeOneAnswer) {
  // More than the library holds descriptors of under the usual limit of
  // 1,024 (a quarter of it), fewer than the server's backlog.
  constexpr int kConnects = 400;
  Server shop(kShopIp);
  startShell();
  start("client", {KST_E2E_WAITING_CLIENT, "burst-nb", std::to_string(kConnects), kShopIp, shop.port()});
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text("client.err");
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  Lines expected{"parked " + std::to_string(kConnects)};
  expected.insert(expected.end(), kConnects, "done ok");
  EXPECT_EQ(results("client", kConnects + 1, 40), expected) << text("client.err");
  EXPECT_FALSE(promptShown());
}

TEST_F(WaitingTest, WithoutAShellANonBlockingConnectGoesAheadUnasked) {
  Server shop(kShopIp);
  Process& client = start("client", {KST_E2E_WAITING_CLIENT, "connect-nb", "poll", kShopIp, shop.port()});
  EXPECT_EQ(client.wait(), 0);
  const Lines out = lines("client.out");
  ASSERT_FALSE(out.empty()) << text("client.err");
  EXPECT_EQ(out.back(), "done ok");
}

TEST_F(WaitingTest, WithoutAShellANonBlockingDatagramGoesAheadUnasked) {
  Server shop(kShopIp);
  Process& client = start("client", {KST_E2E_WAITING_CLIENT, "udp-nonblock", kShopIp, shop.port()});
  EXPECT_EQ(shop.receive(), "ping");
  client.writeLine("done");
  EXPECT_EQ(client.wait(), 0);
}

bool has(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// "ok gap MS" / "error CODE gap MS": the longest gap of a 50 ms timer while
// the program connected.
long gapMs(const std::string& line) {
  const auto at = line.find(" gap ");
  return at == std::string::npos ? -1 : std::strtol(line.c_str() + at + 5, nullptr, 10);
}

// The prompt stays up this long; the program's timer must not notice.
constexpr auto kPromptUp = std::chrono::milliseconds(3000);
constexpr long kTimerGapBoundMs = 1000;

TEST_F(WaitingTest, NodeTimerKeepsTickingWhileItsConnectWaits) {
  if (!has("node")) GTEST_SKIP() << "node is not installed";
  Server shop(kShopIp);
  startShell();
  const char* script = R"(
const net = require('net');
let last = Date.now(), gap = 0;
const timer = setInterval(() => { const now = Date.now(); gap = Math.max(gap, now - last); last = now; }, 50);
const s = net.connect({host: process.argv[1], port: Number(process.argv[2])});
const end = (what) => { clearInterval(timer); console.log(what + ' gap ' + gap); s.destroy(); };
s.on('connect', () => end('ok'));
s.on('error', (e) => end('error ' + e.code));
)";
  // "Deny" with "Once"; no answer until the prompt's own time-out of a
  // minute, which refuses as a deny does; "Always" (last: it stores a rule).
  for (const std::string answer : {"deny", "timeout", "always"}) {
    SCOPED_TRACE(answer);
    const std::string name = "node-" + answer;
    start(name, {"node", "-e", script, kShopIp, shop.port()});
    ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text(name + ".err");
    std::this_thread::sleep_for(kPromptUp);
    if (answer == "always") {
      ASSERT_EQ(ctl({"tap", "Always"}), 0);
    } else if (answer == "deny") {
      ASSERT_EQ(ctl({"select", "mode", "1"}), 0);
      ASSERT_EQ(ctl({"tap", "Once"}), 0);
    }
    const Lines out = results(name, 1, answer == "timeout" ? 90 : 30);
    ASSERT_EQ(out.size(), 1u) << text(name + ".err");
    EXPECT_EQ(out[0].substr(0, out[0].find(" gap ")), answer == "always" ? "ok" : "error ECONNREFUSED");
    const long gap = gapMs(out[0]);
    RecordProperty(name + "_gap_ms", static_cast<int>(gap));
    EXPECT_GE(gap, 0);
    EXPECT_LT(gap, kTimerGapBoundMs);
    if (answer == "always") {
      // Stored as a rule: the next connect is decided without a prompt.
      const std::string again = name + "-again";
      start(again, {"node", "-e", script, kShopIp, shop.port()});
      const Lines next = results(again, 1, 30);
      ASSERT_EQ(next.size(), 1u) << text(again + ".err");
      EXPECT_EQ(next[0].substr(0, next[0].find(" gap ")), "ok");
      EXPECT_FALSE(promptShown());
    }
  }
}

TEST_F(WaitingTest, PythonAsyncioOpensAConnectionWhileAPromptWaits) {
  if (!has("python3")) GTEST_SKIP() << "python3 is not installed";
  Server shop(kShopIp);
  startShell();
  const char* script = R"(
import asyncio, sys, time
async def main():
    gap = [0.0]
    done = [False]
    async def ticker():
        last = time.monotonic()
        while not done[0]:
            await asyncio.sleep(0.05)
            now = time.monotonic()
            gap[0] = max(gap[0], now - last)
            last = now
    task = asyncio.create_task(ticker())
    try:
        reader, writer = await asyncio.wait_for(asyncio.open_connection(sys.argv[1], int(sys.argv[2])), 90)
        result = 'ok'
        writer.close()
    except Exception as e:
        result = 'error ' + type(e).__name__
    done[0] = True
    await task
    print(result, 'gap', int(gap[0] * 1000), flush=True)
asyncio.run(main())
)";
  start("asyncio", {"python3", "-c", script, kShopIp, shop.port()});
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text("asyncio.err");
  std::this_thread::sleep_for(kPromptUp);
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  const Lines out = results("asyncio", 1, 30);
  ASSERT_EQ(out.size(), 1u) << text("asyncio.err");
  EXPECT_EQ(out[0].substr(0, out[0].find(" gap ")), "ok");
  EXPECT_LT(gapMs(out[0]), kTimerGapBoundMs);
}

// Dual-stack programs (java, node with "::") connect an IPv6 socket to the
// IPv4-mapped form of an IPv4 address. It waits as any non-blocking connect
// does: parked at once, then following the answer.
TEST_F(WaitingTest, MappedIpv4OnAnIpv6SocketIsParkedAndFollowsTheAnswer) {
  Server shop(kShopIp);
  startShell();
  const char* script = R"(
import select, socket, sys, time
s = socket.socket(socket.AF_INET6)
s.setblocking(False)
t = time.monotonic()
try:
    s.connect(('::ffff:' + sys.argv[1], int(sys.argv[2])))
except BlockingIOError:
    pass
print('returned %d' % ((time.monotonic() - t) * 1000), flush=True)
select.select([], [s], [], 60)
print('done %d' % s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR), flush=True)
)";
  for (const bool allow : {true, false}) {
    SCOPED_TRACE(allow ? "allowed" : "denied");
    const std::string name = allow ? "mapped-allowed" : "mapped-denied";
    start(name, {"python3", "-c", script, kShopIp, shop.port()});
    ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text(name + ".err");
    EXPECT_EQ(lineOf(state(), "host: "), kShopName);
    const Lines before = results(name, 1);
    ASSERT_EQ(before.size(), 1u) << "the connect waited for the answer: " << text(name + ".err");
    EXPECT_LT(std::strtol(before[0].c_str() + std::strlen("returned "), nullptr, 10), kSettledBoundMs);
    if (!allow) {
      ASSERT_EQ(ctl({"select", "mode", "1"}), 0);
    }
    ASSERT_EQ(ctl({"tap", "Once"}), 0);
    const Lines after = results(name, 2, 30);
    ASSERT_EQ(after.size(), 2u) << text(name + ".err");
    EXPECT_EQ(after[1], allow ? "done 0" : "done " + std::to_string(ECONNREFUSED));
  }
}

// A browser's network thread connects a non-blocking datagram socket to
// learn its route (a connect that sends nothing) on the thread that serves
// every page. It returns at once; what the socket sends before the answer
// is lost, as datagrams may be; after an allow it reaches its destination,
// after a deny never.
TEST_F(WaitingTest, NonBlockingDatagramConnectReturnsAtOnceAndFollowsTheAnswer) {
  Server shop(kShopIp);
  startShell();
  const char* script = R"(
import socket, sys, time
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.setblocking(False)
t = time.monotonic()
s.connect(('::ffff:' + sys.argv[1], int(sys.argv[2])))
print('returned %d' % ((time.monotonic() - t) * 1000), flush=True)
s.send(b'early')
sys.stdin.readline()
s.send(b'late')
print('sent', flush=True)
sys.stdin.readline()
)";
  for (const bool allow : {true, false}) {
    SCOPED_TRACE(allow ? "allowed" : "denied");
    const std::string name = allow ? "probe-allowed" : "probe-denied";
    Process& probe = start(name, {"python3", "-c", script, kShopIp, shop.port()});
    ASSERT_EQ(ctl({"wait-prompt", "20"}), 0) << text(name + ".err");
    EXPECT_EQ(lineOf(state(), "host: "), kShopName);
    const Lines before = results(name, 1);
    ASSERT_EQ(before.size(), 1u) << "the connect waited for the answer: " << text(name + ".err");
    EXPECT_LT(std::strtol(before[0].c_str() + std::strlen("returned "), nullptr, 10), kSettledBoundMs);
    if (!allow) {
      ASSERT_EQ(ctl({"select", "mode", "1"}), 0);
    }
    ASSERT_EQ(ctl({"tap", "Once"}), 0);
    waitFor([&] { return !promptShown(); }, 10);
    // The answer takes effect on the library's thread a moment after the tap.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    probe.writeLine("go");
    ASSERT_EQ(results(name, 2).size(), 2u) << text(name + ".err");
    EXPECT_EQ(shop.receive(), allow ? "late" : "") << "early datagrams go nowhere; a denied socket sends nothing";
    probe.writeLine("done");
    EXPECT_EQ(probe.wait(), 0);
  }
}

// How long the test leaves chromium's undecided connection waiting, and how
// soon the allowed page must load meanwhile.
constexpr auto kChromiumPromptUp = std::chrono::seconds(30);
constexpr double kPageLoadSeconds = 10;

// Chromium as a person starts it (headless, its own processes, one network
// thread for every page): a page on shop.example (allowed) with a script
// from ads.tracker.example (denied) and an image on later.test, which no
// rule decides. While that prompt waits the page loads and reports in, and
// chromium's network service lives on; once answered, the image is
// fetched. Chromium's own undecided connections (its secure-DNS and route
// probes) are denied once on the way.
TEST_F(WaitingTest, ChromiumLoadsAnAllowedPageWhileAPromptAboutAnotherHostWaits) {
  if (!has("chromium")) GTEST_SKIP() << "chromium is not installed";
  WebServer site(temp_.dir(), "site", kShopIp, env());
  WebServer tracker(temp_.dir(), "tracker", kTrackerIp, env());
  constexpr const char* kLaterIp = "127.0.0.22";
  constexpr const char* kLaterName = "later.test";
  writeText("/etc/hosts", hostsFileText() + kLaterIp + " " + kLaterName + "\n");
  WebServer waiting(temp_.dir(), "waiting", kLaterIp, env());
  ASSERT_FALSE(site.port().empty() || tracker.port().empty() || waiting.port().empty());
  std::ofstream(site.folder() + "/index.html")
      << "<html><body><p>site-page</p>\n"
      << "<script src=\"http://" << kTrackerName << ":" << tracker.port() << "/t.js\"></script>\n"
      << "<img src=\"http://" << kLaterName << ":" << waiting.port() << "/waiting.png\">\n"
      << "<script>fetch('/loaded-' + (window.trackerRan ? 'tracked' : 'blocked'));</script>\n</body></html>\n";
  std::ofstream(tracker.folder() + "/t.js") << "window.trackerRan = true;\n";
  constexpr const char* kBundle = "org.chromium.Chromium";
  writeApp(kBundle, plist::Dictionary{{"allow", ruleEntries({kShopName})}, {"deny", ruleEntries({kTrackerName})}});
  startShell();

  std::vector<std::string> chromium = {"chromium", "--headless=new", "--no-first-run",
                                       "--user-data-dir=" + temp_.dir() + "/chromium-profile"};
  if (::geteuid() == 0) chromium.push_back("--no-sandbox");  // chromium refuses its sandbox to root
  chromium.push_back("http://" + std::string(kShopName) + ":" + site.port() + "/");
  Env chromiumEnv = env();
  chromiumEnv["HOME"] = temp_.dir();
  clients_.push_back(std::make_unique<Process>(launchArgs(kBundle, chromium), chromiumEnv,
                                               temp_.dir() + "/chromium.out", temp_.dir() + "/chromium.err"));

  // The first prompt, whatever it asks about, stays up while the page loads.
  ASSERT_EQ(ctl({"wait-prompt", "60"}), 0) << text("chromium.err");
  const auto asked = std::chrono::steady_clock::now();
  const std::string firstHost = lineOf(state(), "host: ");
  RecordProperty("first_prompt", firstHost);
  EXPECT_TRUE(waitFor([&] { return site.asked("/loaded-blocked"); }, kPageLoadSeconds))
      << "the allowed page did not load while a prompt about " << firstHost << " waited; the site was asked for "
      << ::testing::PrintToString(site.requests()) << "\n"
      << text("chromium.err");
  RecordProperty("page_loaded_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                        std::chrono::steady_clock::now() - asked)
                                                        .count()));
  EXPECT_FALSE(site.asked("/loaded-tracked"));
  std::this_thread::sleep_until(asked + kChromiumPromptUp);
  EXPECT_EQ(lineOf(state(), "host: "), firstHost) << "the prompt went away unanswered";
  EXPECT_FALSE(waiting.asked("/waiting.png")) << "the undecided image was fetched before the answer";
  EXPECT_EQ(text("chromium.err").find("Network service crashed"), std::string::npos) << text("chromium.err");

  // Then the answers: chromium's own connections denied once, the image's
  // allowed once; the waiting image follows its answer.
  bool imageAllowed = false;
  Lines denied;
  for (int prompts = 0; prompts < 20 && !imageAllowed; ++prompts) {
    if (prompts > 0) {
      ASSERT_EQ(ctl({"wait-prompt", "60"}), 0) << text("chromium.err");
    }
    const std::string host = lineOf(state(), "host: ");
    imageAllowed = host == kLaterName;
    if (!imageAllowed) {
      denied.push_back(host);
      ASSERT_EQ(ctl({"select", "mode", "1"}), 0);
    }
    ASSERT_TRUE(waitFor([&] { return ctl({"tap", "Once"}) == 0; }, 5)) << "the guard never let the tap in";
    waitFor([&] { return lineOf(state(), "host: ") != host; }, 5);
  }
  RecordProperty("denied", ::testing::PrintToString(denied));
  ASSERT_TRUE(imageAllowed) << "no prompt about " << kLaterName << "; denied " << ::testing::PrintToString(denied);
  EXPECT_TRUE(waitFor([&] { return waiting.asked("/waiting.png"); }, 20))
      << ::testing::PrintToString(waiting.requests()) << "\n"
      << text("chromium.err");
  EXPECT_EQ(tracker.requests(), Lines{}) << "the denied tracker was reached";
}

}  // namespace
}  // namespace kst::e2e
