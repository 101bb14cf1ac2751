// Programs the hook library cannot see into, under kestrix-launch's
// supervisor: a statically linked client, raw system calls from a dynamic
// one, Go programs built with cgo and without, busybox's static wget, the
// children of a supervised program, many threads at once, io_uring, and
// calls with absurd arguments. Names come from the device hosts file.

#include <sys/un.h>

#include <algorithm>
#include <thread>

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

constexpr int kNoSuchCall = 38;  // ENOSYS

class SupervisedE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(tracker_.ok());
    ASSERT_TRUE(shop_.ok());
  }
  // `program` under kestrix-launch as kApp (extra launcher options first);
  // its lines.
  Lines launched(std::vector<std::string> program, const std::vector<std::string>& options = {},
                 const std::string& name = "prog") {
    std::vector<std::string> argv = {KST_LAUNCH, kApp, "--root", temp_.dir()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--");
    argv.insert(argv.end(), program.begin(), program.end());
    EXPECT_EQ(run(argv, name), 0) << text(name + ".err");
    return lines(name + ".out");
  }
  static std::vector<std::string> with(const char* program, std::vector<std::string> commands) {
    commands.insert(commands.begin(), program);
    return commands;
  }
  // How many times the connection log (UTF-16 with a byte-order mark; the
  // names tested are ASCII) names `host`.
  std::size_t logLinesFor(const std::string& host) {
    const std::string bytes = testing::readText(temp_.path(files::kLogPath));
    std::string text;
    const bool little = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const unsigned lo = static_cast<unsigned char>(bytes[i]), hi = static_cast<unsigned char>(bytes[i + 1]);
      const unsigned unit = little ? (hi << 8 | lo) : (lo << 8 | hi);
      text += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    std::size_t n = 0;
    for (std::size_t at = text.find(host); at != std::string::npos; at = text.find(host, at + 1)) ++n;
    return n;
  }

  Server tracker_{kTrackerIp};
  Server shop_{kShopIp};
};

TEST_F(SupervisedE2eTest, StaticProgramIsJudgedByNameAndByAddress) {
  const std::string t = tracker_.port();
  const std::string s = shop_.port();
  writeGlobal({kTrackerName});
  EXPECT_EQ(
      launched(with(KST_E2E_RAW_CLIENT_STATIC, {"tcp", kTrackerIp, t, "tcp", kShopIp, s, "udp", kTrackerIp, t,
                                                "udp", kShopIp, s, "sendmsg", kTrackerIp, t})),
      (Lines{"tcp" + kRefused, "tcp" + kOk, "udp" + kRefused, "udp" + kOk, "sendmsg" + kRefused}));
  EXPECT_EQ(shop_.receive(), "udp") << "the allowed datagram went out unaltered";

  writeGlobal({kShopIp});
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT_STATIC,
                          {"tcp", kTrackerIp, t, "tcp", kShopIp, s, "sendmsg", kShopIp, s})),
            (Lines{"tcp" + kOk, "tcp" + kRefused, "sendmsg" + kRefused}));
  writeGlobal({}, {kShopIp});
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT_STATIC, {"sendmsg", kShopIp, s})), (Lines{"sendmsg" + kOk}));
  EXPECT_EQ(shop_.receive(), "msg");
}

TEST_F(SupervisedE2eTest, RawSystemCallsOfADynamicProgramAreJudged) {
  writeGlobal({kTrackerName});
  const std::string t = tracker_.port();
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT, {"rawtcp", kTrackerIp, t, "rawudp", kTrackerIp, t, "rawtcp",
                                               kShopIp, shop_.port()})),
            (Lines{"rawtcp" + kRefused, "rawudp" + kRefused, "rawtcp" + kOk}));
  // Without the supervisor they escape, as they always did.
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT, {"rawtcp", kTrackerIp, t}), {"--libc-only"}),
            (Lines{"rawtcp" + kOk}));
}

TEST_F(SupervisedE2eTest, ADynamicProgramIsJudgedOncePerCall) {
  startSpringBoard();  // it writes the log
  writeGlobal({}, {kShopName}, true);
  const std::string s = shop_.port();
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT, {"tcp", kShopIp, s, "udp", kShopIp, s})),
            (Lines{"tcp" + kOk, "udp" + kOk}));
  EXPECT_TRUE(waitFor([&] { return logLinesFor(kShopName) >= 2; }));
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT, {"rawtcp", kShopIp, s})), (Lines{"rawtcp" + kOk}));
  EXPECT_TRUE(waitFor([&] { return logLinesFor(kShopName) >= 3; }));
  // The next program's call (asked, and refused by the scripted prompt's
  // default) is logged after every earlier line.
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT, {"tcp", kTrackerIp, tracker_.port()})),
            (Lines{"tcp" + kRefused}));
  EXPECT_TRUE(waitFor([&] { return logLinesFor(kTrackerName) >= 1; }));
  EXPECT_EQ(logLinesFor(kShopName), 3u) << "one line per call: the hook library's or the supervisor's";
}

