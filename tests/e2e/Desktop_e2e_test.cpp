// Kestrix on a real X desktop (Xvfb with openbox): the shell as the user
// unit starts it, its prompts beside a terminal someone types in, over a
// full-screen window, and its status icon in a tray.

#include <sstream>

#include "AccessibilityBus.h"
#include "ShellFixture.h"
#include "XDesktop.h"
#include "hook/rules/KstFiles.h"
#include "platform/plist/PlistFile.h"

namespace kst::e2e {
namespace {

constexpr double kPromptSeconds = 20;
// From "Once" up to the question line, in the portrait prompt.
constexpr int kOnceBelowQuestion = 240;
// How far from the screen's edge the panel test moves the window.
constexpr int kMoveMargin = 40;
// Longer than the prompt's fade-in, for screenshots only.
constexpr auto kFadeIn = std::chrono::milliseconds(800);
// xdotool's pause between keys: slow enough for a loaded machine's X
// server to keep every key in order.
constexpr const char* kTypeDelayMs = "30";

class DesktopTest : public ShellTest {
 protected:
  void SetUp() override {
    if (const std::string why = XDesktop::missing(); !why.empty()) GTEST_SKIP() << why;
    ShellTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const auto [width, height] = screenSize();
    desktop_ = std::make_unique<XDesktop>(temp_.dir(), width, height);
    ASSERT_TRUE(desktop_->start()) << desktop_->error();
  }
  void TearDown() override {
    // The programs on the desktop go before it, the X server last.
    clients_.clear();
    shell_.reset();
    desktop_.reset();
    ShellTest::TearDown();
  }
  Env shellEnv() const override { return desktop_->env(env()); }
  virtual std::pair<int, int> screenSize() const { return {XDesktop::kWidth, XDesktop::kHeight}; }

  bool promptWaits() { return ctl({"wait-prompt", std::to_string(static_cast<int>(kPromptSeconds))}) == 0; }
  // Where the prompt's button of that title is on the screen: "X Y".
  std::vector<std::string> locate(const std::string& title) {
    std::string out;
    if (ctl({"locate", title}, &out) != 0) return {};
    std::istringstream in(out);
    std::string x, y;
    in >> x >> y;
    return {x, y};
  }
  void click(const std::vector<std::string>& at) {
    ASSERT_EQ(at.size(), 2u);
    desktop_->xdotool({"mousemove", at[0], at[1]});
    desktop_->xdotool({"click", "1"});
  }
  Process& startClient(const std::string& bundle, const std::string& name, const std::string& port) {
    return ShellTest::startClient(bundle, name, kShopIp, port, "App");
  }
  Lines results(const std::string& name, std::size_t count) {
    waitFor([&] { return lines(name + ".out").size() >= count; }, kPromptSeconds);
    return lines(name + ".out");
  }
  // The prompt fades in; its screenshot shows it whole.
  void promptScreenshot(const std::string& name) {
    std::this_thread::sleep_for(kFadeIn);
    screenshot(name);
  }
  void screenshot(const std::string& name) {
    const std::string file = std::string(KST_ARTEFACT_DIR) + "/desktop/" + name;
    EXPECT_TRUE(desktop_->screenshot(file)) << text("grab.err");
  }

  // A terminal whose typed lines land in `typed`; it has the focus when
  // this returns. Its windows' ids in `windows`.
  std::string startTerminal(const std::string& typed, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {onPath("xterm")};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"-e", "/bin/sh", "-c", "exec cat > " + typed});
    Process& xterm = desktop_->startClient(argv, "xterm");
    std::string focus;
    const bool focused = waitFor([&] {
      const std::string ids = desktop_->xdotool({"search", "--pid", std::to_string(xterm.pid())});
      focus = desktop_->focus();
      return std::filesystem::exists(typed) && !focus.empty() && ids.find(focus) != std::string::npos;
    });
    EXPECT_TRUE(focused) << "the terminal never had the focus: " << text("xterm.err");
    return focus;
  }
  void type(const std::string& line) {
    desktop_->xdotool({"type", "--delay", kTypeDelayMs, line});
    desktop_->xdotool({"key", "Return"});
  }
  bool received(const std::string& typed, const std::string& line) {
    return waitFor([&] { return testing::readText(typed).find(line + "\n") != std::string::npos; });
  }

  std::unique_ptr<XDesktop> desktop_;
};

