// Many programs asking at once, with the real shell: every question gets a
// prompt of its own, one after another; each prompt takes the first tap
// after its first moments; every answer reaches the program that asked; a
// program that goes away is skipped.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <set>
#include <thread>

#include "ShellFixture.h"
#include "XDesktop.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/springboard/ControlProtocol.h"

namespace kst::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// A person answers each prompt this long after it appears (past its 0.3 s
// of ignored touches).
constexpr auto kAnswerDelay = std::chrono::milliseconds(500);
// How long the programs asking together may take in all; generous for a
// loaded machine (about 6 s are expected).
constexpr double kAllAnsweredWithin = 30.0;
constexpr int kPrograms = 8;
// From an answer to the next prompt on screen; well under the 5 s that
// nested prompts used to cost, and generous for a loaded machine.
constexpr double kNextPromptWithin = 3.0;

class QueueTest : public ShellTest {
 protected:
  // The shell's control socket, straight: quicker than springboard-ctl for
  // watching.
  plist::Dictionary control(const std::string& command, const std::string& argument = "") {
    plist::Dictionary info;
    info.set(springboard::kArgumentKey, argument);
    return MessagingCenter::centerNamed(springboard::kControlService, DeviceRoot(temp_.dir()))
        ->sendMessageAndReceiveReply(command, &info);
  }
  std::string quickState() {
    const plist::Dictionary reply = control(springboard::kStateCommand);
    const std::string* out = reply.string(springboard::kOutputKey);
    return out != nullptr ? *out : std::string();
  }
  // Waits for a prompt on screen whose line `prefix` is not in `done`;
  // returns that line's text (empty when none came).
  std::string nextPrompt(const std::string& prefix, const std::set<std::string>& done, double seconds = 20) {
    std::string found;
    waitFor(
        [&] {
          const std::string s = quickState();
          if (s.rfind(springboard::kPromptShownLine, 0) != 0) return false;
          found = lineOf(s, prefix);
          return !found.empty() && done.count(found) == 0;
        },
        seconds);
    return done.count(found) == 0 ? found : std::string();
  }
  // The hosts file names h0.example ... as 127.0.0.40 ...
  static std::string hostIp(int i) { return "127.0.0." + std::to_string(40 + i); }
  static std::string hostName(int i) { return "h" + std::to_string(i) + ".example"; }
};

TEST_F(QueueTest, EightProgramsAtOnceEachPromptTakesItsFirstTapAndEachAnswerReachesItsProgram) {
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  std::vector<Process*> programs;
  for (int i = 0; i < kPrograms; ++i)
    programs.push_back(&startClient("com.example.app" + std::to_string(i), "c" + std::to_string(i), kShopIp,
                                    server.port(), "App" + std::to_string(i)));
  const auto start = Clock::now();
  for (Process* p : programs) p->writeLine("go");

  // Each prompt is answered half a second after it appears; the odd ones
  // are denied, so an answer that reached the wrong program shows.
  std::set<std::string> done;
  for (int n = 0; n < kPrograms; ++n) {
    const std::string question = nextPrompt("question: ", done);
    ASSERT_FALSE(question.empty()) << "prompt " << n << " never showed\n"
                                   << quickState() << text("shell.err");
    const auto appeared = Clock::now();
    done.insert(question);
    const int i = question[3] - '0';  // "App<i> tries to contact ..."
    std::this_thread::sleep_until(appeared + kAnswerDelay);
    if (i % 2 == 1) {
      ASSERT_EQ(ctl({"select", "mode", "1"}), 0) << text("ctl.err");
    }
    ASSERT_EQ(ctl({"tap", "Once"}), 0)
        << "the first tap on " << question << " was not taken: " << text("ctl.err");
  }
  for (int i = 0; i < kPrograms; ++i) {
    const Lines out = results("c" + std::to_string(i), 1);
    ASSERT_EQ(out.size(), 1u) << "program " << i << " got no answer";
    EXPECT_EQ(out[0], "tcp" + (i % 2 == 0 ? kOk : kRefused)) << "program " << i;
  }
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  std::cout << "[ measured ] " << kPrograms << " programs answered in " << took << " s\n";
  EXPECT_LT(took, kAllAnsweredWithin);
  EXPECT_EQ(done.size(), static_cast<std::size_t>(kPrograms));
  EXPECT_NE(quickState().find(springboard::kPromptNoneLine), std::string::npos);
}