TEST_F(SupervisedE2eTest, GoProgramsAreJudgedBuiltEitherWay) {
  if (std::string(KST_E2E_GO_CGO).empty()) GTEST_SKIP() << "no Go toolchain";
  writeGlobal({kTrackerName});
  const std::string tracker = std::string(kTrackerIp) + ":" + tracker_.port();
  const std::string shop = std::string(kShopIp) + ":" + shop_.port();
  for (const char* program : {KST_E2E_GO_CGO, KST_E2E_GO_STATIC}) {
    EXPECT_EQ(launched(with(program, {"tcp", tracker, "tcp", shop, "udp", tracker, "udp", shop})),
              (Lines{"tcp" + kRefused, "tcp" + kOk, "udp" + kRefused, "udp" + kOk}))
        << program;
    EXPECT_EQ(shop_.receive(), "go");
  }
  writeGlobal({kShopIp});
  EXPECT_EQ(launched(with(KST_E2E_GO_STATIC, {"tcp", tracker, "tcp", shop})),
            (Lines{"tcp" + kOk, "tcp" + kRefused}));
}

// A web server on the shop's address that answers every request with one line.
class WebServer {
 public:
  WebServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, kShopIp, &a.sin_addr);
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 16) == 0;
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char request[1024];
        [[maybe_unused]] ssize_t n = ::recv(c, request, sizeof request, 0);
        const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nhello\n";
        n = ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(c);
      }
    });
  }
  ~WebServer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  bool ok() const { return ok_; }
  std::string url() const { return std::string("http://") + kShopIp + ":" + std::to_string(port_) + "/"; }

 private:
  int fd_ = -1;
  int port_ = 0;
  bool ok_ = false;
  std::thread thread_;
};

TEST_F(SupervisedE2eTest, BusyboxWgetIsJudged) {
  if (std::string(KST_E2E_BUSYBOX).empty()) GTEST_SKIP() << "no busybox";
  WebServer web;
  ASSERT_TRUE(web.ok());
  // (busybox 1.35's wget crashes with a -T timeout; the server always answers.)
  const std::vector<std::string> wget = {KST_E2E_BUSYBOX, "wget", "-q", "-O", "-", web.url()};
  writeGlobal({kTrackerName});
  EXPECT_EQ(launched(wget), (Lines{"hello"}));
  writeGlobal({kShopName});
  std::vector<std::string> argv = {KST_LAUNCH, kApp, "--root", temp_.dir(), "--"};
  argv.insert(argv.end(), wget.begin(), wget.end());
  EXPECT_NE(run(argv, "wget"), 0);
  EXPECT_TRUE(lines("wget.out").empty());
}

TEST_F(SupervisedE2eTest, ChildrenAndGrandchildrenAreJudged) {
  writeGlobal({kTrackerName});
  Lines out = launched(with(KST_E2E_RAW_CLIENT_STATIC, {"fork", kTrackerIp, tracker_.port()}));
  std::sort(out.begin(), out.end());
  EXPECT_EQ(out, (Lines{"child" + kRefused, "grandchild" + kRefused}));
  out = launched(with(KST_E2E_RAW_CLIENT_STATIC, {"fork", kShopIp, shop_.port()}));
  std::sort(out.begin(), out.end());
  EXPECT_EQ(out, (Lines{"child" + kOk, "grandchild" + kOk}));
}

TEST_F(SupervisedE2eTest, SixtyFourThreadsConnectingAtOnceAreEachJudged) {
  writeGlobal({kTrackerName});
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT_STATIC, {"threads", "64", kShopIp, shop_.port(), "threads", "64",
                                                      kTrackerIp, tracker_.port()})),
            (Lines{"threads ok=64 refused=0 other=0", "threads ok=0 refused=64 other=0"}));
}

TEST_F(SupervisedE2eTest, IoUringCannotBeSetUp) {
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT_STATIC, {"uring"})),
            (Lines{"uring errno=" + std::to_string(kNoSuchCall)}));
}

// 1,024 messages (the kernel's bound), each judged: the allowed half goes.
TEST_F(SupervisedE2eTest, SendmmsgSendsTheAllowedPrefix) {
  writeGlobal({kTrackerName});
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT_STATIC,
                          {"sendmmsg", "1024", kShopIp, shop_.port(), kTrackerIp, tracker_.port(), "sendmmsg",
                           "4", kTrackerIp, tracker_.port(), kShopIp, shop_.port()})),
            (Lines{"sendmmsg sent=512 bytes=2048", "sendmmsg errno=1"}));
  EXPECT_EQ(shop_.receive(), "mmsg");
}