TEST_F(DesktopTest, TypingStaysWithTheFocusedWindowWhileAPromptWaits) {
  if (onPath("xterm").empty()) GTEST_SKIP() << "xterm is not installed";
  const std::string typed = temp_.dir() + "/typed.txt";
  const std::string before = startTerminal(typed, {"-geometry", "90x20+20+40"});
  ASSERT_FALSE(before.empty());
  type("before the prompt");
  ASSERT_TRUE(received(typed, "before the prompt"));

  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  // No window of the shell's own and, with no tray on this desktop, one
  // line saying so.
  EXPECT_EQ(desktop_->xdotool({"search", "--onlyvisible", "--name", "^SpringBoard$"}), "");
  Process& client = startClient("com.example.typing", "client", server.port());
  client.writeLine("go");
  ASSERT_TRUE(promptWaits()) << text("shell.err");
  EXPECT_EQ(desktop_->focus(), before);
  type("while it asks");
  EXPECT_TRUE(received(typed, "while it asks")) << testing::readText(typed);
  EXPECT_EQ(desktop_->focus(), before);
  // The letters answered nothing: the question still waits.
  EXPECT_EQ(state().rfind("prompt: none", 0), std::string::npos);
  EXPECT_TRUE(lines("client.out").empty());
  promptScreenshot("typing-while-a-prompt-waits.png");

  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  ASSERT_EQ(results("client", 1), Lines{"tcp" + kOk});
  EXPECT_EQ(desktop_->focus(), before);
  type("after the answer");
  EXPECT_TRUE(received(typed, "after the answer"));
  const std::string log = text("shell.err");
  const std::string noTray = "no status area";
  ASSERT_NE(log.find(noTray), std::string::npos) << log;
  EXPECT_EQ(log.find(noTray, log.find(noTray) + 1), std::string::npos) << log;
}

TEST_F(DesktopTest, AClickOnOnceAnswersAtOnceAboveAFullScreenWindow) {
  if (onPath("xterm").empty()) GTEST_SKIP() << "xterm is not installed";
  const std::string typed = temp_.dir() + "/typed.txt";
  const std::string terminal = startTerminal(typed, {"-fullscreen"});
  ASSERT_FALSE(terminal.empty());
  ASSERT_TRUE(waitFor([&] {
    const auto f = desktop_->frame(terminal);
    return f && f->width == XDesktop::kWidth && f->height == XDesktop::kHeight;
  })) << "the terminal never filled the screen";

  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  Process& client = startClient("com.example.click", "client", server.port());
  client.writeLine("go");
  ASSERT_TRUE(promptWaits()) << text("shell.err");
  const std::vector<std::string> once = locate("Once");
  ASSERT_EQ(once.size(), 2u) << text("ctl.err");
  promptScreenshot("prompt-above-a-full-screen-window.png");
  // The pointer over "Once" is over the prompt, not the terminal below it.
  desktop_->xdotool({"mousemove", once[0], once[1]});
  const std::string under = desktop_->xdotool({"getmouselocation", "--shell"});
  EXPECT_EQ(under.find("WINDOW=" + terminal), std::string::npos) << under;
  // A click on the prompt away from its buttons gives it the keyboard.
  const int questionY = std::stoi(once[1]) - kOnceBelowQuestion;
  click({once[0], std::to_string(questionY)});
  EXPECT_TRUE(waitFor([&] { return desktop_->focus() != terminal; })) << "the click left the keyboard";
  EXPECT_EQ(state().rfind("prompt: none", 0), std::string::npos) << "a click on the question answered it";
  click(once);
  ASSERT_EQ(results("client", 1), Lines{"tcp" + kOk}) << text("shell.err");
  EXPECT_EQ(state().rfind("prompt: none", 0), 0u);
}

// The tray line of xwininfo's tree: the shell's icon window inside the
// tray host's panel.
bool iconEmbedded(const std::string& tree) {
  const auto panel = tree.find("(\"panel\" \"trayer\")");
  return panel != std::string::npos &&
         tree.find("(\"springboard\" \"SpringBoard\")", panel) != std::string::npos;
}

// A tray host in the screen's top right corner.
Process& startTrayer(XDesktop& desktop) {
  return desktop.startClient({onPath("trayer"), "--edge", "top", "--align", "right", "--widthtype", "pixel",
                              "--width", "120", "--height", "32"},
                             "trayer");
}

