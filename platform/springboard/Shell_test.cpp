#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/springboard/ControlProtocol.h"
#include "platform/springboard/ControlServer.h"
#include "platform/springboard/DeviceState.h"
#include "platform/springboard/QtRunLoop.h"
#include "platform/springboard/ShellTray.h"
#include "platform/springboard/ShellWindow.h"
#include "platform/testing/TempRoot.h"

namespace kst::springboard {
namespace {

constexpr const char* kTestMarker = "/var/mobile/Library/Preferences/test.disabled";

QApplication& app() {
  static QApplication* a = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "shell-test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *a;
}

class QtRunLoopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { app(); }
  void SetUp() override { loop_.attach(); }
  ManualClock clock_;
  QtRunLoop loop_{clock_};
};

TEST_F(QtRunLoopTest, TimersFollowTheLoopsClock) {
  int fired = 0;
  loop_.addTimer(Seconds(60), [&] { ++fired; });
  const auto cancelled = loop_.addTimer(Seconds(30), [&] { fired += 100; });
  loop_.cancelTimer(cancelled);
  loop_.runFor(Seconds(0));
  QTest::qWait(20);
  EXPECT_EQ(fired, 0);
  clock_.advance(Seconds(59));
  loop_.runFor(Seconds(0));
  EXPECT_EQ(fired, 0);
  clock_.advance(Seconds(1));
  EXPECT_TRUE(QTest::qWaitFor([&] { return fired == 1; }, 5000));
}

TEST_F(QtRunLoopTest, RepeatingTimerKeepsFiringUntilCancelled) {
  int fired = 0;
  const auto id = loop_.addTimer(
      Seconds(0.5), [&] { ++fired; }, Seconds(0.5));
  for (int i = 0; i < 3; ++i) {
    clock_.advance(Seconds(0.5));
    loop_.runFor(Seconds(0));
  }
  EXPECT_EQ(fired, 3);
  loop_.cancelTimer(id);
  clock_.advance(Seconds(5));
  loop_.runFor(Seconds(0));
  EXPECT_EQ(fired, 3);
}

TEST_F(QtRunLoopTest, WorkFromOtherThreadsRunsOnTheMainThread) {
  std::atomic<bool> onMain{false};
  std::atomic<bool> waited{false};
  std::thread other([&] {
    loop_.performAndWait([&] { onMain = loop_.isLoopThread() && RunLoop::current() == &loop_; });
    waited = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return waited.load(); }, 10000));
  other.join();
  EXPECT_TRUE(onMain);
  bool inline_ = false;
  loop_.performAndWait([&] { inline_ = true; });  // on the loop's thread: at once
  EXPECT_TRUE(inline_);
}

TEST_F(QtRunLoopTest, DescriptorSourceIsNotReenteredByANestedRun) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int calls = 0;
  int nestedCalls = 0;
  bool performed = false;
  RunLoop::SourceId id = 0;
  id = loop_.addFdSource(fds[0], [&] {
    ++calls;
    const int before = calls;
    loop_.perform([&] { performed = true; });
    loop_.runFor(Seconds(0));  // nested: the perform runs, this source does not
    nestedCalls += calls - before;
    char buf[8];
    [[maybe_unused]] ssize_t n = ::read(fds[0], buf, sizeof buf);
  });
  [[maybe_unused]] ssize_t n = ::write(fds[1], "x", 1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return calls >= 1; }, 5000));
  EXPECT_TRUE(performed);
  EXPECT_EQ(nestedCalls, 0);
  loop_.removeFdSource(id);
  n = ::write(fds[1], "y", 1);
  QTest::qWait(50);
  EXPECT_EQ(calls, 1);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(QtRunLoopTest, RunForEndsWhenTheClockPassesTheDeadline) {
  std::thread advancer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    clock_.advance(Seconds(0.3));
  });
  const auto start = clock_.now();
  loop_.runFor(Seconds(0.2));  // returns only because the clock moved
  EXPECT_GE(clock_.now() - start, Clock::toDuration(Seconds(0.2)));
  advancer.join();
}

