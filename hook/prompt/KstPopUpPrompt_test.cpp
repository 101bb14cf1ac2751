#include "hook/prompt/KstPopUpPrompt.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QGraphicsProxyWidget>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "hook/messaging/FirewallRest.h"
#include "hook/prompt/KstWindow.h"
#include "hook/prompt/PromptChoices.h"
#include "hook/prompt/PromptLayout.h"
#include "hook/prompt/PromptTesting.h"
#include "hook/prompt/UIMultipleSelectionSegmentControl.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstFlags.h"
#include "hook/store/KstSettingsManager.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"
#include "platform/springboard/DeviceState.h"
#include "platform/springboard/QtRunLoop.h"
#include "platform/uikit/SegmentedControl.h"

namespace kst {
namespace {

using springboard::DeviceState;
using Drive = std::function<void(KstPopUpPrompt&)>;

struct Question {
  std::optional<std::string> port = std::string("443");
  std::optional<std::string> host = std::string("mail.example.com");
  std::optional<std::int64_t> orientation = 0;
  std::optional<std::string> displayName = std::string("Mail");
  std::optional<std::string> url = std::string("https://mail.example.com/inbox");
  std::optional<std::string> bundleIdentifier = std::string("com.example.mail");
};

template <typename W>
W* find(KstPopUpPrompt& p, const char* name) {
  return p.myView()->findChild<W*>(name);
}

uikit::SegmentedControl* control(KstPopUpPrompt& p, const char* name) {
  return find<uikit::SegmentedControl>(p, name);
}

QPushButton* answerButton(KstPopUpPrompt& p, int tag) {
  return find<QPushButton>(p, ("answerButton" + std::to_string(tag)).c_str());
}

QRect frame(const prompt::Frame& f) {
  return QRect(f.x, f.y, f.width, f.height);
}

void writeGlobalRules(const plist::Dictionary& rules) {
  ASSERT_TRUE(plist::writeDictionaryFile(FileSystem::real(),
                                         DeviceRoot::process().path(files::kGlobalRulesPath), rules, true));
}

class PromptTest : public testing::PromptFixture {
 protected:
  void SetUp() override {
    PromptFixture::SetUp();
    std::remove(DeviceRoot::process().path(files::kGlobalRulesPath).c_str());
  }

  // Asks one question; `drive` runs inside the prompt's wait once it shows.
  KstPopUpAnswer ask(const Question& q, Drive drive, PromptOptions options = {}) {
    options.onShown = [drive](KstPopUpPrompt& p) { QTimer::singleShot(0, &p, [&p, drive] { drive(p); }); };
    KstPopUpPrompt prompt(context_, std::move(options));
    return prompt.createAViewWithPort(q.port, q.host, q.orientation, q.displayName, std::nullopt, q.url,
                                      q.bundleIdentifier);
  }

