// The prompt as a person on a screen reader or on the keyboard meets it:
// found, read and answered only through its accessible interfaces and keys.
#include "hook/prompt/PromptAccessibility.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QGraphicsProxyWidget>
#include <QGraphicsView>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>

#include "hook/prompt/KstPopUpPrompt.h"
#include "hook/prompt/KstWindow.h"
#include "hook/prompt/PromptChoices.h"
#include "hook/prompt/PromptTesting.h"
#include "hook/prompt/UIMultipleSelectionSegmentControl.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstFlags.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/springboard/DeviceState.h"
#include "platform/springboard/QtRunLoop.h"
#include "platform/uikit/Accessibility.h"
#include "platform/uikit/SegmentedControl.h"

namespace kst {
namespace {

using Drive = std::function<void(KstPopUpPrompt&)>;
constexpr int kWaitMs = 10000;
constexpr int kPollMs = 20;

QAccessibleInterface* face(QObject* o) {
  return QAccessible::queryAccessibleInterface(o);
}

template <typename W = QWidget>
W* named(KstPopUpPrompt& p, const char* name) {
  return p.myView()->findChild<W*>(name);
}

QAccessibleInterface* segment(KstPopUpPrompt& p, const char* control, const QString& title) {
  QAccessibleInterface* c = face(named(p, control));
  for (int i = 0; c != nullptr && i < c->childCount(); ++i)
    if (c->child(i)->text(QAccessible::Name) == title) return c->child(i);
  ADD_FAILURE() << "no segment " << title.toStdString() << " in " << control;
  return nullptr;
}

void press(QAccessibleInterface* i) {
  ASSERT_NE(i, nullptr);
  ASSERT_NE(i->actionInterface(), nullptr);
  ASSERT_TRUE(i->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
  i->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
}

QAccessibleInterface* answerFace(KstPopUpPrompt& p, int tag) {
  return face(named<QPushButton>(p, ("answerButton" + std::to_string(tag)).c_str()));
}

class PromptAccessibilityTest : public testing::PromptFixture {
 protected:
  void SetUp() override {
    PromptFixture::SetUp();
    std::remove(DeviceRoot::process().path(files::kGlobalRulesPath).c_str());
  }

  // Asks one question. `early` runs as soon as the prompt shows (in its
  // first moments), `drive` once a tap would reach its buttons.
  KstPopUpAnswer ask(const std::string& host, Drive drive, Drive early = nullptr) {
    PromptOptions options;
    options.onShown = [this, drive, early](KstPopUpPrompt& p) {
      QTimer::singleShot(0, &p, [this, &p, drive, early] {
        if (early) early(p);
        waitForTouches(p, drive);
      });
    };
    KstPopUpPrompt prompt(context_, std::move(options));
    return prompt.createAViewWithPort(std::string("443"), host, 0, std::string("Acc App"), std::nullopt,
                                      std::string("https://" + host + "/feed"),
                                      std::string("com.example.acc"));
  }

  // Polls (the prompt's own wait has to go on meanwhile) until touches
  // reach the prompt, then drives it; a drive that fails half-way must not
  // leave the prompt waiting.
  void waitForTouches(KstPopUpPrompt& p, const Drive& drive, int triesLeft = kWaitMs / kPollMs) {
    if (!uikit::reachableByTouch(named(p, "answerButton0"))) {
      if (triesLeft == 0) {
        ADD_FAILURE() << "the prompt never took touches";
        p.denyOnce();
        return;
      }
      QTimer::singleShot(kPollMs, &p,
                         [this, &p, drive, triesLeft] { waitForTouches(p, drive, triesLeft - 1); });
      return;
    }
    drive(p);
    if (get(flags_.isShowingWindow)) {
      ADD_FAILURE() << "the prompt was left unanswered";
      p.denyOnce();
    }
  }
};

TEST_F(PromptAccessibilityTest, ThePromptIsAnAlertThatReadsItsQuestionHostAndUrl) {
  const KstPopUpAnswer answer = ask("api.example.com", [](KstPopUpPrompt& p) {
    QAccessibleInterface* window = face(p.myWindow());
    EXPECT_EQ(window->role(), QAccessible::AlertMessage);
    EXPECT_EQ(window->text(QAccessible::Name), "Acc App tries to contact (port 443):");
    EXPECT_EQ(window->text(QAccessible::Description), "api.example.com");
    ASSERT_EQ(window->childCount(), 1) << "the prompt's own view is reached from its window";
    EXPECT_EQ(window->child(0)->object(), p.myView());
    EXPECT_EQ(window->indexOfChild(window->child(0)), 0);
    // ...and leads back up to it, not to the application: moving up from the
    // question stays in the prompt.
    ASSERT_NE(window->child(0)->parent(), nullptr);
    EXPECT_EQ(window->child(0)->parent()->object(), p.myWindow());
    EXPECT_EQ(face(named(p, "hostLabel"))->parent()->parent()->object(), p.myWindow());

    EXPECT_EQ(face(named(p, "hostLabel"))->text(QAccessible::Name), "Acc App tries to contact (port 443):");
    QAccessibleInterface* whoIs = face(named(p, "whoIS"));
    EXPECT_EQ(whoIs->role(), QAccessible::Button);
    EXPECT_EQ(whoIs->text(QAccessible::Name), "WhoIs api.example.com");
    EXPECT_FALSE(whoIs->text(QAccessible::Description).isEmpty());
    EXPECT_EQ(face(named(p, "urlLabel"))->text(QAccessible::Name), "https://api.example.com/feed");
    EXPECT_EQ(face(named(p, "urlScrollView"))->text(QAccessible::Description),
              "https://api.example.com/feed");
    QAccessibleInterface* info = face(named(p, "portInfoButton"));
    EXPECT_EQ(info->text(QAccessible::Name), "Port information");
    EXPECT_TRUE(info->text(QAccessible::Description).endsWith("port 443"));
    for (int tag = 0; tag < prompt::kButtonCount; ++tag) {
      QAccessibleInterface* b = answerFace(p, tag);
      EXPECT_EQ(b->role(), QAccessible::Button);
      EXPECT_EQ(b->text(QAccessible::Name), prompt::kButtonTitles[tag]);
    }
    // Every segment of every control, named by its title.
    const struct {
      const char* control;
      QStringList titles;
    } controls[] = {{"modeSegControl", {"Allow", "Deny"}},
                    {"detailSegControll", {"normal", "*host", "*.host"}},
                    {"portSegControll", {"all ports", "only port 443"}},
                    {"hostPartsSegControl", {"api", "example.com"}}};
    for (const auto& c : controls) {
      QAccessibleInterface* control = face(named(p, c.control));
      ASSERT_EQ(control->childCount(), c.titles.size()) << c.control;
      for (int i = 0; i < control->childCount(); ++i) {
        EXPECT_EQ(control->child(i)->text(QAccessible::Name), c.titles[i]) << c.control;
        EXPECT_TRUE(control->child(i)->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::pressAction()));
      }
    }
    EXPECT_TRUE(segment(p, "modeSegControl", "Allow")->state().checked);
    EXPECT_FALSE(segment(p, "modeSegControl", "Deny")->state().checked);
    EXPECT_EQ(segment(p, "modeSegControl", "Deny")->role(), QAccessible::RadioButton);
    EXPECT_EQ(segment(p, "hostPartsSegControl", "api")->role(), QAccessible::CheckBox);
    press(answerFace(p, 0));
  });
  EXPECT_EQ(answer.whatToDo, 0);
}

TEST_F(PromptAccessibilityTest, AnsweredInDenyModeWithStarDotHostAndOnlyThisPortThroughActionsAlone) {
  const KstPopUpAnswer answer = ask("api.example.com", [](KstPopUpPrompt& p) {
    press(segment(p, "modeSegControl", "Deny"));
    EXPECT_TRUE(segment(p, "modeSegControl", "Deny")->state().checked);
    EXPECT_FALSE(segment(p, "modeSegControl", "Allow")->state().checked);
    EXPECT_FALSE(p.timeOutPending()) << "a pressed segment is a touched control";
    press(segment(p, "detailSegControll", "*.host"));
    ASSERT_TRUE(named(p, "hostSelectionView")->isVisible());
    // The host parts, all selected when the panel opens; "api" let go.
    EXPECT_TRUE(segment(p, "hostPartsSegControl", "api")->state().checked);
    EXPECT_TRUE(segment(p, "hostPartsSegControl", "example.com")->state().checked);
    press(segment(p, "hostPartsSegControl", "example.com"));
    EXPECT_TRUE(segment(p, "hostPartsSegControl", "example.com")->state().checked) << "the last part stays";
    press(segment(p, "hostPartsSegControl", "api"));
    EXPECT_FALSE(segment(p, "hostPartsSegControl", "api")->state().checked);
    press(face(named(p, "hostPartsDone")));
    EXPECT_FALSE(named(p, "hostSelectionView")->isVisible());
    press(segment(p, "portSegControll", "only port 443"));
    EXPECT_TRUE(segment(p, "portSegControll", "only port 443")->state().checked);
    press(answerFace(p, 3));
  });
  EXPECT_EQ(answer.whatToDo, 3) << "Always in deny mode";
  EXPECT_EQ(answer.andToDo, 2);
  EXPECT_EQ(answer.portToDo, 1);
  EXPECT_EQ(answer.host, "example.com");
}

TEST_F(PromptAccessibilityTest, PressesAndKeysInTheFirstMomentsAreIgnoredAsTouchesAre) {
  bool guarded = false;
  const KstPopUpAnswer answer = ask(
      "api.example.com", [](KstPopUpPrompt& p) { press(answerFace(p, 0)); },
      [this, &guarded](KstPopUpPrompt& p) {
        // A loaded machine may come here only after the first moments; then
        // there is nothing to show.
        guarded = !uikit::reachableByTouch(named(p, "answerButton0"));
        if (!guarded) return;
        press(segment(p, "modeSegControl", "Deny"));
        press(answerFace(p, 3));
        press(answerFace(p, 3));
        QApplication::setActiveWindow(p.myWindow());
        named(p, "answerButton5")->setFocus(Qt::TabFocusReason);
        if (QWidget* keys = QApplication::focusWidget()) QTest::keyClick(keys, Qt::Key_Space);
        EXPECT_TRUE(get(flags_.isShowingWindow)) << "answered within the first moments";
        EXPECT_FALSE(segment(p, "modeSegControl", "Deny")->state().checked);
        EXPECT_TRUE(p.timeOutPending());
      });
  if (!guarded) GTEST_SKIP() << "the prompt's first moments had passed before the test could act";
  EXPECT_EQ(answer.whatToDo, 0) << "allow mode and Once: the early presses did nothing";
}

TEST_F(PromptAccessibilityTest, AnAnsweredOrTimedOutPromptLeavesNothingToPress) {
  for (const bool timeOut : {false, true}) {
    QAccessible::Id button = 0;
    QAccessible::Id deny = 0;
    const KstPopUpAnswer answer = ask("api.example.com", [&, timeOut](KstPopUpPrompt& p) {
      button = QAccessible::uniqueId(answerFace(p, 3));
      deny = QAccessible::uniqueId(segment(p, "modeSegControl", "Deny"));
      ASSERT_NE(button, 0u);
      if (timeOut) {
        clock_.advance(Seconds(61));
        EXPECT_TRUE(QTest::qWaitFor([this] { return !get(flags_.isShowingWindow); }, kWaitMs));
      } else {
        press(answerFace(p, 0));
      }
    });
    EXPECT_EQ(answer.whatToDo, timeOut ? 1 : 0);
    EXPECT_EQ(QAccessible::accessibleInterface(button), nullptr) << timeOut;
    EXPECT_EQ(QAccessible::accessibleInterface(deny), nullptr) << timeOut;
    EXPECT_FALSE(get(flags_.isShowingWindow));
  }
}

TEST_F(PromptAccessibilityTest, TheKeyboardAloneAnswersInDenyModeWithTheFocusShown) {
  const KstPopUpAnswer answer = ask("api.example.com", [](KstPopUpPrompt& p) {
    QApplication::setActiveWindow(p.myWindow());
    p.myWindow()->findChild<QWidget*>("KstWindowView")->setFocus();
    const auto tabTo = [&p](const char* name) {
      QWidget* target = named(p, name);
      for (int i = 0; i < 20 && p.myView()->focusWidget() != target; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      return p.myView()->focusWidget() == target;
    };
    ASSERT_TRUE(tabTo("modeSegControl")) << "Tab reaches the mode";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    EXPECT_TRUE(segment(p, "modeSegControl", "Deny")->state().checked);
    ASSERT_TRUE(tabTo("answerButton3")) << "Tab reaches the answer buttons";
    EXPECT_TRUE(answerFace(p, 3)->state().focused);
    QTest::qWait(50);
    EXPECT_FALSE(testing::saveScreenshot(p.myWindow(), "prompt-focus-ring").empty());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  });
  EXPECT_EQ(answer.whatToDo, 3) << "Always in deny mode, from the keyboard";
}

TEST_F(PromptAccessibilityTest, AClickOnTheQuestionThenTabReachesTheAnswers) {
  const KstPopUpAnswer answer = ask("api.example.com", [](KstPopUpPrompt& p) {
    QApplication::setActiveWindow(p.myWindow());
    auto* view = p.myWindow()->findChild<QGraphicsView*>("KstWindowView");
    ASSERT_NE(view, nullptr);
    QWidget* question = named(p, "hostLabel");
    const QPointF inScene = p.myView()->graphicsProxyWidget()->mapToScene(
        QPointF(question->mapTo(p.myView(), question->rect().center())));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->mapFromScene(inScene));
    QWidget* once = named(p, "answerButton0");
    // The click focused no control: Tab starts from the top of the prompt.
    for (int i = 0; i < 20 && !once->hasFocus(); ++i)
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_TRUE(once->hasFocus()) << "Tab from a clicked question never reached Once";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  });
  EXPECT_EQ(answer.whatToDo, 0) << "Once, from the keyboard after a click";
}

}  // namespace
}  // namespace kst
