// The ways around the rules and the ways of disturbing a program, each with
// a real program under kestrix-launch: IPv4-mapped and short IPv6 addresses,
// connections from signal handlers, a sleeping program and SIGCONT, a
// constructor's connection, a stream socket's sendto, memory exhaustion, and
// a signal storm over many threads and programs.

#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include "tests/e2e/E2eFixture.h"

namespace kst::e2e {
namespace {

// The number after "key=" in `line`, or -1.
long field(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return -1;
  return std::strtol(line.c_str() + at + key.size() + 2, nullptr, 10);
}

// Whether the process has ended within `seconds` (it is not reaped here).
bool endsWithin(const Process& p, double seconds) {
  return waitFor(
      [&] {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(p.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == p.pid();
      },
      seconds);
}

class EscapesE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(tracker_.ok());
    ASSERT_TRUE(shop_.ok());
  }
  std::vector<std::string> escape(std::vector<std::string> commands) const {
    commands.insert(commands.begin(), KST_E2E_ESCAPE_CLIENT);
    return commands;
  }
  // The escape client as kApp; its lines.
  Lines escapeClient(const std::vector<std::string>& commands, const std::string& name = "escape") {
    EXPECT_EQ(launch(kApp, escape(commands), name), 0) << text(name + ".err");
    return lines(name + ".out");
  }
  std::unique_ptr<Process> start(const std::vector<std::string>& commands, const std::string& name) {
    return std::make_unique<Process>(launchArgs(kApp, escape(commands)), env(),
                                     temp_.dir() + "/" + name + ".out", temp_.dir() + "/" + name + ".err");
  }
  bool hasLine(const std::string& name, const std::string& line) {
    for (const auto& l : lines(name + ".out"))
      if (l == line) return true;
    return false;
  }