  // Lets the fade finish before a picture is taken.
  static void settle() { QTest::qWait(400); }
};

TEST_F(PromptTest, PortraitLayoutFramesAndTexts) {
  const KstPopUpAnswer answer = ask({}, [](KstPopUpPrompt& p) {
    const prompt::PromptLayout& l = prompt::portraitLayout();
    EXPECT_EQ(p.myView()->size(), QSize(320, 460));
    EXPECT_EQ(find<QLabel>(p, "hostLabel")->geometry(), frame(l.questionLine));
    EXPECT_EQ(find<QLabel>(p, "hostLabel")->text(), "Mail tries to contact (port 443):");
    EXPECT_EQ(find<QPushButton>(p, "whoIS")->geometry(), frame(l.hostButton));
    EXPECT_EQ(find<QPushButton>(p, "whoIS")->text(), "mail.example.com");
    EXPECT_EQ(find<QWidget>(p, "urlScrollView")->geometry(), frame(l.urlScrollView));
    EXPECT_EQ(find<QLabel>(p, "urlLabel")->text(), "https://mail.example.com/inbox");
    EXPECT_EQ(find<QLabel>(p, "urlLabel")->height(), 22);
    EXPECT_EQ(control(p, "detailSegControll")->geometry(), frame(l.hostFormControl));
    EXPECT_EQ(control(p, "detailSegControll")->segmentTitles(), QStringList({"normal", "*host", "*.host"}));
    EXPECT_EQ(control(p, "portSegControll")->geometry(), frame(l.portControl));
    EXPECT_EQ(control(p, "portSegControll")->segmentTitles(), QStringList({"all ports", "only port 443"}));
    EXPECT_EQ(find<QPushButton>(p, "portInfoButton")->geometry(), frame(l.portInfoButton));
    EXPECT_EQ(find<QWidget>(p, "tapView")->geometry(), frame(l.lowerPanel));
    EXPECT_EQ(control(p, "modeSegControl")->geometry(), frame(l.modeControl));
    EXPECT_EQ(find<QWidget>(p, "hostSelectionView")->geometry(), frame(l.hostPartsPanel));
    EXPECT_TRUE(find<QWidget>(p, "hostSelectionView")->isHidden());
    for (int tag = 0; tag < prompt::kButtonCount; ++tag) {
      EXPECT_EQ(answerButton(p, tag)->geometry(), frame(l.buttons[tag])) << tag;
      EXPECT_EQ(answerButton(p, tag)->accessibleName(), prompt::kButtonTitles[tag]);
    }
    EXPECT_EQ(p.myWindow()->mainViewProxy()->rotation(), 0);
    EXPECT_TRUE(p.myWindow()->windowFlags() & Qt::WindowStaysOnTopHint);
    settle();
    EXPECT_FALSE(testing::saveScreenshot(p.myWindow(), "prompt-portrait").empty());
    answerButton(p, 0)->click();
  });
  EXPECT_EQ(answer.whatToDo, 0);
}

TEST_F(PromptTest, LandscapeLayoutFramesAndEachOrientationsPicture) {
  for (int code : {1, 2, 3}) {
    Question q;
    q.orientation = code;
    ask(q, [code](KstPopUpPrompt& p) {
      const prompt::PromptLayout& l = prompt::layoutFor(code);
      if (code != 3) {
        EXPECT_EQ(p.myView()->size(), QSize(480, 320));
        EXPECT_EQ(find<QWidget>(p, "tapView")->geometry(), frame(l.lowerPanel));
        EXPECT_EQ(answerButton(p, 5)->geometry(), QRect(25, 124, 370, 20));
        EXPECT_EQ(control(p, "portSegControll")->geometry(), QRect(250, 106, 168, 26));
      }
      EXPECT_EQ(p.myWindow()->mainViewProxy()->rotation(), prompt::rotationFor(code));
      settle();
      EXPECT_FALSE(
          testing::saveScreenshot(p.myWindow(), "prompt-orientation-" + std::to_string(code)).empty());
      answerButton(p, 0)->click();
    });
  }
}

TEST_F(PromptTest, TabletPlacesThePromptInTheLargeWindow) {
  DeviceState::shared().setModel("iPad");
  for (int code : {0, 1}) {
    Question q;
    q.orientation = code;
    ask(q, [code](KstPopUpPrompt& p) {
      EXPECT_EQ(p.myWindow()->size(), QSize(768, 1024));
      EXPECT_EQ(p.myWindow()->mainViewProxy()->rotation(), prompt::rotationFor(code));
      settle();
      testing::saveScreenshot(p.myWindow(), "prompt-tablet-" + std::to_string(code));
      answerButton(p, 0)->click();
    });
  }
  DeviceState::shared().setModel("iPhone");
}

TEST_F(PromptTest, EveryButtonInEveryModeGivesItsAnswerCode) {
  const int expected[2][6] = {{0, 6, 10, 2, 4, 8}, {1, 7, 11, 3, 5, 9}};
  for (int mode = 0; mode < 2; ++mode) {
    for (int tag = 0; tag < prompt::kButtonCount; ++tag) {
      const KstPopUpAnswer answer = ask({}, [mode, tag](KstPopUpPrompt& p) {
        if (mode == 1) control(p, "modeSegControl")->tapSegment(1);
        answerButton(p, tag)->click();
      });
      EXPECT_EQ(answer.whatToDo, expected[mode][tag]) << "mode " << mode << " tag " << tag;
      EXPECT_EQ(answer.andToDo, 0);
      EXPECT_EQ(answer.portToDo, 0);
      EXPECT_EQ(answer.host, "mail.example.com");
    }
  }
}

TEST_F(PromptTest, DenyModeTintsTheButtonsRed) {
  ask({}, [](KstPopUpPrompt& p) {
    control(p, "modeSegControl")->tapSegment(1);
    EXPECT_EQ(control(p, "modeSegControl")->tintColor(), QColor(255, 59, 48));
    EXPECT_TRUE(answerButton(p, 3)->styleSheet().contains("#ff3b30"));
    settle();
    testing::saveScreenshot(p.myWindow(), "prompt-deny-mode");
    answerButton(p, 0)->click();
  });
}

TEST_F(PromptTest, UntouchedPromptTimesOutWithDenyOnce) {
  Question q;
  q.host = "api.example.com";
  const KstPopUpAnswer answer = ask(q, [this](KstPopUpPrompt& p) {
    EXPECT_TRUE(p.timeOutPending());
    clock_.advance(Seconds(59));
    QTest::qWait(20);
    EXPECT_TRUE(p.myWindow()->isVisible()) << "answered before the minute was up";
    clock_.advance(Seconds(1.5));
  });
  EXPECT_EQ(answer.whatToDo, 1);
  EXPECT_EQ(answer.andToDo, 0);
  EXPECT_EQ(answer.portToDo, 0);
  EXPECT_EQ(answer.host, "api.example.com");
  EXPECT_FALSE(get(flags_.isShowingWindow));
}

TEST_F(PromptTest, AnyControlChangeCancelsTheTimeOut) {
  for (const char* name : {"modeSegControl", "detailSegControll", "portSegControll"}) {
    const KstPopUpAnswer answer = ask({}, [this, name](KstPopUpPrompt& p) {
      control(p, name)->tapSegment(1);
      EXPECT_FALSE(p.timeOutPending());
      clock_.advance(Seconds(600));
      QTest::qWait(20);
      EXPECT_TRUE(p.myWindow()->isVisible()) << name;
      answerButton(p, 3)->click();
    });
    EXPECT_GE(answer.whatToDo, 2) << name;  // the button's answer, not the time-out's
  }
}

TEST_F(PromptTest, HostFormAndPortScopeTravelWithTheAnswer) {
  Question q;
  q.host = "api.example.com";
  const KstPopUpAnswer answer = ask(q, [](KstPopUpPrompt& p) {
    control(p, "detailSegControll")->tapSegment(2);
    control(p, "portSegControll")->tapSegment(1);
    find<QPushButton>(p, "hostPartsDone")->click();
    answerButton(p, 3)->click();
  });
  EXPECT_EQ(answer.whatToDo, 2);
  EXPECT_EQ(answer.andToDo, 2);
  EXPECT_EQ(answer.portToDo, 1);
  EXPECT_EQ(answer.host, "api.example.com");
}

TEST_F(PromptTest, HostPartsShortenTheAnswersHost) {
  const KstPopUpAnswer answer = ask({}, [](KstPopUpPrompt& p) {
    control(p, "detailSegControll")->tapSegment(1);
    auto* parts = find<UIMultipleSelectionSegmentControl>(p, "hostPartsSegControl");
    ASSERT_NE(parts, nullptr);
    EXPECT_TRUE(find<QWidget>(p, "hostSelectionView")->isVisible());
    EXPECT_EQ(parts->selectedSegmentIndices(), (std::vector<bool>{true, true}));
    parts->tapSegment(1);  // example.com cannot be changed
    EXPECT_EQ(parts->selectedSegmentIndices(), (std::vector<bool>{true, true}));
    parts->tapSegment(0);
    EXPECT_EQ(parts->selectedSegmentIndices(), (std::vector<bool>{false, true}));
    settle();
    testing::saveScreenshot(p.myWindow(), "prompt-host-parts");
    find<QPushButton>(p, "hostPartsDone")->click();
    EXPECT_TRUE(find<QWidget>(p, "hostSelectionView")->isHidden());
    answerButton(p, 3)->click();
  });
  EXPECT_EQ(answer.andToDo, 1);
  EXPECT_EQ(answer.host, "example.com");
}

TEST_F(PromptTest, UntouchedHostPartsKeepTheWholeHost) {
  Question q;
  q.host = "a.b.example.com";
  const KstPopUpAnswer answer = ask(q, [](KstPopUpPrompt& p) {
    control(p, "detailSegControll")->tapSegment(2);
    auto* parts = find<UIMultipleSelectionSegmentControl>(p, "hostPartsSegControl");
    parts->tapSegment(1);
    EXPECT_EQ(parts->selectedSegmentIndices(), (std::vector<bool>{false, false, true}));
    parts->tapSegment(0);
    EXPECT_EQ(parts->selectedSegmentIndices(), (std::vector<bool>{true, true, true}));
    answerButton(p, 0)->click();
  });
  EXPECT_EQ(answer.host, "a.b.example.com");
}

TEST_F(PromptTest, AddressesAndTwoLabelNamesOfferNoParts) {
  for (const char* host : {"10.0.0.1", "fe80::1"}) {
    Question q;
    q.host = host;
    ask(q, [](KstPopUpPrompt& p) {
      EXPECT_FALSE(control(p, "detailSegControll")->isEnabled());
      EXPECT_EQ(find<QWidget>(p, "hostSelectionView"), nullptr);
      answerButton(p, 0)->click();
    });
  }
  Question q;
  q.host = "example.com";
  const KstPopUpAnswer answer = ask(q, [](KstPopUpPrompt& p) {
    EXPECT_TRUE(control(p, "detailSegControll")->isEnabled());
    control(p, "detailSegControll")->tapSegment(1);
    EXPECT_EQ(find<QWidget>(p, "hostSelectionView"), nullptr);
    answerButton(p, 3)->click();
  });
  EXPECT_EQ(answer.andToDo, 1);
}

TEST_F(PromptTest, ShowingFlagIsSetWhileUpAndClearedByTheChoice) {
  bool duringChoice = true;
  ask({}, [this, &duringChoice](KstPopUpPrompt& p) {
    EXPECT_TRUE(get(flags_.isShowingWindow));
    EXPECT_TRUE(get(flags_.waitUntilDone));
    answerButton(p, 0)->click();
    duringChoice = get(flags_.isShowingWindow);
  });
  EXPECT_FALSE(duringChoice);
  EXPECT_FALSE(get(flags_.waitUntilDone));
}

TEST_F(PromptTest, QuestionWithMissingKeysShowsAbsentTexts) {
  Question q;
  q.port = std::nullopt;
  q.host = std::nullopt;
  q.orientation = std::nullopt;
  q.displayName = std::nullopt;
  q.url = std::nullopt;
  q.bundleIdentifier = std::nullopt;
  const KstPopUpAnswer answer = ask(q, [](KstPopUpPrompt& p) {
    EXPECT_EQ(find<QLabel>(p, "hostLabel")->text(), " tries to contact (port ):");
    EXPECT_EQ(find<QLabel>(p, "urlLabel")->width(), 0);
    EXPECT_FALSE(control(p, "detailSegControll")->isEnabled());
    answerButton(p, 0)->click();
  });
  EXPECT_EQ(answer.whatToDo, 0);
  EXPECT_FALSE(answer.host);
}

TEST_F(PromptTest, HugeAndUnprintableHostsLayOut) {
  Question q;
  q.host = std::string(10000, 'a') + ".example.com\n\x01\xff\xfe";
  q.url = std::string(20000, 'u');
  const KstPopUpAnswer answer = ask(q, [](KstPopUpPrompt& p) {
    auto* host = find<QPushButton>(p, "whoIS");
    EXPECT_LT(host->text().size(), 200);  // shortened to fit
    EXPECT_FALSE(host->property("hostText").toString().contains('\n'));
    settle();
    testing::saveScreenshot(p.myWindow(), "prompt-huge-host");
    answerButton(p, 0)->click();
  });
  EXPECT_EQ(answer.host, q.host);  // the answer keeps the asked text
}

TEST_F(PromptTest, DisplayNameOfAnInstalledApplication) {
  const std::string app = DeviceRoot::process().path("/Applications/Mail.app/Info.plist");
  ASSERT_TRUE(plist::writeDictionaryFile(
      FileSystem::real(), app, {{"CFBundleIdentifier", "com.example.mail"}, {"CFBundleDisplayName", "Post"}},
      true));
  DeviceState::shared().loadApplications(DeviceRoot::process());
  Question q;
  q.displayName = "com.example.mail";
  ask(q, [](KstPopUpPrompt& p) {
    EXPECT_EQ(find<QLabel>(p, "hostLabel")->text(), "Post tries to contact (port 443):");
    answerButton(p, 0)->click();
  });
}

TEST_F(PromptTest, SolidPopupHasDarkTextAndNoColourTimer) {
  writeGlobalRules({{"solidPopup", true}});
  ask({}, [](KstPopUpPrompt& p) {
    EXPECT_TRUE(p.solidPopup());
    EXPECT_FALSE(p.colourTimerRunning());
    EXPECT_TRUE(find<QLabel>(p, "hostLabel")->styleSheet().contains("#404040"));
    settle();
    testing::saveScreenshot(p.myWindow(), "prompt-solid");
    answerButton(p, 0)->click();
  });
  writeGlobalRules({});
  ask({}, [](KstPopUpPrompt& p) {
    EXPECT_TRUE(p.colourTimerRunning());
    EXPECT_TRUE(find<QLabel>(p, "hostLabel")->styleSheet().contains("#ffffff"));
    answerButton(p, 0)->click();
  });
}

TEST_F(PromptTest, DarkLockedDeviceIsWokenWithSound) {
  DeviceState& d = DeviceState::shared();
  d.setLocked(true);
  d.setDim(true);
  const std::size_t soundsBefore = d.soundsPlayed().size();
  ask({}, [&d](KstPopUpPrompt& p) {
    EXPECT_FALSE(d.dim());
    EXPECT_TRUE(d.idleTimerDisabled());
    answerButton(p, 0)->click();
  });
  EXPECT_FALSE(d.idleTimerDisabled());
  ASSERT_EQ(d.soundsPlayed().size(), soundsBefore + 2);
  EXPECT_EQ(d.soundsPlayed()[soundsBefore], 4095);
  EXPECT_EQ(d.soundsPlayed()[soundsBefore + 1], 1052);

  writeGlobalRules({{"playSoundInSleep", false}});
  d.setDim(true);
  ask({}, [](KstPopUpPrompt& p) { answerButton(p, 0)->click(); });
  EXPECT_EQ(d.soundsPlayed().size(), soundsBefore + 2);
  d.setLocked(false);
}

TEST_F(PromptTest, LockedWithinTheStartUpGraceWaitsForTheUnlock) {
  launch_ = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
            978307200.0 - 1.0;
  DeviceState& d = DeviceState::shared();
  d.setLocked(true);
  QTimer::singleShot(300, [this, &d] {
    EXPECT_TRUE(get(flags_.isShowingWindow));
    d.setLocked(false);
  });
  bool lockedWhenShown = true;
  ask({}, [&](KstPopUpPrompt& p) {
    lockedWhenShown = d.locked();
    answerButton(p, 0)->click();
  });
  EXPECT_FALSE(lockedWhenShown);
}

TEST_F(PromptTest, VisibleAlertIsPushedAsideAndBroughtBack) {
  DeviceState& d = DeviceState::shared();
  springboard::AlertItem* item = d.makeAlertItem("Low Battery");
  d.activateAlert(item);
  ask({}, [&d](KstPopUpPrompt& p) {
    QTest::qWait(450);  // past the first slices
    EXPECT_EQ(d.visibleAlert(), nullptr);
    answerButton(p, 0)->click();
  });
  loop_->runFor(Seconds(0));
  EXPECT_EQ(d.visibleAlert(), nullptr) << "brought back before its delay";
  clock_.advance(Seconds(2.1));
  loop_->runFor(Seconds(0));
  EXPECT_EQ(d.visibleAlert(), item);
  d.deactivateAlert(item);
}

TEST_F(PromptTest, QuestionOffTheMainThreadIsAllowedOnceWithoutAWindow) {
  KstPopUpPrompt prompt(context_);
  auto answer = std::async(std::launch::async, [&] {
    return prompt.createAViewWithPort(std::string("80"), std::string("updates.example.com"), 0,
                                      std::string("SB"), std::nullopt, std::string(" "),
                                      std::string("com.apple.springboard"));
  });
  const KstPopUpAnswer a = answer.get();
  EXPECT_EQ(a.whatToDo, 0);
  EXPECT_EQ(a.host, "updates.example.com");
  EXPECT_FALSE(get(flags_.isShowingWindow));
}

TEST_F(PromptTest, SpringBoardsOwnQuestionOnTheMainThreadWaitsForThePromptWithoutDeadlock) {
  set(flags_.isSpringBoard, true);
  // The question's wait runs the loop on the real clock.
  QtRunLoop realLoop;
  realLoop.attach();
  KstStoreEnv env;
  env.flags = &flags_;
  env.mainLoop = &realLoop;
  KstSettingsManager manager(env);
  manager.setCurrentBundleIdentifier("com.apple.springboard");
  // The prompt the in-process question gets answers "Once" by itself.
  setKstPopUpFactory([this] {
    PromptOptions o;
    o.onShown = [](KstPopUpPrompt& p) { QTimer::singleShot(0, &p, [&p] { answerButton(p, 0)->click(); }); };
    return std::make_unique<KstPopUpPrompt>(context_, std::move(o));
  });
  KstPopUpAnswer inner;
  bool innerAsked = false;
  const KstPopUpAnswer outer = ask({}, [&](KstPopUpPrompt& p) {
    // SpringBoard connects on its main thread while this prompt waits: the
    // question waits for this prompt (running the loop), which a person
    // answers meanwhile; then it gets a prompt of its own.
    QTimer::singleShot(100, &p, [&p] { answerButton(p, 3)->click(); });
    inner = FirewallRest(manager).createTCPViewWithHostString(
        std::string("updates.example.com"), std::string("443"), std::string("com.apple.springboard"),
        std::string(" "), std::string("SpringBoard"));
    innerAsked = true;
  });
  setKstPopUpFactory({});
  EXPECT_TRUE(innerAsked);
  EXPECT_EQ(outer.whatToDo, 2);
  EXPECT_EQ(inner.whatToDo, 0);
  EXPECT_EQ(inner.host, "updates.example.com");
  EXPECT_FALSE(get(flags_.isShowingWindow));
}

// A WHOIS stand-in on loopback: answers one request with `page` once
// released, and records the request line.
class WhoIsServer {
 public:
  explicit WhoIsServer(std::string page) : page_(std::move(page)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len);
    ::listen(fd_, 4);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~WhoIsServer() {
    release();
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  void release() { released_.set_value_once(); }
  std::string requestLine() {
    std::lock_guard lock(mu_);
    return requestLine_;
  }

 private:
  struct Once {
    std::promise<void> p;
    std::shared_future<void> f = p.get_future().share();
    std::atomic<bool> set{false};
    void set_value_once() {
      if (!set.exchange(true)) p.set_value();
    }
  };
  void serve() {
    const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    std::string request;
    char buf[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::read(c, buf, sizeof buf);
      if (n <= 0) break;
      request.append(buf, static_cast<std::size_t>(n));
    }
    {
      std::lock_guard lock(mu_);
      requestLine_ = request.substr(0, request.find("\r\n"));
    }
    released_.f.wait();
    const std::string reply =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
        std::to_string(page_.size()) + "\r\nConnection: close\r\n\r\n" + page_;
    [[maybe_unused]] ssize_t n = ::write(c, reply.data(), reply.size());
    ::close(c);
  }
  std::string page_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::string requestLine_;
  Once released_;
};

TEST_F(PromptTest, WhoIsPanelShowsTheRecordAndClosesOnlyAfterTheAnswer) {
  const std::string page =
      "<html><td align=\"left\" valign=\"middle\"><span class=\"standard\">"
      "Domain Name: EXAMPLE.COM\nRegistrar: Example Registrar</pre>\t </span></td></html>";
  WhoIsServer server(page);
  PromptOptions options;
  options.whoIsHost = server.host();
  const KstPopUpAnswer answer = ask(
      {},
      [&server](KstPopUpPrompt& p) {
        find<QPushButton>(p, "whoIS")->click();
        EXPECT_FALSE(p.timeOutPending());
        auto* panel = find<QWidget>(p, "whoIsWindow");
        ASSERT_NE(panel, nullptr);
        auto* close = panel->findChild<QPushButton*>("closeButton");
        EXPECT_EQ(close->text(), "Close WhoIs");
        EXPECT_FALSE(close->isEnabled());
        EXPECT_EQ(panel->findChild<QTextEdit*>("whoIsTextView")->toPlainText(), "please wait..");
        EXPECT_TRUE(QTest::qWaitFor([&] { return !server.requestLine().empty(); }, 10000));
        EXPECT_EQ(server.requestLine(), "GET /whois/example.com HTTP/1.1");
        p.removeWhoIs();  // locked until the answer
        EXPECT_NE(find<QWidget>(p, "whoIsWindow"), nullptr);
        server.release();
        EXPECT_TRUE(QTest::qWaitFor([&] { return p.canExit(); }, 10000));
        EXPECT_TRUE(close->isEnabled());
        EXPECT_EQ(panel->findChild<QTextEdit*>("whoIsTextView")->toPlainText(),
                  "Domain Name: EXAMPLE.COM\nRegistrar: Example Registrar");
        settle();
        testing::saveScreenshot(p.myWindow(), "prompt-whois");
        close->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return find<QWidget>(p, "whoIsWindow") == nullptr; }, 5000));
        answerButton(p, 1)->click();
      },
      options);
  EXPECT_EQ(answer.whatToDo, 6);
}