TEST_F(SupervisedE2eTest, AbsurdArgumentsFailAsTheKernelFailsThem) {
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT_STATIC, {"bad"})),
            (Lines{"bad addr=14 len=22 huge=22 header=14 name=14 iov=14 vector=14 fd=9"}));
}

TEST_F(SupervisedE2eTest, NonBlockingConnectsAndOtherFamiliesKeepTheirWays) {
  writeGlobal({kTrackerName});
  const std::string path = temp_.dir() + "/test/unix.sock";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT_STATIC, {"nonblock", kShopIp, shop_.port(), "nonblock",
                                                      kTrackerIp, tracker_.port(), "unix", path})),
            (Lines{"nonblock" + kOk, "nonblock" + kRefused, "unix" + kOk}));
  ::close(listener);
}

TEST_F(SupervisedE2eTest, UndecidedCallIsAskedAndTheAnswerHolds) {
  startSpringBoard();
  answers({"1 0 0", "0 0 0"});  // deny once, then allow once
  const std::string s = shop_.port();
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT_STATIC, {"tcp", kShopIp, s, "tcp", kShopIp, s})),
            (Lines{"tcp" + kRefused, "tcp" + kOk}));
  ASSERT_EQ(questions().size(), 2u);
  EXPECT_NE(questions()[0].find(kShopName), std::string::npos) << questions()[0];
  EXPECT_NE(questions()[0].find(kApp), std::string::npos) << questions()[0];

  // Each kind of program: its undecided connect and datagram are asked.
  answers({"1 0 0", "0 0 0", "1 0 0", "0 0 0", "1 0 0", "0 0 0", "1 0 0", "0 0 0"});
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT, {"rawtcp", kShopIp, s, "rawudp", kShopIp, s})),
            (Lines{"rawtcp" + kRefused, "rawudp" + kOk}));
  EXPECT_EQ(shop_.receive(), "udp");
  if (!std::string(KST_E2E_GO_CGO).empty()) {
    const std::string shop = std::string(kShopIp) + ":" + s;
    for (const char* program : {KST_E2E_GO_CGO, KST_E2E_GO_STATIC}) {
      EXPECT_EQ(launched(with(program, {"tcp", shop, "udp", shop})), (Lines{"tcp" + kRefused, "udp" + kOk}))
          << program;
      EXPECT_EQ(shop_.receive(), "go");
    }
  }
  EXPECT_EQ(questions().size(), 2u + (std::string(KST_E2E_GO_CGO).empty() ? 2u : 6u));
}

// A launch inside a supervised tree cannot have a supervisor of its own (a
// tree has one): what the hook library judges is judged as the inner
// application, once (the outer filter passes it); raw calls go to the outer
// supervisor and are judged as the outer application.
TEST_F(SupervisedE2eTest, ALaunchInsideASupervisedTreeJudgesItsLibraryCallsAsItsOwn) {
  const std::string inner = "com.example.inner";
  const auto entry = [](const char* list, const char* host) {
    return plist::Value(plist::Dictionary{{list, plist::Value(ruleEntries({host}))}});
  };
  writePlist(files::kRulesPath, plist::Dictionary{{std::string(files::kMarkerKey), plist::Value(true)},
                                                  {kApp, entry("deny", kShopName)},
                                                  {inner, entry("allow", kShopName)}});
  const std::string s = shop_.port();
  EXPECT_EQ(launched(with(KST_E2E_RAW_CLIENT, {"tcp", kShopIp, s})), (Lines{"tcp" + kRefused}));
  EXPECT_EQ(launched({KST_LAUNCH, inner, "--root", temp_.dir(), "--", KST_E2E_RAW_CLIENT, "tcp", kShopIp, s,
                      "udp", kShopIp, s, "rawtcp", kShopIp, s}),
            (Lines{"tcp" + kOk, "udp" + kOk, "rawtcp" + kRefused}));
  EXPECT_EQ(shop_.receive(), "udp");
}

TEST_F(SupervisedE2eTest, TheLauncherEndsAsTheProgramEnds) {
  EXPECT_EQ(launch(kApp, {"sh", "-c", "exit 7"}, "status"), 7);
  EXPECT_EQ(launch(kApp, {"sh", "-c", "kill -TERM $$"}, "status"), 1000 + SIGTERM);
  // A signal sent to the launcher reaches the program.
  Process p(launchArgs(kApp, {"sh", "-c", "echo started; sleep 30"}), env(), temp_.dir() + "/sig.out",
            temp_.dir() + "/sig.err");
  ASSERT_TRUE(waitFor([&] { return lines("sig.out") == Lines{"started"}; }));
  const auto start = std::chrono::steady_clock::now();
  ::kill(p.pid(), SIGTERM);
  EXPECT_EQ(p.wait(), 1000 + SIGTERM);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
}  // namespace kst::e2e