TEST(QtRunLoopBeforeAttach, PerformAndWaitOnTheMainThreadRunsAtOnce) {
  QtRunLoop loop;
  bool ran = false;
  loop.performAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);
  bool queued = false;
  loop.perform([&] { queued = true; });
  loop.runFor(Seconds(0));  // before attach: serves what is queued
  EXPECT_TRUE(queued);
}

TEST(DeviceStateTest, AlertsQueueBehindTheVisibleOne) {
  DeviceState& d = DeviceState::shared();
  AlertItem* a = d.makeAlertItem("A");
  AlertItem* b = d.makeAlertItem("B");
  d.activateAlert(a);
  d.activateAlert(b);
  EXPECT_EQ(d.visibleAlert(), a);
  ASSERT_EQ(d.pendingAlerts().size(), 1u);
  d.moveActiveAlertsToPending();
  EXPECT_EQ(d.visibleAlert(), nullptr);
  EXPECT_EQ(d.pendingAlerts().front(), a);
  d.activatePendedAlerts();
  EXPECT_EQ(d.visibleAlert(), a);
  d.deactivateAlert(a);
  d.deactivateAlert(b);
  EXPECT_EQ(d.visibleAlert(), nullptr);
  EXPECT_TRUE(d.pendingAlerts().empty());
}

TEST(DeviceStateTest, LockButtonWakesADarkScreenAndLocksALitOne) {
  DeviceState& d = DeviceState::shared();
  d.setLocked(true);
  d.setDim(true);
  d.lockButtonPressed();
  EXPECT_TRUE(d.locked());
  EXPECT_FALSE(d.dim());
  d.setLocked(false);
  d.lockButtonPressed();
  EXPECT_TRUE(d.locked());
  EXPECT_TRUE(d.dim());
  EXPECT_FALSE(d.setOrientation(7));
  EXPECT_TRUE(d.setOrientation(3));
  d.setOrientation(1);
  d.setLocked(false);
  d.setDim(false);
}

class ControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { app(); }
  std::string run(const std::string& command, const std::string& argument, bool* ok = nullptr) {
    plist::Dictionary info{{kArgumentKey, argument}};
    const plist::Dictionary reply = server_.handle(command, &info);
    if (ok != nullptr) *ok = plist::boolValue(reply.find(kOkKey));
    const std::string* out = reply.string(kOutputKey);
    return out != nullptr ? *out : std::string();
  }
  ShellWindow window_;
  ControlServer server_{DeviceRoot::process(), [this] { return &window_; }};
};

TEST_F(ControlTest, DeviceCommandsChangeTheStateThatStatePrints) {
  bool ok = false;
  EXPECT_EQ(run("state", "").rfind("prompt: none\n", 0), 0u);
  run("lock", "", &ok);
  EXPECT_TRUE(ok);
  EXPECT_NE(run("state", "").find("device: locked=1 dim=1"), std::string::npos);
  run("wake", "");
  EXPECT_NE(run("state", "").find("device: locked=1 dim=0"), std::string::npos);
  run("unlock", "");
  run("dim", "");
  EXPECT_NE(run("state", "").find("device: locked=0 dim=1"), std::string::npos);
  run("wake", "");
  run("orientation", "4", &ok);
  EXPECT_TRUE(ok);
  EXPECT_NE(run("state", "").find("orientation=4"), std::string::npos);
  run("orientation", "x4", &ok);
  EXPECT_FALSE(ok);
  run("orientation", "1");
  EXPECT_NE(run("tap", "Always", &ok).find("no prompt"), std::string::npos);
  EXPECT_FALSE(ok);
  EXPECT_NE(run("select", "mode", &ok).find("usage"), std::string::npos);
  EXPECT_FALSE(ok);
}

TEST_F(ControlTest, AlertAndScreenshotOfTheShellWindow) {
  bool ok = false;
  run("alert", "Calendar: lunch", &ok);
  EXPECT_TRUE(ok);
  EXPECT_NE(run("state", "").find("\nalert: Calendar: lunch\n"), std::string::npos);
  window_.refresh();
  EXPECT_TRUE(window_.findChild<QLabel*>("alerts")->text().contains("Calendar: lunch"));
  DeviceState::shared().noteAnswer("alwaysAllow mail.example.com");
  window_.refresh();
  const std::string file = std::string(KST_ARTEFACT_DIR) + "/screenshots/shell-window.png";
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  run("screenshot", file, &ok);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(std::filesystem::exists(file));
  run("screenshot", "/nonexistent/dir/x.png", &ok);
  EXPECT_FALSE(ok);
  DeviceState::shared().deactivateAlert(DeviceState::shared().visibleAlert());
}