TEST_F(QueueTest, EightProcessesOfOneApplicationAnsweredAlwaysLeaveEightRules) {
  std::string hosts = hostsFileText();
  std::vector<std::unique_ptr<Server>> servers;
  for (int i = 0; i < kPrograms; ++i) {
    hosts += hostIp(i) + " " + hostName(i) + "\n";
    servers.push_back(std::make_unique<Server>(hostIp(i)));
    ASSERT_TRUE(servers.back()->ok());
  }
  writeText("/etc/hosts", hosts);
  startShell();
  std::vector<Process*> programs;
  for (int i = 0; i < kPrograms; ++i)
    programs.push_back(
        &startClient("com.example.mail", "m" + std::to_string(i), hostIp(i), servers[i]->port()));
  for (Process* p : programs) p->writeLine("go");

  std::set<std::string> done;
  for (int n = 0; n < kPrograms; ++n) {
    const std::string host = nextPrompt("host: ", done);
    ASSERT_FALSE(host.empty()) << "prompt " << n << " never showed\n" << quickState();
    const auto appeared = Clock::now();
    done.insert(host);
    std::this_thread::sleep_until(appeared + kAnswerDelay);
    ASSERT_EQ(ctl({"tap", "Always"}), 0) << text("ctl.err");
  }
  for (int i = 0; i < kPrograms; ++i) EXPECT_EQ(results("m" + std::to_string(i), 1), (Lines{"tcp" + kOk}));
  // Every answer's rule is stored: none replaced another's.
  const auto rules = readPlist(files::kRulesPath);
  ASSERT_TRUE(rules);
  const plist::Dictionary* entry = rules->dictionary("com.example.mail");
  ASSERT_NE(entry, nullptr);
  const plist::Array* allow = entry->array("allow");
  ASSERT_NE(allow, nullptr);
  std::set<std::string> stored;
  for (const plist::Value& rule : *allow) stored.insert(*rule.asDictionary()->string(files::kRuleKey));
  std::set<std::string> expected;
  for (int i = 0; i < kPrograms; ++i) expected.insert(hostName(i));
  EXPECT_EQ(stored, expected);
  EXPECT_EQ(allow->size(), static_cast<std::size_t>(kPrograms));
}

TEST_F(QueueTest, ATapInThePromptsFirstMomentsOrOnAMissingButtonFailsAndSaysSo) {
  Server server(kShopIp);
  startShell();
  // Tapping from before the prompt appears: the first tap that finds it
  // falls in its first moments, and is refused. It tells only when its
  // answer came soon after the last "no prompt" was asked (the prompt
  // appeared in between); a stalled machine may take longer than those
  // moments, and then another program tries.
  constexpr auto kCloseFollow = std::chrono::milliseconds(250);
  constexpr int kAttempts = 3;
  bool seen = false;
  for (int attempt = 0; attempt < kAttempts && !seen; ++attempt) {
    const std::string name = "client" + std::to_string(attempt);
    Process& program = startClient("com.example.mail", name, kShopIp, server.port());
    program.writeLine("go");
    plist::Dictionary reply;
    std::string said;
    Clock::time_point lastNone = Clock::now();
    Clock::time_point found = lastNone;
    ASSERT_TRUE(waitFor([&] {
      const Clock::time_point asked = Clock::now();
      reply = control(springboard::kTapCommand, "Once");
      const std::string* out = reply.string(springboard::kOutputKey);
      said = out != nullptr ? *out : std::string();
      if (out == nullptr || said.find("no prompt on screen") != std::string::npos) {
        lastNone = asked;
        return false;
      }
      found = Clock::now();  // the tap was served before this
      return true;
    }));
    if (found - lastNone <= kCloseFollow) {
      seen = true;
      EXPECT_FALSE(plist::boolValue(reply.find(springboard::kOkKey))) << said;
      EXPECT_NE(said.find("ignores touches"), std::string::npos) << said;
    }

    // Once it takes touches, a tap on a button it does not have fails too;
    // the first tap on one it has answers it.
    if (plist::boolValue(reply.find(springboard::kOkKey))) {
      EXPECT_EQ(results(name, 1), (Lines{"tcp" + kOk}));
      continue;
    }
    ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
    EXPECT_EQ(quickState().find(springboard::kTouchesIgnoredLine), std::string::npos);
    std::string out;
    EXPECT_EQ(ctl({"tap", "Nope"}, &out), 1);
    EXPECT_NE(out.find("no button \"Nope\""), std::string::npos) << out;
    EXPECT_EQ(ctl({"select", "nothing", "0"}, &out), 1);
    ASSERT_EQ(ctl({"tap", "Once"}), 0) << text("ctl.err");
    EXPECT_EQ(results(name, 1), (Lines{"tcp" + kOk}));
  }
  EXPECT_TRUE(seen) << "no tap came close enough after the prompt appeared in " << kAttempts << " tries";
}