TEST_F(DesktopTest, StatusIconInATrayPausesAndResumesJudging) {
  if (onPath("trayer").empty()) GTEST_SKIP() << "trayer is not installed";
  startTrayer(*desktop_);
  ASSERT_TRUE(waitFor([&] {
    return desktop_->tool({"xwininfo", "-root", "-tree"}).second.find("(\"panel\" \"trayer\")") !=
           std::string::npos;
  })) << text("trayer.err");
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  ASSERT_TRUE(waitFor([&] {
    return iconEmbedded(desktop_->tool({"xwininfo", "-root", "-tree"}).second);
  })) << desktop_->tool({"xwininfo", "-root", "-tree"}).second;
  EXPECT_EQ(text("shell.err").find("no status area"), std::string::npos);
  const std::string icon = desktop_->xdotool({"search", "--class", "^springboard$"});
  std::optional<Frame> at;
  for (std::istringstream ids(icon); !at;) {
    std::string id;
    if (!(ids >> id)) break;
    const auto f = desktop_->frame(id);
    if (f && f->width > 1 && f->y < XDesktop::kHeight / 4) at = f;
  }
  ASSERT_TRUE(at.has_value()) << icon;
  const std::string x = std::to_string(at->x + at->width / 2), y = std::to_string(at->y + at->height / 2);
  const std::string marker = temp_.path(files::kDisabledMarkerPath);
  // Running before the pause: a program started while paused is never
  // judged, as the marker says at its start.
  Process& client = startClient("com.example.paused", "client", server.port());
  client.writeLine("judged");
  ASSERT_TRUE(promptWaits()) << text("shell.err");
  promptScreenshot("status-icon-asking.png");
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  ASSERT_EQ(results("client", 1).size(), 1u);

  // Its menu, second item: "Pause Kestrix".
  auto chooseSecondItem = [&](const std::string& shot) {
    desktop_->xdotool({"mousemove", x, y});
    desktop_->xdotool({"click", "3"});
    ASSERT_TRUE(waitFor([&] {
      return !desktop_->xdotool({"search", "--onlyvisible", "--class", "springboard"}).empty();
    }));
    // The menu takes a moment to map; the screenshot shows it open.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    screenshot(shot);
    desktop_->xdotool({"key", "Down", "Down", "Return"});
  };
  chooseSecondItem("status-icon-menu.png");
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(marker); })) << text("shell.err");
  // Paused: a running program's connection passes unasked.
  client.writeLine("paused");
  ASSERT_EQ(results("client", 2), (Lines{"tcp" + kOk, "tcp" + kOk})) << text("client.err");
  EXPECT_EQ(state().rfind("prompt: none", 0), 0u);

  chooseSecondItem("status-icon-menu-paused.png");
  ASSERT_TRUE(waitFor([&] { return !std::filesystem::exists(marker); })) << text("shell.err");
  client.writeLine("again");
  ASSERT_TRUE(promptWaits()) << text("shell.err");
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(results("client", 3).size(), 3u);
}

TEST_F(DesktopTest, WhenTheDisplayGoesTheShellEndsWithALineAndProgramsGoOn) {
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  Process& client = startClient("com.example.display", "client", server.port());
  client.writeLine("asked");
  ASSERT_TRUE(promptWaits()) << text("shell.err");
  desktop_->killServer();
  ASSERT_TRUE(waitFor([&] { return shell_->ended(); }, kPromptSeconds)) << text("shell.err");
  const std::string log = text("shell.err");
  EXPECT_NE(log.find("springboard: the display went away"), std::string::npos) << log;
  EXPECT_NE(log.find("The X11 connection broke"), std::string::npos)
      << "the toolkit's own line stays: " << log;
  // The question on screen ends as it does when the shell is gone, and the
  // next connection goes ahead unasked.
  EXPECT_EQ(results("client", 1).size(), 1u) << text("client.err");
  client.writeLine("after");
  EXPECT_EQ(results("client", 2).back(), "tcp" + kOk) << text("client.err");
}

