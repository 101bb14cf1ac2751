// The library inside programs that fork, close every descriptor and take
// signals, and beside a shell that stops answering: the program goes on as
// the rules say, and follows reloads.

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <fstream>
#include <mutex>

#include "hook/rules/KstMessageNames.h"
#include "platform/messaging/Frame.h"
#include "platform/messaging/UnixSocket.h"
#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

constexpr const char* kReloadBoth = "com.dovrane.kst.reloadBoth";
// How long any one step may take before the test calls the program hung;
// far above the library's own limits (5 s for one exchange with the shell).
constexpr double kHung = 60;

// A shell that serves the question and host-name sockets with nonsense:
// every request is read, then answered the way `mode` says.
class BadShell {
 public:
  enum class Mode { kGarbage, kMaximumFrame, kOneBytePerSecond, kClosesMidReply };

  BadShell(const std::string& root, Mode mode) : mode_(mode) {
    using messaging::UniqueFd;
    const DeviceRoot device(root);
    if (!messaging::ensureRunFolder(device)) return;
    for (std::string_view service : {msg::kWindowService, msg::kWindowUDPService, msg::kHostStuffService}) {
      UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      auto addr =
          messaging::SocketAddress::forPath(messaging::runFolder(device) + "/" + std::string(service));
      if (!fd.valid() || !addr || ::bind(fd.get(), addr->get(), addr->size()) != 0 ||
          ::listen(fd.get(), 64) != 0)
        return;
      listeners_.push_back(std::move(fd));
    }
    ok_ = true;
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  BadShell(const BadShell&) = delete;
  BadShell& operator=(const BadShell&) = delete;
  ~BadShell() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    // Joined without the lock: a connection still reading its request
    // takes it to record the request's name.
    std::vector<std::thread> connections;
    {
      std::lock_guard lock(mu_);
      connections.swap(connections_);
    }
    for (std::thread& t : connections) t.join();
  }
  bool ok() const { return ok_; }
  std::vector<std::string> seen() {
    std::lock_guard lock(mu_);
    return seen_;
  }
  bool saw(std::string_view name) {
    for (const std::string& s : seen())
      if (s == name) return true;
    return false;
  }

