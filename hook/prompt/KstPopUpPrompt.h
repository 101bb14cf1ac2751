#pragma once

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hook/messaging/KstPopUp.h"
#include "hook/rules/KstMessageNames.h"
#include "platform/objc/ObjcTypes.h"
#include "platform/runloop/RunLoop.h"

class QAbstractButton;
class QEventLoop;
class QLabel;
class QNetworkAccessManager;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QTextEdit;
class QWidget;

namespace kst {

namespace uikit {
class Backdrop;
class SegmentedControl;
}  // namespace uikit
class KstWindow;
class UIMultipleSelectionSegmentControl;

// The public WHOIS web page the WhoIs panel asks.
inline constexpr const char* kWhoIsHost = "www.whois.com";

struct PromptOptions {
  // The iOS 7/8 library's differences (the WhoIs end marker, the query in
  // the system log).
  bool hook7 = false;
  std::string whoIsHost = kWhoIsHost;
  // Runs once the window is on screen and the wait is about to start; tests
  // and the benchmark drive the prompt from here.
  std::function<void(class KstPopUpPrompt&)> onShown;
};

// The connection prompt: builds the window for one question, waits for the
// person's choice in 0.2-second slices of the main loop (every service goes
// on answering meanwhile), cleans up and returns the answer. One object per
// question; main thread only. A question that reaches it on another thread
// (a connection SpringBoard itself makes off its main thread) is allowed
// once without a window: only the main thread may show one, and it may be
// waiting for that very connection.
class KstPopUpPrompt final : public QObject, public KstPopUp {
  Q_OBJECT

 public:
  KstPopUpPrompt(const KstPromptContext& context, PromptOptions options = {});
  ~KstPopUpPrompt() override;

  KstPopUpAnswer createAViewWithPort(const std::optional<std::string>& port,
                                     const std::optional<std::string>& host,
                                     std::optional<std::int64_t> orientation,
                                     const std::optional<std::string>& displayName,
                                     std::optional<bool> themeNumber, const std::optional<std::string>& url,
                                     const std::optional<std::string>& bundleIdentifier) override;

  // The choices.
  void allowOnce() { choose(msg::allowOnce); }
  void denyOnce() { choose(msg::denyOnce); }
  void alwaysAllow() { choose(msg::alwaysAllow); }
  void alwaysDeny() { choose(msg::alwaysDeny); }
  void allowAll() { choose(msg::allowAll); }
  void denyAll() { choose(msg::denyAll); }
  void allowSession() { choose(msg::allowSession); }
  void denySession() { choose(msg::denySession); }
  void globalAllow() { choose(msg::globalAllow); }
  void globalDeny() { choose(msg::globalDeny); }
  void allowAllSession() { choose(msg::allowAllSession); }
  void denyAllSession() { choose(msg::denyAllSession); }
  void buttonPressed(int tag);
  // Its asker went away: the wait ends without a choice.
  void dismiss() override;
  void dismissTimerFired();

  void modeSegControlChanged();
  void starSegControllChanged();
  void portSegControllChanged();
  void hostPartsSegControlChanged();
  void hostPartsDone();
  void animationDidStop();
  void colorChecking();

  // The panels.
  void createWhoIs();
  void whoIsAction(const std::optional<std::string>& page, const QString& error);
  void removeWhoIs();
  void portInfoButtonPressed();
  void removePortTextView();

  // For tests: the window while shown, and whether the time-out is pending.
  KstWindow* myWindow() const { return myWindow_; }
  QWidget* myView() const { return myView_; }
  bool timeOutPending() const { return dismissTimer_.has_value(); }
  bool canExit() const { return canExit_; }
  bool solidPopup() const { return solidPopup_; }
  bool colourTimerRunning() const { return colourTimer_.has_value(); }

 private:
  void choose(int code);
  void cancelTimeOut();
  void buildViews(const std::optional<std::string>& port, const std::optional<std::string>& displayName,
                  const std::optional<std::string>& url);
  void placeWindow(bool tablet);
  void wakeIfLocked();
  void wait();
  void pushAsideVisibleAlert();
  void cleanUp();
  // Runs the main loop for up to `seconds`; a choice ends it at once.
  void runSlice(double seconds);
  void applyAccent(const QColor& accent);
  // Publishes whether a touch reaches the prompt now.
  void noteTouchable();
  RunLoop& loop() const;

  KstPromptContext context_;
  PromptOptions options_;

  // Views: owned by the window while it exists.
  KstWindow* myWindow_ = nullptr;
  QWidget* myView_ = nullptr;
  uikit::Backdrop* bgBlurView_ = nullptr;
  QWidget* tapView_ = nullptr;
  QLabel* hostLabel_ = nullptr;
  QPushButton* whoIS_ = nullptr;
  QPushButton* portInfoButton_ = nullptr;
  QLabel* urlLabel_ = nullptr;
  uikit::SegmentedControl* modeSegControl_ = nullptr;
  uikit::SegmentedControl* detailSegControll_ = nullptr;
  uikit::SegmentedControl* portSegControll_ = nullptr;
  UIMultipleSelectionSegmentControl* hostPartsSegControl_ = nullptr;
  QWidget* hostSelectionView_ = nullptr;
  std::vector<QPushButton*> buttonsArray_;
  QPointer<QWidget> whoIsWindow_;
  QTextEdit* whoIsTextView_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  QPointer<QScrollArea> scroller_;
  QPlainTextEdit* portTextView_ = nullptr;
  QPushButton* portCloseButton_ = nullptr;
  QNetworkAccessManager* network_ = nullptr;

  std::optional<std::string> host_;
  int orientationInt_ = 0;
  bool solidPopup_ = false;
  bool playSoundInSleep_ = true;
  int whatToDo_ = 0;
  int andToDo_ = 0;
  int portToDo_ = 0;
  int mode_ = 0;
  bool isIP_ = false;
  std::optional<std::vector<std::string>> hostPartsArray_;
  bool hostSelectionChanged_ = false;
  int starSegChange_ = 0;
  std::optional<RunLoop::TimerId> dismissTimer_;
  std::optional<RunLoop::TimerId> colourTimer_;
  bool waitUntilDone_ = false;
  bool dismissed_ = false;
  bool guardOver_ = false;  // this prompt's first moments have passed
  bool fadeOver_ = false;   // its fade-in has ended
  bool canExit_ = false;
  bool idleTimerDisabled_ = false;
  KstId pushedAlert_ = nullptr;
  QColor textColour_;
  QEventLoop* slice_ = nullptr;
};

}  // namespace kst