TEST_F(DesktopTest, ATrayHostComingAndGoingLeavesTheShellServingAndTheIconFollowsIt) {
  if (onPath("trayer").empty()) GTEST_SKIP() << "trayer is not installed";
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  ASSERT_TRUE(waitFor([&] { return text("shell.err").find("no status area") != std::string::npos; }))
      << text("shell.err");
  const auto embedded = [&] { return iconEmbedded(desktop_->tool({"xwininfo", "-root", "-tree"}).second); };

  // A tray host arrives: the icon goes into it.
  Process* trayer = &startTrayer(*desktop_);
  ASSERT_TRUE(waitFor(embedded)) << desktop_->tool({"xwininfo", "-root", "-tree"}).second;
  screenshot("tray-host-arrived.png");
  // It goes: the shell serves on without it.
  ::kill(trayer->pid(), SIGKILL);
  ASSERT_TRUE(waitFor([&] { return trayer->ended(); }));
  EXPECT_TRUE(waitFor([&] { return !embedded(); }));
  Process& client = startClient("com.example.tray", "client", server.port());
  client.writeLine("without a tray");
  ASSERT_TRUE(promptWaits()) << text("shell.err");
  ASSERT_EQ(ctl({"tap", "Once"}), 0);
  EXPECT_EQ(results("client", 1), Lines{"tcp" + kOk});
  // Another arrives: the icon is back.
  trayer = &desktop_->startClient({onPath("trayer"), "--edge", "top", "--align", "right", "--widthtype",
                                   "pixel", "--width", "120", "--height", "32"},
                                  "trayer2");
  EXPECT_TRUE(waitFor(embedded)) << desktop_->tool({"xwininfo", "-root", "-tree"}).second;
  EXPECT_FALSE(shell_->ended()) << text("shell.err");
  const std::string log = text("shell.err");
  EXPECT_EQ(log.find("no status area", log.find("no status area") + 1), std::string::npos)
      << "said once: " << log;
}

// The first visible window whose name matches, or empty.
std::string visibleWindow(const XDesktop& desktop, const std::string& name) {
  std::istringstream ids(desktop.xdotool({"search", "--onlyvisible", "--name", name}));
  std::string id;
  ids >> id;
  return id;
}

TEST_F(DesktopTest, PanelAlertSitsOnThePanelWindowAndMovesWithIt) {
  desktop_->startClient({KST_PANEL, "--root", temp_.dir()}, "panel", env());
  std::string window, alert;
  ASSERT_TRUE(waitFor([&] {
    window = visibleWindow(*desktop_, "^Kestrix$");
    alert = visibleWindow(*desktop_, "^Thanks for purchasing Kestrix$");
    return !window.empty() && !alert.empty();
  })) << text("panel.err");
  auto alertInside = [&] {
    const auto outer = desktop_->frame(window);
    const auto inner = desktop_->frame(alert);
    return outer && inner && inner->inside(*outer);
  };
  // The window manager places the window after it shows; the alert follows.
  EXPECT_TRUE(waitFor(alertInside)) << desktop_->tool({"xwininfo", "-id", alert}).second
                                    << desktop_->tool({"xwininfo", "-id", window}).second;
  screenshot("panel-introduction-alert.png");

  const auto before = desktop_->frame(window);
  ASSERT_TRUE(before.has_value());
  const int movedX = XDesktop::kWidth - before->width - kMoveMargin, movedY = kMoveMargin;
  desktop_->xdotool({"windowmove", window, std::to_string(movedX), std::to_string(movedY)});
  ASSERT_TRUE(waitFor([&] {
    const auto now = desktop_->frame(window);
    return now && now->x != before->x;
  })) << "the panel window did not move";
  EXPECT_TRUE(waitFor(alertInside)) << desktop_->tool({"xwininfo", "-id", alert}).second
                                    << desktop_->tool({"xwininfo", "-id", window}).second;
  screenshot("panel-introduction-alert-moved.png");
}

// The same desktop with its accessibility bus: what a screen reader or a
// switch device finds, driven by accessible actions alone (no pointer, no
// keys).
class AccessibilityBusTest : public DesktopTest {
 protected:
  void SetUp() override {
    if (const std::string why = AccessibilityBus::missing(); !why.empty()) GTEST_SKIP() << why;
    DesktopTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    bus_ = std::make_unique<AccessibilityBus>(temp_.dir());
    ASSERT_TRUE(bus_->start(desktop_->env({}))) << bus_->error();
  }
  void TearDown() override {
    clients_.clear();
    shell_.reset();
    DesktopTest::TearDown();
    bus_.reset();
  }
  Env shellEnv() const override { return bus_->env(DesktopTest::shellEnv()); }