// A peer of the control socket cannot grow the shell without bound: the
// items live until the shell exits, so their number and size are capped.
TEST_F(ControlTest, AlertsAreBoundedInNumberAndSize) {
  bool ok = true;
  EXPECT_NE(run("alert", std::string(kMaxAlertText + 1, 'x'), &ok).find("at most"), std::string::npos);
  EXPECT_FALSE(ok);
  std::size_t made = 0;
  for (std::size_t i = 0; i < kMaxAlertItems + 10; ++i) {
    run("alert", std::string(kMaxAlertText, 'a'), &ok);
    if (ok) ++made;
  }
  EXPECT_EQ(made, kMaxAlertItems);
  EXPECT_NE(run("alert", "one more", &ok).find("the most it keeps"), std::string::npos);
  EXPECT_FALSE(ok);
  // The shell goes on answering.
  run("lock", "", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(DeviceState::shared().pendingAlerts().size() + 1, kMaxAlertItems);
}

TEST_F(ControlTest, LockToggleLocksTheDevice) {
  auto* toggle = window_.findChild<QCheckBox*>("lockToggle");
  ASSERT_NE(toggle, nullptr);
  EXPECT_EQ(toggle->accessibleName(), "Locked");
  toggle->click();
  EXPECT_TRUE(DeviceState::shared().locked());
  toggle->click();
  EXPECT_FALSE(DeviceState::shared().locked());
}

// The status icon's menu, on a desktop without a status area (offscreen):
// pausing writes the marker the settings switch writes, the titles follow
// it, and the newest answers are listed.
TEST(ShellTrayTest, PauseResumeAndTheLastAnswers) {
  app();
  testing::TempRoot temp;
  const std::string marker = temp.path(kTestMarker);
  ShellTray tray(PauseSwitch(temp.root(), kTestMarker, "com.example.test.reload"),
                 "/nonexistent/KestrixPanel");
  auto* pause = tray.menu()->findChild<QAction*>("pauseKestrix");
  ASSERT_NE(pause, nullptr);
  EXPECT_EQ(pause->text(), "Pause Kestrix");
  EXPECT_EQ(tray.state(), ShellTray::State::kOn);
  pause->trigger();
  EXPECT_TRUE(std::filesystem::exists(marker));
  EXPECT_EQ(pause->text(), "Resume Kestrix");
  EXPECT_EQ(tray.state(), ShellTray::State::kPaused);
  pause->trigger();
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(tray.state(), ShellTray::State::kOn);

  for (int i = 0; i < 7; ++i) DeviceState::shared().noteAnswer("answer " + std::to_string(i));
  DeviceState::shared().noteAnswer("alwaysDeny ads.example");
  tray.refresh();
  QStringList listed;
  for (const QAction* a : tray.menu()->actions())
    if (a->objectName() == "answer") listed << a->text();
  ASSERT_EQ(listed.size(), 5);
  EXPECT_EQ(listed.front(), "ads.example: always denied") << "in words, not the answer's code name";
  EXPECT_EQ(listed[1], "answer 6");
  EXPECT_EQ(listed.back(), "answer 3");
  // Starting a settings program that is not there is logged, not fatal.
  tray.menu()->findChild<QAction*>("openSettings")->trigger();
}

// A marker that cannot be written leaves the firewall as it was.
TEST(ShellTrayTest, APauseThatCannotBeWrittenChangesNothing) {
  testing::TempRoot temp;
  // A file where the marker's folder should be.
  std::ofstream(temp.dir() + "/blocked") << "x";
  const PauseSwitch pause(temp.root(), "/blocked/marker", "com.example.test.reload");
  EXPECT_FALSE(pause.setPaused(true));
  EXPECT_FALSE(pause.paused());
  EXPECT_TRUE(pause.setPaused(false));
}

}  // namespace
}  // namespace kst::springboard