TEST_F(QueueTest, AProgramThatExitsWhileItsQuestionWaitsOrShowsIsSkipped) {
  Server server(kShopIp);
  startShell();
  Process& first = startClient("com.example.first", "first", kShopIp, server.port(), "First");
  first.writeLine("go");
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
  Process& second = startClient("com.example.second", "second", kShopIp, server.port(), "Second");
  Process& third = startClient("com.example.third", "third", kShopIp, server.port(), "Third");
  second.writeLine("go");
  third.writeLine("go");
  // Both questions are in line once their programs poll while the first
  // prompt shows; give them the time to get there.
  ASSERT_TRUE(waitFor([&] {
    return std::filesystem::exists(temp_.dir() + "/second.err") &&
           std::filesystem::exists(temp_.dir() + "/third.err");
  }));
  std::this_thread::sleep_for(std::chrono::seconds(1));

  ::kill(second.pid(), SIGKILL);  // waiting in line (or still polling)
  second.wait();
  ::kill(first.pid(), SIGKILL);  // its prompt is on screen
  first.wait();
  // The first prompt closes and the third program's shows; the second's never.
  const std::string next = nextPrompt("question: ", {"First tries to contact (port " + server.port() + "):"});
  EXPECT_NE(next.find("Third tries"), std::string::npos) << next << "\n" << quickState();
  ASSERT_EQ(ctl({"wait-prompt", "20"}), 0);
  ASSERT_EQ(ctl({"tap", "Once"}), 0) << text("ctl.err");
  EXPECT_EQ(results("third", 1), (Lines{"tcp" + kOk}));
  const std::string s = quickState();
  EXPECT_NE(s.find("answer: dismissed " + std::string(kShopName)), std::string::npos) << s;
  EXPECT_EQ(s.find("Second tries"), std::string::npos);
  EXPECT_NE(s.find(springboard::kPromptNoneLine), std::string::npos) << s;
}

// The same on an X server with a window manager, answered by real clicks
// at the answer button's place on the screen. Skipped without Xvfb,
// openbox or xdotool (scripts/install-deps.sh installs them).
class QueueOnXTest : public QueueTest {
 protected:
  void SetUp() override {
    if (const std::string why = XDesktop::missing(); !why.empty()) GTEST_SKIP() << why;
    if (onPath("xdotool").empty()) GTEST_SKIP() << "xdotool is not installed";
    QueueTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    desktop_ = std::make_unique<XDesktop>(temp_.dir());
    ASSERT_TRUE(desktop_->start()) << desktop_->error();
  }
  void TearDown() override {
    clients_.clear();
    shell_.reset();
    desktop_.reset();
    QueueTest::TearDown();
  }
  Env shellEnv() const override { return desktop_->env(env()); }
  // Clicks the first mouse button at x, y of the screen.
  int click(const std::string& x, const std::string& y) {
    return desktop_->tool({"xdotool", "mousemove", x, y, "click", "1"}).first;
  }

  std::unique_ptr<XDesktop> desktop_;
};

TEST_F(QueueOnXTest, SixProgramsAtOnceEachPromptTakesItsFirstClick) {
  constexpr int kOnX = 6;
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  std::vector<Process*> programs;
  for (int i = 0; i < kOnX; ++i)
    programs.push_back(&startClient("com.example.app" + std::to_string(i), "c" + std::to_string(i), kShopIp,
                                    server.port(), "App" + std::to_string(i)));
  const auto start = Clock::now();
  for (Process* p : programs) p->writeLine("go");

  std::set<std::string> done;
  double longestGap = 0;
  Clock::time_point answered = start;
  for (int n = 0; n < kOnX; ++n) {
    const std::string question = nextPrompt("question: ", done);
    ASSERT_FALSE(question.empty()) << "prompt " << n << " never showed\n"
                                   << quickState() << text("shell.err");
    const auto appeared = Clock::now();
    if (n > 0) longestGap = std::max(longestGap, std::chrono::duration<double>(appeared - answered).count());
    done.insert(question);
    std::this_thread::sleep_until(appeared + kAnswerDelay);
    // "at: Once X Y": where the button is on the screen now.
    const std::string at = lineOf(quickState(), "at: Once ");
    const auto space = at.find(' ');
    ASSERT_NE(space, std::string::npos) << quickState();
    ASSERT_EQ(click(at.substr(0, space), at.substr(space + 1)), 0) << text("tool.err");
    answered = Clock::now();
    // The first click answers it: the prompt goes (the next one may show).
    EXPECT_TRUE(waitFor([&] { return quickState().find("question: " + question) == std::string::npos; }, 5))
        << "the first click on " << question << " was not taken";
  }
  for (int i = 0; i < kOnX; ++i) EXPECT_EQ(results("c" + std::to_string(i), 1), (Lines{"tcp" + kOk})) << i;
  std::cout << "[ measured ] on X: " << kOnX << " programs answered in "
            << std::chrono::duration<double>(Clock::now() - start).count()
            << " s; longest wait from a click to the next prompt " << longestGap << " s\n";
  EXPECT_LT(longestGap, kNextPromptWithin);
}

}  // namespace
}  // namespace kst::e2e
