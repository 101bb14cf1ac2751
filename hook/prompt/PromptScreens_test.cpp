// The prompt on a desktop of two screens of different density, and when the
// screen it shows on goes away. The offscreen platform gives the screens
// (testdata/two-screens.json) and takes one away as a display would.
#include <gtest/gtest.h>
#include <qpa/qplatformnativeinterface.h>

#include <QCursor>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdlib>

#include "hook/prompt/KstPopUpPrompt.h"
#include "hook/prompt/KstWindow.h"
#include "hook/prompt/PromptTesting.h"
#include "hook/rules/KstFlags.h"
#include "platform/springboard/DeviceState.h"
#include "platform/springboard/QtRunLoop.h"

namespace kst {
namespace {

class PromptScreensTest : public testing::PromptFixture {
 protected:
  static void SetUpTestSuite() {
    ::setenv("QT_QPA_PLATFORM", "offscreen:configfile=" KST_TWO_SCREENS_CONFIG, 1);
    testing::testApplication();
  }

  void SetUp() override {
    if (QGuiApplication::screens().size() != 2) GTEST_SKIP() << "the offscreen platform gave one screen";
    PromptFixture::SetUp();
  }

  static QScreen* screenNamed(const QString& name) {
    for (QScreen* s : QGuiApplication::screens())
      if (s->name() == name) return s;
    return nullptr;
  }

  // The platform's configuration with only the screens named.
  static void keepScreens(const QStringList& names) {
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    ASSERT_NE(native, nullptr);
    using Configuration = QJsonObject (*)(QPlatformNativeInterface*);
    using SetConfiguration = void (*)(const QJsonObject&, QPlatformNativeInterface*);
    auto get = reinterpret_cast<Configuration>(native->nativeResourceForIntegration("configuration"));
    auto set = reinterpret_cast<SetConfiguration>(native->nativeResourceForIntegration("setConfiguration"));
    ASSERT_TRUE(get != nullptr && set != nullptr);
    QJsonObject config = get(native);
    QJsonArray kept;
    for (const QJsonValue screen : config["screens"].toArray())
      if (names.contains(screen["name"].toString())) kept.append(screen);
    config["screens"] = kept;
    set(config, native);
  }

  KstPopUpAnswer ask(std::function<void(KstPopUpPrompt&)> drive) {
    PromptOptions options;
    options.onShown = [drive](KstPopUpPrompt& p) { QTimer::singleShot(0, &p, [&p, drive] { drive(p); }); };
    KstPopUpPrompt prompt(context_, std::move(options));
    return prompt.createAViewWithPort(std::string("443"), std::string("mail.example.com"), 0,
                                      std::string("Mail"), std::nullopt, std::string(" "),
                                      std::string("com.example.mail"));
  }

  static QPushButton* onceButton(KstPopUpPrompt& p) {
    return p.myView()->findChild<QPushButton*>("answerButton0");
  }
};

TEST_F(PromptScreensTest, PromptOpensWholeOnThePointersScreenAtItsDensity) {
  QScreen* right = screenNamed("right");
  ASSERT_NE(right, nullptr);
  ASSERT_EQ(right->devicePixelRatio(), 2.0);
  QCursor::setPos(right->geometry().center());
  const KstPopUpAnswer answer = ask([right](KstPopUpPrompt& p) {
    KstWindow* window = p.myWindow();
    EXPECT_EQ(window->screen(), right);
    EXPECT_TRUE(right->geometry().contains(window->geometry())) << window->geometry().x();
    QTest::qWait(400);  // the fade
    // Drawn at the screen's density: twice the pixels of its logical size.
    const QImage picture = window->grab().toImage();
    EXPECT_EQ(picture.width(), window->width() * 2);
    EXPECT_FALSE(testing::saveScreenshot(window, "prompt-on-a-2x-screen").empty());
    onceButton(p)->click();
  });
  EXPECT_EQ(answer.whatToDo, 0);
  QCursor::setPos(QPoint(10, 10));
}

TEST_F(PromptScreensTest, ScreenRemovedUnderThePromptMovesItToARemainingScreen) {
  QScreen* left = screenNamed("left");
  QScreen* right = screenNamed("right");
  ASSERT_TRUE(left != nullptr && right != nullptr);
  QCursor::setPos(right->geometry().center());
  const KstPopUpAnswer answer = ask([left](KstPopUpPrompt& p) {
    keepScreens({"left"});
    KstWindow* window = p.myWindow();
    EXPECT_TRUE(QTest::qWaitFor([&] { return left->geometry().contains(window->geometry()); }, 5000))
        << "the prompt stayed where no screen shows it: x " << window->geometry().x();
    EXPECT_TRUE(window->isVisible());
    // Still answerable where it now is.
    onceButton(p)->click();
  });
  EXPECT_EQ(answer.whatToDo, 0);
  keepScreens({"left", "right"});
  QCursor::setPos(QPoint(10, 10));
}

}  // namespace
}  // namespace kst