  // The driver's steps against the application of that accessible name;
  // its status, its lines in `name`.out and the tree on failure in `name`.err.
  int drive(const std::string& app, const std::vector<std::string>& steps, const std::string& name,
            const std::string& seconds = "30") {
    std::vector<std::string> argv = {AccessibilityBus::kPython, KST_E2E_ATSPI_DRIVE, app, seconds};
    argv.insert(argv.end(), steps.begin(), steps.end());
    Process driver(argv, bus_->env(desktop_->env({})), temp_.dir() + "/" + name + ".out",
                   temp_.dir() + "/" + name + ".err");
    return driver.wait();
  }

  std::unique_ptr<AccessibilityBus> bus_;
};

TEST_F(AccessibilityBusTest, APromptIsAnsweredInDenyModeForStarDotHostAndThisPortThroughActionsAlone) {
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  Process& client = startClient("com.example.reader", "client", server.port());
  client.writeLine("go");
  ASSERT_TRUE(promptWaits()) << text("shell.err");
  // Announced as an alert whose name is the question, its controls inside
  // it; then every choice.
  const std::string onlyThisPort = "only port " + server.port();
  ASSERT_EQ(drive("SpringBoard",
                  {"find:alert:App tries to contact", "inside:alert:Once", "press:Deny", "checked:Deny",
                   "press:*.host", "checked:*.host", "press:" + onlyThisPort, "checked:" + onlyThisPort,
                   "press:Always"},
                  "drive"),
            0)
      << text("drive.out") << text("drive.err") << text("shell.err");
  EXPECT_EQ(results("client", 1), Lines({"tcp" + kRefused}));

  const auto rules = plist::readDictionaryFile(FileSystem::real(), temp_.path(files::kRulesPath));
  ASSERT_TRUE(rules) << "no rule stored";
  const plist::Dictionary* entry = rules->dictionary("com.example.reader");
  ASSERT_NE(entry, nullptr);
  const plist::Array* deny = entry->array("deny");
  ASSERT_NE(deny, nullptr);
  ASSERT_EQ(deny->size(), 1u);
  const std::string rule = *deny->at(0).asDictionary()->string("rule");
  EXPECT_EQ(rule, std::string("*.") + kShopName + ":" + server.port());
  EXPECT_EQ(entry->array("allow"), nullptr) << "nothing allowed";
}

TEST_F(AccessibilityBusTest, ASettingsSwitchToggledThroughItsActionIsStored) {
  desktop_->startClient({KST_PANEL, "--root", temp_.dir()}, "panel", bus_->env(env()));
  ASSERT_EQ(
      drive("KestrixPanel",
            {"press:No", "press:Settings", "toggle:Log", "find:alert:Please Read", "press:OK", "checked:Log"},
            "drive"),
      0)
      << text("drive.out") << text("drive.err") << text("panel.err");
  const std::string path = temp_.path(files::kGlobalRulesPath);
  std::optional<plist::Dictionary> global;
  EXPECT_TRUE(waitFor([&] {
    global = plist::readDictionaryFile(FileSystem::real(), path);
    return global && global->find(files::kLogKey) != nullptr;
  })) << "nothing stored";
  if (global && global->find(files::kLogKey) != nullptr) {
    EXPECT_EQ(*global->find(files::kLogKey), plist::Value(true));
  }
}

TEST_F(AccessibilityBusTest, AfterAClickTabAndSpaceAnswerThePromptFromTheKeyboard) {
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  Process& client = startClient("com.example.keys", "client", server.port());
  client.writeLine("go");
  ASSERT_TRUE(promptWaits()) << text("shell.err");
  const std::vector<std::string> once = locate("Once");
  ASSERT_EQ(once.size(), 2u);
  // A click on the question, away from the buttons, gives the prompt the
  // keyboard; past the first moments, keys reach it.
  click({once[0], std::to_string(std::stoi(once[1]) - kOnceBelowQuestion)});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  bool onOnce = false;
  for (int tabs = 0; tabs < 20 && !onOnce; ++tabs) {
    desktop_->xdotool({"key", "Tab"});
    onOnce = drive("SpringBoard", {"focused:Once"}, "focus", "1") == 0;
  }
  ASSERT_TRUE(onOnce) << "Tab never reached Once: " << text("focus.err");
  promptScreenshot("prompt-keyboard-focus-on-x.png");
  EXPECT_EQ(state().rfind("prompt: none", 0), std::string::npos) << "Tab answered nothing";
  desktop_->xdotool({"key", "space"});
  EXPECT_EQ(results("client", 1), Lines{"tcp" + kOk}) << text("shell.err");
  EXPECT_EQ(state().rfind("prompt: none", 0), 0u);
}