 private:
  void acceptLoop() {
    while (!stop_) {
      std::vector<pollfd> fds;
      for (const auto& l : listeners_) fds.push_back(pollfd{l.get(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (const pollfd& p : fds) {
        if (p.revents == 0) continue;
        const int fd = ::accept4(p.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mu_);
        connections_.emplace_back([this, fd] { answer(messaging::UniqueFd(fd)); });
      }
    }
  }
  void answer(messaging::UniqueFd fd) {
    timeval tv{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char head[messaging::kFrameHeaderSize];
    if (!messaging::readExact(fd.get(), head, sizeof head)) return;
    const auto length = messaging::bodyLength(std::string_view(head, sizeof head));
    if (!length) return;
    std::string body(*length, '\0');
    if (!messaging::readExact(fd.get(), body.data(), body.size())) return;
    const auto request = messaging::decodeRequest(body);
    if (!request) return;
    {
      std::lock_guard lock(mu_);
      seen_.push_back(request->name);
    }
    if (!request->wantsReply) return;
    const auto header = [](std::uint32_t n) {
      return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                         static_cast<char>(n)};
    };
    switch (mode_) {
      case Mode::kGarbage:
        messaging::writeAll(fd.get(), header(9) + "not plist");
        break;
      case Mode::kMaximumFrame:
        messaging::writeAll(fd.get(),
                            header(messaging::kMaxFrameBody) + std::string(messaging::kMaxFrameBody, 'x'));
        break;
      case Mode::kOneBytePerSecond:
        for (char c : header(64) + std::string(64, 'x')) {
          if (stop_ || !messaging::writeAll(fd.get(), std::string(1, c))) return;
          std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        break;
      case Mode::kClosesMidReply:
        messaging::writeAll(fd.get(), header(100) + "0123456789");
        break;
    }
  }

  const Mode mode_;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::vector<messaging::UniqueFd> listeners_;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::thread> connections_;
  std::vector<std::string> seen_;
};

class RuntimeE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(tracker_.ok());
    ASSERT_TRUE(shop_.ok());
  }

  // The runtime client as `bundle`, left running; its output in `name`.out.
  std::unique_ptr<Process> start(const std::vector<std::string>& commands, const std::string& name,
                                 const std::string& bundle = kApp) {
    std::vector<std::string> program = {KST_E2E_RUNTIME_CLIENT};
    program.insert(program.end(), commands.begin(), commands.end());
    return std::make_unique<Process>(launchArgs(bundle, program), env(), temp_.dir() + "/" + name + ".out",
                                     temp_.dir() + "/" + name + ".err");
  }
  // Waits for a line of `name`.out that starts with `prefix`; the line, or
  // "" when none came in time.
  std::string awaitLine(const std::string& name, const std::string& prefix, double seconds = kHung) {
    std::string found;
    waitFor(
        [&] {
          for (const std::string& l : lines(name + ".out"))
            if (l.rfind(prefix, 0) == 0) found = l;
          return !found.empty();
        },
        seconds);
    return found;
  }
  // Waits for the program to end by itself; false (and kills it) when it
  // does not within the bound.
  bool ends(Process& p, double seconds = kHung) {
    const bool ended = waitFor(
        [&] {
          siginfo_t info{};
          return ::waitid(P_PID, static_cast<id_t>(p.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                 info.si_pid == p.pid();
        },
        seconds);
    if (!ended) ::kill(p.pid(), SIGKILL);
    return p.wait() == 0 && ended;
  }
  // Gives a running "stdin" client one command and waits for its line.
  std::string ask(Process& p, const std::string& name, const std::string& command, double seconds = kHung) {
    const std::size_t before = lines(name + ".out").size();
    p.writeLine(command);
    if (!waitFor([&] { return lines(name + ".out").size() > before; }, seconds)) return "(no answer)";
    return lines(name + ".out")[before];
  }
  void touch(const std::string& name) { std::ofstream(temp_.dir() + "/test/" + name) << "go\n"; }

  Server tracker_{kTrackerIp};
  Server shop_{kShopIp};
};

// The threads of a process, or 0 when it is gone.
int threadsOf(pid_t pid) {
  int n = 0;
  if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
    while (const dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

// A hooked process runs no thread of ours before its first judged call (a
// browser's zygote must stay single-threaded to fork), and what it was not
// listening for meanwhile it reads back from the rule files at that call.
TEST_F(RuntimeE2eTest, IdleProcessRunsNoThreadOfOursAndReadsWhatItMissedAtItsFirstCall) {
  writeGlobal({});
  auto p = start({"stdin"}, "idle");
  ASSERT_EQ(ask(*p, "idle", "ping"), "pong") << text("idle.err");
  EXPECT_EQ(threadsOf(launchedProgram(p->pid())), 1);
  writeGlobal({kTrackerName});
  notify(kReloadBoth);  // nobody listens in the program yet
  EXPECT_EQ(threadsOf(launchedProgram(p->pid())), 1);
  EXPECT_EQ(ask(*p, "idle", "tcp " + std::string(kTrackerIp) + " " + tracker_.port()), "tcp" + kRefused);
  EXPECT_GT(threadsOf(launchedProgram(p->pid())), 1) << "judging, the process listens for reloads";
  p->closeInput();
  EXPECT_TRUE(ends(*p));
}

// A program that only forks (a zygote, a shell running a command) stays
// single-threaded, and so does its child.
TEST_F(RuntimeE2eTest, ForkingProcessAndItsChildStaySingleThreaded) {
  const std::string trigger = temp_.dir() + "/test/go";
  auto p = start({"fork-idle", trigger}, "forks");
  const std::string child = awaitLine("forks", "child ");
  ASSERT_NE(child, "") << text("forks.err");
  const pid_t childPid = std::stoi(child.substr(6));
  EXPECT_EQ(threadsOf(launchedProgram(p->pid())), 1);
  EXPECT_EQ(threadsOf(childPid), 1);
  touch("go");
  EXPECT_TRUE(ends(*p));
  EXPECT_EQ(awaitLine("forks", "parent"), "parent done");
}

// The same for a real shell that forks and execs a command under the
// firewall: neither the shell nor the command runs a thread of ours.
TEST_F(RuntimeE2eTest, ShellRunningACommandStaysSingleThreaded) {
  const std::string trigger = temp_.dir() + "/test/go";
  const std::string script = "sleep 60 & echo $! > " + temp_.dir() + "/test/sleeper; wait";
  Process shell(launchArgs(kApp, {"/bin/sh", "-c", script}), env(), temp_.dir() + "/sh.out",
                temp_.dir() + "/sh.err");
  std::string sleeper;
  ASSERT_TRUE(waitFor([&] {
    sleeper = text("test/sleeper");
    return !sleeper.empty() && sleeper.back() == '\n';
  })) << text("sh.err");
  const pid_t sleeperPid = std::stoi(sleeper);
  // The command has been exec'd once its name is no longer the shell's.
  ASSERT_TRUE(waitFor([&] {
    return testing::readText("/proc/" + sleeper.substr(0, sleeper.size() - 1) + "/comm") == "sleep\n";
  }));
  EXPECT_EQ(threadsOf(launchedProgram(shell.pid())), 1);
  EXPECT_EQ(threadsOf(sleeperPid), 1);
  ::kill(sleeperPid, SIGTERM);
  EXPECT_EQ(shell.wait(), 0);
}

// A forked child follows "com.dovrane.kst.reloadBoth" like its parent, even
// though it never calls the library itself.
TEST_F(RuntimeE2eTest, ForkedChildFollowsReloads) {
  writeGlobal({});
  auto p = start({"fork-follows", temp_.dir() + "/test/go", kTrackerIp, tracker_.port()}, "fork");
  ASSERT_EQ(awaitLine("fork", "child ready"), "child ready") << text("fork.err");
  writeGlobal({kTrackerName});
  notify(kReloadBoth);
  touch("go");
  EXPECT_EQ(awaitLine("fork", "child tcp"), "child tcp" + kRefused);
  EXPECT_TRUE(ends(*p));
}

// A program that closes every descriptor and dup2s its own file over the
// library's numbers: the library neither spins nor touches that file, and
// follows the next reload on descriptors of its own.
TEST_F(RuntimeE2eTest, ProgramTakingEveryDescriptorIsNeitherSpunNorWrittenAndStillReloads) {
  writeGlobal({});
  const std::string file = temp_.dir() + "/test/program-file";
  auto p = start({"tcp", kTrackerIp, tracker_.port(), "fds-taken", file, temp_.dir() + "/test/go", kTrackerIp,
                  tracker_.port()},
                 "fds");
  ASSERT_EQ(awaitLine("fds", "tcp"), "tcp" + kOk) << text("fds.err");
  ASSERT_NE(awaitLine("fds", "taken"), "") << text("fds.err");
  EXPECT_NE(awaitLine("fds", "taken"), "taken 0") << "the library holds descriptors of its own";
  const std::string idle = awaitLine("fds", "idle-cpu-ms");
  ASSERT_NE(idle, "");
  // A spinning thread would take most of that second of idling.
  EXPECT_LT(std::stol(idle.substr(idle.find(' ') + 1)), 500) << idle;

  writeGlobal({kTrackerName});
  touch("go");
  // Notifications posted before the library noticed its loss reach nobody;
  // post until the program is refused.
  waitFor(
      [&] {
        notify(kReloadBoth);
        const Lines out = lines("fds.out");
        return out.size() >= 4;
      },
      kHung);
  ASSERT_TRUE(waitFor([&] { return lines("fds.out").size() >= 5; })) << text("fds.out");
  const Lines out = lines("fds.out");
  EXPECT_EQ(out[3], "tcp" + kRefused);
  EXPECT_EQ(out[4], "file size=7 offset=7") << "the program's own file was read or written";
  EXPECT_TRUE(ends(*p));
}

// The program's signal handlers never run on a thread of the library.
TEST_F(RuntimeE2eTest, SignalHandlersRunOnlyOnTheProgramsThreads) {
  writeGlobal({});
  auto p = start({"tcp", kTrackerIp, tracker_.port(), "signals", "300"}, "signals");
  EXPECT_TRUE(ends(*p)) << text("signals.err");
  EXPECT_EQ(awaitLine("signals", "foreign"), "foreign 0 handled 300");
}

// A shell stopped with SIGSTOP: decided calls go on, undecided ones and name
// lookups return within the library's limits; continued, it is asked again.
TEST_F(RuntimeE2eTest, StoppedShellHoldsUpNothingBeyondTheLimits) {
  writeGlobal({kTrackerName});
  startSpringBoard();
  answers({"0 0 0", "1 0 0"});  // allow once, then deny once
  auto p = start({"stdin"}, "stop");
  const std::string tracker = std::string(kTrackerIp) + " " + tracker_.port();
  const std::string shop = std::string(kShopIp) + " " + shop_.port();
  // Until SpringBoard has said it is ready, undecided calls pass unasked;
  // then the first is asked, and allowed once.
  ASSERT_TRUE(waitFor([&] { return ask(*p, "stop", "tcp " + shop) == "tcp" + kOk && !questions().empty(); }))
      << text("stop.err");
  ASSERT_EQ(questions().size(), 1u);

  const pid_t springBoard = launchedProgram(springBoard_->pid());
  ASSERT_EQ(::kill(springBoard, SIGSTOP), 0);
  EXPECT_EQ(ask(*p, "stop", "tcp " + tracker), "tcp" + kRefused);
  // The undecided call cannot be asked: it passes, as with no shell at all.
  EXPECT_EQ(ask(*p, "stop", "tcp " + shop), "tcp" + kOk);
  EXPECT_EQ(ask(*p, "stop", "lookups 200 " + std::string(kShopName)), "lookups done");
  EXPECT_EQ(ask(*p, "stop", "udp " + tracker), "udp" + kRefused);
  EXPECT_EQ(ask(*p, "stop", "tcp " + tracker), "tcp" + kRefused);
  EXPECT_EQ(questions().size(), 1u);

  ASSERT_EQ(::kill(springBoard, SIGCONT), 0);
  // Once the back-off has run out the shell is asked again, and answers.
  EXPECT_EQ(ask(*p, "stop", "until-refused " + shop), "tcp" + kRefused);
  EXPECT_EQ(questions().size(), 2u);
  p->closeInput();
  EXPECT_TRUE(ends(*p)) << text("stop.out");
}

// A shell that answers nonsense, the largest frame, one byte a second or
// closes mid-reply: each call gets the empty reply within the limits (an
// undecided call then passes, as with no shell) and the program goes on.
TEST_F(RuntimeE2eTest, ShellAnsweringNonsenseCostsTheProgramNothingBeyondTheLimits) {
  writeGlobal({kTrackerName});
  const std::string tracker = std::string(kTrackerIp) + " " + tracker_.port();
  const std::string shop = std::string(kShopIp) + " " + shop_.port();
  const std::vector<std::pair<const char*, BadShell::Mode>> modes = {
      {"garbage", BadShell::Mode::kGarbage},
      {"maximum-frame", BadShell::Mode::kMaximumFrame},
      {"closes-mid-reply", BadShell::Mode::kClosesMidReply},
      {"one-byte-a-second", BadShell::Mode::kOneBytePerSecond},
  };
  for (const auto& [name, mode] : modes) {
    SCOPED_TRACE(name);
    BadShell shell(temp_.dir(), mode);
    ASSERT_TRUE(shell.ok());
    auto p = start({"stdin"}, name);
    // Until it hears that the shell is ready the program asks nothing.
    ASSERT_TRUE(waitFor(
        [&] {
          notify(std::string(msg::kReplyNotification));
          return ask(*p, name, "tcp " + shop) == "tcp" + kOk && shell.saw(msg::kIsShowingWindow);
        },
        kHung))
        << text(std::string(name) + ".err");
    EXPECT_EQ(ask(*p, name, "tcp " + tracker), "tcp" + kRefused);
    EXPECT_EQ(ask(*p, name, "udp " + shop), "udp" + kOk);
    EXPECT_EQ(ask(*p, name, "lookups 20 " + std::string(kShopName)), "lookups done");
    // Undecided calls are asked (an answer that timed out backs the shell
    // off for a while first), and the unreadable answers read as none.
    if (mode != BadShell::Mode::kOneBytePerSecond) {
      EXPECT_TRUE(waitFor(
          [&] { return ask(*p, name, "tcp " + shop) == "tcp" + kOk && shell.saw(msg::kMessageForWindow); },
          kHung));
    }
    p->closeInput();
    EXPECT_TRUE(ends(*p));
    ::unlink(temp_.path("/var/run/kestrix/" + std::string(msg::kWindowService)).c_str());
    ::unlink(temp_.path("/var/run/kestrix/" + std::string(msg::kWindowUDPService)).c_str());
    ::unlink(temp_.path("/var/run/kestrix/" + std::string(msg::kHostStuffService)).c_str());
  }
}

}  // namespace
}  // namespace kst::e2e