  Server tracker_{kTrackerIp};
  Server shop_{kShopIp};
};

TEST_F(EscapesE2eTest, MappedIpv6IsJudgedAsItsIpv4AddressByEveryRuleShape) {
  const std::string p = tracker_.port();
  for (const std::string& rule :
       {std::string("127.0.0.9"), std::string("127.0.0.*"), std::string("127.0.0.5-9"),
        std::string("*.tracker.example"), "127.0.0.9:" + p}) {
    writeGlobal({rule});
    EXPECT_EQ(escapeClient({"mapped", kTrackerIp, p, "28", "mappedudp", kTrackerIp, p, "28"}),
              (Lines{"mapped" + kRefused, "mappedudp" + kRefused}))
        << rule;
  }
  // Named by the hosts file in its IPv4 form: a rule for another name lets it pass.
  writeGlobal({"*.tracker.example"});
  EXPECT_EQ(escapeClient({"mapped", kShopIp, shop_.port(), "28"}), (Lines{"mapped" + kOk}));
}

TEST_F(EscapesE2eTest, Ipv6AddressOfTheOlderLengthIsJudged) {
  writeGlobal({"*.tracker.example"});
  const std::string p = tracker_.port();
  EXPECT_EQ(escapeClient({"mapped", kTrackerIp, p, "24", "mappedudp", kTrackerIp, p, "24", "mappedudp",
                          kShopIp, shop_.port(), "24"}),
            (Lines{"mapped" + kRefused, "mappedudp" + kRefused, "mappedudp" + kOk}));
  EXPECT_EQ(shop_.receive(), "mapped") << "the allowed datagram went out unaltered";
}

TEST_F(EscapesE2eTest, ConnectFromASignalHandlerInsideAHookedCallIsJudged) {
  writeGlobal({"*.tracker.example"});
  const Lines out = escapeClient({"handler-connect", "2", kTrackerIp, tracker_.port(), kShopName});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(field(out[0], "passed"), 0) << out[0];
  EXPECT_GT(field(out[0], "refused"), 0) << out[0];
  EXPECT_EQ(field(out[0], "other"), 0) << out[0];
}

TEST_F(EscapesE2eTest, SendtoFromASignalHandlerWhileTheProgramAllocatesNeverDeadlocks) {
  writeGlobal({"*.tracker.example"}, {kShopName});
  for (const char* target : {kShopIp, kTrackerIp}) {
    const auto p = start({"handler-sendto", "2", target, shop_.port()}, "sendto");
    ASSERT_TRUE(endsWithin(*p, 60)) << "deadlocked";
    ASSERT_EQ(p->wait(), 0) << text("sendto.err");
    const Lines out = lines("sendto.out");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(field(out[0], "other"), 0) << out[0];
    if (target == kShopIp) {
      EXPECT_GT(field(out[0], "passed"), 0) << out[0];
      EXPECT_EQ(shop_.receive(), "sig");
    } else {
      EXPECT_EQ(field(out[0], "passed"), 0) << out[0];
      EXPECT_GT(field(out[0], "refused"), 0) << out[0];
    }
  }
}

TEST_F(EscapesE2eTest, SigcontDoesNotCutASleepShort) {
  const auto p = start({"sleep", "2"}, "sleep");
  ASSERT_TRUE(waitFor([&] { return hasLine("sleep", "sleeping"); }));
  // Continue signals all through the sleep, as a shell bringing it back would.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!endsWithin(*p, 0.05) && std::chrono::steady_clock::now() < giveUp) ::kill(p->pid(), SIGCONT);
  EXPECT_EQ(p->wait(), 0) << text("sleep.err");
  EXPECT_EQ(lines("sleep.out"), (Lines{"sleeping", "slept left=0"}));
}

TEST_F(EscapesE2eTest, ResumeStillEndsSessionAnswersWhenTheProgramTakesSigcont) {
  startSpringBoard();
  answers({"6 0 0", "1 0 0"});
  const std::string p = tracker_.port();
  const auto client = start({"own-continue", "asked", temp_.dir() + "/test/questions", kTrackerIp, p, "tcp",
                             kTrackerIp, p, "wait-line", "until-refused", kTrackerIp, p, "continues"},
                            "resume");
  ASSERT_TRUE(waitFor([&] { return hasLine("resume", "waiting"); })) << text("resume.err");
  EXPECT_EQ(lines("resume.out"), (Lines{"tcp" + kOk, "tcp" + kOk, "waiting"})) << "allowed for the session";
  EXPECT_EQ(questions().size(), 1u);
  ASSERT_EQ(::kill(client->pid(), SIGCONT), 0);
  client->writeLine("go");
  ASSERT_TRUE(endsWithin(*client, 60));
  EXPECT_EQ(client->wait(), 0) << text("resume.err");
  // Resumed: the session answer is gone, so the program is asked again.
  EXPECT_EQ(lines("resume.out"),
            (Lines{"tcp" + kOk, "tcp" + kOk, "waiting", "tcp" + kRefused, "continues=1"}));
  EXPECT_EQ(questions().size(), 2u);
}

TEST_F(EscapesE2eTest, ConnectionMadeBeforeMainIsJudged) {
  writeGlobal({"*.tracker.example"});
  EXPECT_EQ(escapeClient({"ctor-tcp", kTrackerIp, tracker_.port(), "tcp", kTrackerIp, tracker_.port()}),
            (Lines{"ctor-tcp" + kRefused, "tcp" + kRefused}));
}

TEST_F(EscapesE2eTest, StreamSendtoIsNotJudgedByItsIgnoredAddress) {
  writeGlobal({"*.tracker.example"});
  EXPECT_EQ(escapeClient({"streamsendto", kShopIp, shop_.port(), kTrackerIp, tracker_.port()}),
            (Lines{"streamsendto" + kOk}));
}

TEST_F(EscapesE2eTest, MemoryExhaustedDuringAJudgedConnectDoesNotTakeTheProgramDown) {
  writeGlobal({"*.tracker.example"}, {kShopName});
  EXPECT_EQ(escapeClient({"oom", kShopIp, shop_.port(), "tcp", kTrackerIp, tracker_.port()}),
            (Lines{"oom" + kOk, "tcp" + kRefused}));
}

// 8 programs of 16 threads connect and send while SIGUSR1 hits their threads
// every 200 us and the handler connects (refused) and sends (allowed). No
// deadlock, no crash, and the handler's refused destination never passes.
// KST_STORM_SECONDS sets the length (3 s by default).
TEST_F(EscapesE2eTest, SignalStormOverManyThreadsAndPrograms) {
  const char* env = std::getenv("KST_STORM_SECONDS");
  const std::string seconds = env != nullptr ? env : "3";
  writeGlobal({"*.tracker.example"}, {kShopName});
  // A port nothing listens on: an allowed connect is refused by the kernel.
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, kShopIp, &a.sin_addr);
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(probe);
  const std::string port = std::to_string(ntohs(a.sin_port));

  std::vector<std::unique_ptr<Process>> programs;
  for (int i = 0; i < 8; ++i)
    programs.push_back(
        start({"storm", seconds, "16", kShopIp, kTrackerIp, port}, "storm" + std::to_string(i)));
  for (int i = 0; i < 8; ++i) {
    const std::string name = "storm" + std::to_string(i);
    ASSERT_TRUE(endsWithin(*programs[static_cast<std::size_t>(i)], std::atof(seconds.c_str()) + 120))
        << name << " hangs";
    EXPECT_EQ(programs[static_cast<std::size_t>(i)]->wait(), 0) << text(name + ".err");
    const Lines out = lines(name + ".out");
    ASSERT_EQ(out.size(), 1u) << text(name + ".err");
    std::cout << name << ": " << out[0] << "\n";
    EXPECT_GT(field(out[0], "signals"), 0) << out[0];
    EXPECT_EQ(field(out[0], "workerRefused"), 0) << out[0];
    EXPECT_EQ(field(out[0], "handlerConnectPassed"), 0) << out[0];
    EXPECT_GT(field(out[0], "handlerConnectRefused") + field(out[0], "handlerSendOk"), 0) << out[0];
  }
}

}  // namespace
}  // namespace kst::e2e