TEST_F(AccessibilityBusTest, ARuleAlertSitsOnThePanelWindowAfterItWasMoved) {
  desktop_->startClient({KST_PANEL, "--root", temp_.dir()}, "panel", bus_->env(env()));
  std::string window;
  ASSERT_TRUE(waitFor([&] { return !(window = visibleWindow(*desktop_, "^Kestrix$")).empty(); }))
      << text("panel.err");
  ASSERT_EQ(drive("KestrixPanel", {"press:No"}, "drive"), 0) << text("drive.err");
  // Away from where the window manager put it first.
  desktop_->xdotool({"windowmove", window, std::to_string(kMoveMargin), std::to_string(kMoveMargin)});
  ASSERT_TRUE(waitFor([&] {
    const auto now = desktop_->frame(window);
    return now && now->x <= kMoveMargin + 10;
  }));
  ASSERT_EQ(drive("KestrixPanel", {"press:Global Deny", "press:Dismiss", "press:Add Hostname/IP"}, "drive"),
            0)
      << text("drive.out") << text("drive.err") << text("panel.err");
  std::string alert;
  ASSERT_TRUE(waitFor([&] { return !(alert = visibleWindow(*desktop_, "^Create Global Rule")).empty(); }))
      << text("panel.err");
  EXPECT_TRUE(waitFor([&] {
    const auto outer = desktop_->frame(window);
    const auto inner = desktop_->frame(alert);
    return outer && inner && inner->inside(*outer);
  })) << desktop_->tool({"xwininfo", "-id", alert}).second
      << desktop_->tool({"xwininfo", "-id", window}).second;
  screenshot("panel-rule-alert.png");
}

// A screen of twice the density, as a high-DPI laptop's: the shell and its
// prompt drawn at 2x.
class HighDensityDesktopTest : public DesktopTest {
 protected:
  static constexpr int kScale = 2;
  std::pair<int, int> screenSize() const override {
    return {XDesktop::kWidth * kScale, XDesktop::kHeight * kScale};
  }
  Env shellEnv() const override {
    Env e = DesktopTest::shellEnv();
    e["QT_SCALE_FACTOR"] = std::to_string(kScale);
    return e;
  }
};

TEST_F(HighDensityDesktopTest, ThePromptIsDrawnAtTwiceTheSizeAndAClickOnOnceAnswersIt) {
  Server server(kShopIp);
  ASSERT_TRUE(server.ok());
  startShell();
  Process& client = startClient("com.example.dense", "client", server.port());
  client.writeLine("go");
  ASSERT_TRUE(promptWaits()) << text("shell.err");
  // The prompt's window: the shell's widest visible one.
  std::optional<Frame> prompt;
  std::istringstream ids(desktop_->xdotool({"search", "--onlyvisible", "--class", "^springboard$"}));
  for (std::string id; ids >> id;) {
    const auto f = desktop_->frame(id);
    if (f && (!prompt || f->width > prompt->width)) prompt = f;
  }
  ASSERT_TRUE(prompt.has_value());
  EXPECT_GE(prompt->width, 2 * 300) << "drawn at twice its size";
  EXPECT_TRUE(prompt->inside(Frame{0, 0, XDesktop::kWidth * kScale, XDesktop::kHeight * kScale}))
      << prompt->x << "," << prompt->y << " " << prompt->width << "x" << prompt->height;
  promptScreenshot("prompt-at-2x.png");
  // Where the shell says "Once" is is where a click finds it.
  const std::vector<std::string> once = locate("Once");
  ASSERT_EQ(once.size(), 2u);
  const int x = std::stoi(once[0]), y = std::stoi(once[1]);
  EXPECT_TRUE(x > prompt->x && x < prompt->x + prompt->width && y > prompt->y &&
              y < prompt->y + prompt->height)
      << "Once at " << x << "," << y;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  click(once);
  EXPECT_EQ(results("client", 1), Lines{"tcp" + kOk}) << text("shell.err");
}

}  // namespace
}  // namespace kst::e2e
