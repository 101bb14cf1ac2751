#include "platform/springboard/CtlWatch.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

namespace kst::springboard {
namespace {

const char* const kState =
    "prompt: shown\n"
    "question: Mail tries to contact (port 443):\n"
    "host: imap.mail.example\n"
    "url:  \n"
    "control mode: Allow|Deny selected=1 enabled=1\n"
    "control hostForm: normal|*host|*.host selected=0 enabled=1\n"
    "control port: all ports|only this port selected=0 enabled=1\n"
    "control hostParts: imap|mail|example selected=- enabled=0\n"
    "button: Once\n"
    "button: Session\n"
    "button: All Session\n"
    "button: Always\n"
    "button: All Connections (disabled)\n"
    "button: Always & Global\n"
    "button: i\n"
    "hostParts panel: hidden\n";

TEST(CtlWatchTest, StateIsReadBackAsThePromptShowsIt) {
  const PromptView p = PromptView::parse(kState);
  ASSERT_TRUE(p.shown);
  EXPECT_EQ(p.question, "Mail tries to contact (port 443):");
  EXPECT_EQ(p.host, "imap.mail.example");
  ASSERT_EQ(p.controls.size(), 4u);
  EXPECT_EQ(p.controls[0].segments, (std::vector<std::string>{"Allow", "Deny"}));
  EXPECT_EQ(p.controls[0].selected, (std::vector<int>{1}));
  EXPECT_TRUE(p.controls[3].selected.empty());
  EXPECT_FALSE(p.controls[3].enabled);
  EXPECT_EQ(p.buttons.size(), 7u);

  const std::string shown = describeForTerminal(p);
  EXPECT_NE(shown.find("mode: Allow [Deny]"), std::string::npos) << shown;
  EXPECT_NE(shown.find("hostForm: [normal] *host *.host"), std::string::npos) << shown;
  EXPECT_NE(shown.find("4 Always"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("hostParts"), std::string::npos) << "the part panel is the screen's business";

  EXPECT_FALSE(PromptView::parse("prompt: none\n").shown);
  EXPECT_FALSE(PromptView::parse("").shown);
  // Junk never throws and never invents a control.
  const PromptView junk =
      PromptView::parse("prompt: shown\ncontrol mode\ncontrol x: a selected=99999999999 enabled=1\n");
  ASSERT_EQ(junk.controls.size(), 1u);
  EXPECT_TRUE(junk.controls[0].selected.empty());
}

TEST(CtlWatchTest, KeysAreTheSegmentsAndTheSixAnswers) {
  const PromptView p = PromptView::parse(kState);
  auto cmd = [&](char key) {
    const auto c = commandForKey(key, p);
    return c ? c->command + " " + c->argument : std::string("-");
  };
  EXPECT_EQ(cmd('a'), "select mode 0");
  EXPECT_EQ(cmd('d'), "select mode 1");
  EXPECT_EQ(cmd('.'), "select hostForm 2");
  EXPECT_EQ(cmd('o'), "select port 1");
  EXPECT_EQ(cmd('1'), "tap Once");
  EXPECT_EQ(cmd('4'), "tap Always");
  EXPECT_EQ(cmd('5'), "tap All Connections") << "a disabled button is still named; the shell refuses the tap";
  EXPECT_EQ(cmd('6'), "tap Always & Global");
  EXPECT_EQ(cmd('7'), "-") << "the seventh button is no answer";
  EXPECT_EQ(cmd('x'), "-");
  EXPECT_FALSE(commandForKey('1', PromptView{}));
}

// The loop on a real pseudo-terminal, against a control socket stand-in.
class WatchLoop : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0); }
  void TearDown() override {
    if (master_ >= 0) ::close(master_);
    ::close(slave_);
  }
  CtlReply ask(const std::string& command, const std::string& argument) {
    std::lock_guard<std::mutex> lock(mu_);
    if (command == "state") {
      ++states_;
      return {true, true, promptUp_ ? kState : "prompt: none\n"};
    }
    sent_.push_back(command + " " + argument);
    if (command == "tap" && argument == "Always") promptUp_ = false;
    return {true, argument != "All Connections", "button \"All Connections\" is disabled\n"};
  }
  std::vector<std::string> sent() {
    std::lock_guard<std::mutex> lock(mu_);
    return sent_;
  }
  bool waitForSent(std::size_t n) {
    for (int i = 0; i < 500 && sent().size() < n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return sent().size() >= n;
  }
  std::future<int> start() {
    return std::async(std::launch::async, [this] {
      return watchPrompts(slave_, [this](const std::string& c, const std::string& a) { return ask(c, a); });
    });
  }
  void type(char key) { ASSERT_EQ(::write(master_, &key, 1), 1); }

  int master_ = -1, slave_ = -1;
  std::mutex mu_;
  bool promptUp_ = true;
  std::atomic<int> states_{0};
  std::vector<std::string> sent_;
};

TEST_F(WatchLoop, TypedKeysAnswerAndQuitEndsIt) {
  std::future<int> done = start();
  type('d');
  type('5');
  type('4');
  ASSERT_TRUE(waitForSent(3));
  EXPECT_EQ(sent(), (std::vector<std::string>{"select mode 1", "tap All Connections", "tap Always"}));
  // Gone from the screen: keys mean nothing until the next prompt.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  type('1');
  type('q');
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(done.get(), 0);
  EXPECT_EQ(sent().size(), 3u);
}

TEST_F(WatchLoop, ATerminalThatClosesEndsTheWatch) {
  std::future<int> done = start();
  for (int i = 0; i < 500 && states_.load() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GE(states_.load(), 2) << "watching";
  ::close(master_);
  master_ = -1;
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(done.get(), 0);
}

TEST(CtlWatchTest, WithoutATerminalItRefusesToRun) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_EQ(watchPrompts(fds[0], [](const std::string&, const std::string&) { return CtlReply{}; }), 2);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace kst::springboard