TEST_F(PromptTest, WhoIsFailureShowsTheError) {
  PromptOptions options;
  options.whoIsHost = "127.0.0.1:1";  // nothing listens there
  ask(
      {},
      [](KstPopUpPrompt& p) {
        find<QPushButton>(p, "whoIS")->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return p.canExit(); }, 12000));
        EXPECT_TRUE(find<QTextEdit>(p, "whoIsTextView")->toPlainText().startsWith("WhoIs failed :( "));
        answerButton(p, 0)->click();
      },
      options);
}

TEST_F(PromptTest, PortPanelShowsTheListAndStopsTheTimeOut) {
  const std::string path = DeviceRoot::process().path("/var/mobile/Library/Preferences/Radazira/ports.txt");
  std::filesystem::create_directories(path.substr(0, path.rfind('/')));
  std::ofstream(path, std::ios::binary) << "22\tssh\n443\thttps \xb4 TLS\n";
  ask({}, [this](KstPopUpPrompt& p) {
    find<QPushButton>(p, "portInfoButton")->click();
    EXPECT_FALSE(p.timeOutPending());
    auto* text = find<QPlainTextEdit>(p, "portTextView");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->toPlainText(), QString::fromUtf8("22\tssh\n443\thttps ¥ TLS\n"));
    EXPECT_EQ(text->size(), QSize(700, 430));
    settle();
    testing::saveScreenshot(p.myWindow(), "prompt-ports");
    clock_.advance(Seconds(90));
    QTest::qWait(20);
    find<QPushButton>(p, "portCloseButton")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return find<QWidget>(p, "scroller") == nullptr; }, 5000));
    answerButton(p, 0)->click();
  });
}

}  // namespace
}  // namespace kst
