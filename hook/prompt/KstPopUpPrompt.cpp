#include "hook/prompt/KstPopUpPrompt.h"

#include <QApplication>
#include <QEventLoop>
#include <QFrame>
#include <QGraphicsProxyWidget>
#include <QLabel>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollArea>
#include <QThread>
#include <QTimer>
#include <chrono>

#include "hook/prompt/KstWindow.h"
#include "hook/prompt/PromptAccessibility.h"
#include "hook/prompt/PromptChoices.h"
#include "hook/prompt/PromptLayout.h"
#include "hook/prompt/PromptStyle.h"
#include "hook/prompt/SpringBoardAccess.h"
#include "hook/prompt/UIMultipleSelectionSegmentControl.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstFlags.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"
#include "platform/uikit/Backdrop.h"
#include "platform/uikit/SegmentedControl.h"

namespace kst {

namespace {

using prompt::Frame;

constexpr double kStartupGrace = 25.0;
constexpr double kSlice = 0.2;
constexpr double kIgnoreTouches = 0.3;
constexpr Seconds kTimeOut{60.0};
constexpr Seconds kColourInterval{0.5};
constexpr int kFadeMilliseconds = 300;
constexpr Seconds kAlertReturnDelay{2.0};
constexpr int kVibrateSound = 4095;
constexpr int kPromptSound = 1052;
// The window's property that says whether a touch would reach the prompt
// now (its first moments and its fade are over); the shell's automation
// reads it, so that a scripted tap is refused when a finger's would be.
constexpr const char* kAcceptsTouchesProperty = "acceptsTouches";
constexpr const char* kSolidPopupKey = "solidPopup";
constexpr const char* kPlaySoundInSleepKey = "playSoundInSleep";
constexpr const char* kTabletModel = "iPad";
constexpr const char* kOkTitle = "OK";
constexpr const char* kAllowTitle = "Allow";
constexpr const char* kDenyTitle = "Deny";
constexpr const char* kAllPortsTitle = "all ports";
constexpr const char* kOnlyPortTitle = "only port ";
constexpr const char* kHostFormTitles[] = {"normal", "*host", "*.host"};
// What assistive tools read for the two small buttons: what they show and do.
constexpr const char* kWhoIsName = "WhoIs ";
constexpr const char* kWhoIsDescription = "Shows who owns the host";
constexpr const char* kPortInfoName = "Port information";
constexpr const char* kPortInfoDescription = "Shows what each port is used for, port ";
constexpr const char* kUrlName = "URL";
constexpr const char* kButtonNames[prompt::kButtonCount] = {
    "answerButton0", "answerButton1", "answerButton2", "answerButton3", "answerButton4", "answerButton5"};
constexpr const char* kDismissedName = "dismissed";
constexpr const char* kAnswerNames[] = {"allowOnce",   "denyOnce",   "alwaysAllow",     "alwaysDeny",
                                        "allowAll",    "denyAll",    "allowSession",    "denySession",
                                        "globalAllow", "globalDeny", "allowAllSession", "denyAllSession"};

QRect rect(const Frame& f) {
  return QRect(f.x, f.y, f.width, f.height);
}

double secondsSinceReference() {
  using namespace std::chrono;
  // 2001-01-01 00:00:00 UTC, the original platform's reference date.
  constexpr double kReferenceEpoch = 978307200.0;
  return duration<double>(system_clock::now().time_since_epoch()).count() - kReferenceEpoch;
}

template <typename W>
W* named(W* widget, const char* objectName, const QString& accessibleName) {
  widget->setObjectName(objectName);
  widget->setAccessibleName(accessibleName);
  return widget;
}

}  // namespace

KstPopUpPrompt::KstPopUpPrompt(const KstPromptContext& context, PromptOptions options)
    : context_(context), options_(std::move(options)) {
  prompt::installPromptAccessibility();
}

KstPopUpPrompt::~KstPopUpPrompt() {
  cancelTimeOut();
  if (colourTimer_) loop().cancelTimer(*colourTimer_);
  delete myWindow_;
}

RunLoop& KstPopUpPrompt::loop() const {
  return context_.mainLoop != nullptr ? *context_.mainLoop : mainQueue();
}

KstPopUpAnswer KstPopUpPrompt::createAViewWithPort(const std::optional<std::string>& port,
                                                   const std::optional<std::string>& host,
                                                   std::optional<std::int64_t> orientation,
                                                   const std::optional<std::string>& displayName,
                                                   std::optional<bool> /*themeNumber*/,
                                                   const std::optional<std::string>& url,
                                                   const std::optional<std::string>& bundleIdentifier) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() != app->thread() || context_.flags == nullptr)
    return KstPopUpAnswer{msg::allowOnce, 0, 0, host};

  KstFlags& flags = *context_.flags;
  set(flags.isShowingWindow, true);

  std::optional<std::string> name = displayName;
  if (displayName && bundleIdentifier && *displayName == *bundleIdentifier)
    if (auto installed = sb_access::displayNameFor(*bundleIdentifier)) name = installed;

  // Start-up grace: a locked device just after SpringBoard's launch waits
  // for the unlock.
  const double launch = context_.launchTime != nullptr ? context_.launchTime->load() : 0.0;
  while (launch > 0 && secondsSinceReference() - launch < kStartupGrace && sb_access::isLocked())
    runSlice(kSlice);

  host_ = host;
  const auto global =
      plist::readDictionaryFile(FileSystem::real(), DeviceRoot::process().path(files::kGlobalRulesPath));
  solidPopup_ = global ? plist::boolValue(global->find(kSolidPopupKey), false) : false;
  playSoundInSleep_ = global ? plist::boolValue(global->find(kPlaySoundInSleepKey), true) : true;

  orientationInt_ = static_cast<int>(orientation.value_or(0));
  if (orientationInt_ < 0 || orientationInt_ > 3) orientationInt_ = 0;
  isIP_ = prompt::isIP(host_);
  hostPartsArray_ = prompt::hostPartsArray(host_);
  const bool tablet = sb_access::deviceModel().value_or("") == kTabletModel;

  buildViews(port, name, url);
  dismissTimer_ = loop().addTimer(kTimeOut, [this] { dismissTimerFired(); });
  placeWindow(tablet);
  wakeIfLocked();
  if (!solidPopup_)
    colourTimer_ = loop().addTimer(
        kColourInterval, [this] { colorChecking(); }, kColourInterval);

  myWindow_->show();
  // Raised but not activated: the keyboard stays with the window the
  // person types in until they click the prompt.
  myWindow_->raise();
  // An alert on screen now is pushed aside like one that shows up while
  // waiting, so it too comes back shortly after the answer.
  pushAsideVisibleAlert();
  if (sb_access::stopPendingAlertItems()) sb_access::moveActiveAlertsToPending();
  if (options_.onShown) options_.onShown(*this);

  wait();
  cleanUp();
  return KstPopUpAnswer{whatToDo_, andToDo_, portToDo_, host_};
}

void KstPopUpPrompt::buildViews(const std::optional<std::string>& port,
                                const std::optional<std::string>& displayName,
                                const std::optional<std::string>& url) {
  const prompt::PromptLayout& layout = prompt::layoutFor(orientationInt_);
  textColour_ = solidPopup_ ? style::kDarkText : QColor(Qt::white);
  const QColor modeTint = textColour_;

  bgBlurView_ =
      new uikit::Backdrop(solidPopup_ ? uikit::Backdrop::Style::kSolid : uikit::Backdrop::Style::kBlurred);
  bgBlurView_->setObjectName("bgBlurView");
  bgBlurView_->resize(320, 460);

  myView_ = named(new QWidget(), prompt::kMainViewObjectName, "Connection prompt");
  myView_->setAttribute(Qt::WA_TranslucentBackground);
  myView_->resize(layout.mainView.width, layout.mainView.height);
  auto* backing = new QFrame(myView_);
  backing->setGeometry(0, 0, layout.mainView.width, layout.mainView.height);
  backing->setStyleSheet(style::kBackingSheet);

  // What is shown is what assistive tools read: the question, the host, the URL.
  const QString question = QString::fromStdString(prompt::printable(prompt::questionLine(displayName, port)));
  hostLabel_ = named(new QLabel(myView_), "hostLabel", question);
  hostLabel_->setGeometry(rect(layout.questionLine));
  hostLabel_->setAlignment(Qt::AlignCenter);
  hostLabel_->setTextFormat(Qt::PlainText);
  style::setLabelText(hostLabel_, question, style::kQuestionFontSize, style::kMinimumQuestionFontSize, false);
  style::setTextColour(hostLabel_, textColour_);

  const QString hostText = QString::fromStdString(prompt::printable(host_.value_or("")));
  whoIS_ = named(new QPushButton(myView_), "whoIS", kWhoIsName + hostText);
  whoIS_->setAccessibleDescription(kWhoIsDescription);
  whoIS_->setGeometry(rect(layout.hostButton));
  whoIS_->setProperty(style::kFullTextProperty, hostText);
  style::setButtonText(whoIS_, hostText, style::kQuestionFontSize, style::kMinimumHostFontSize, true);
  connect(whoIS_, &QPushButton::clicked, this, [this] { createWhoIs(); });

  const QString urlText = url ? QString::fromStdString(prompt::printable(*url)) : QString();
  auto* urlScroll = named(new QScrollArea(myView_), "urlScrollView", kUrlName);
  urlScroll->setAccessibleDescription(urlText);
  urlScroll->setGeometry(rect(layout.urlScrollView));
  urlScroll->setFrameShape(QFrame::NoFrame);
  urlScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  urlScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  urlScroll->setStyleSheet("background: transparent");
  urlLabel_ = named(new QLabel(), "urlLabel", urlText);
  urlLabel_->setTextFormat(Qt::PlainText);
  QFont urlFont = urlLabel_->font();
  urlFont.setPixelSize(style::kQuestionFontSize);
  urlLabel_->setFont(urlFont);
  urlLabel_->setText(urlText);
  style::setTextColour(urlLabel_, textColour_);
  urlLabel_->resize(urlText.isEmpty() ? 0 : QFontMetrics(urlFont).horizontalAdvance(urlText) + 2, 22);
  urlScroll->setWidget(urlLabel_);

  detailSegControll_ = named(
      new uikit::SegmentedControl({kHostFormTitles[0], kHostFormTitles[1], kHostFormTitles[2]}, myView_),
      "detailSegControll", "Host form");
  detailSegControll_->setGeometry(rect(layout.hostFormControl));
  detailSegControll_->selectSegmentQuietly(0);
  detailSegControll_->setEnabled(!isIP_);
  connect(detailSegControll_, &uikit::SegmentedControl::valueChanged, this,
          [this] { starSegControllChanged(); });

  portSegControll_ = named(
      new uikit::SegmentedControl(
          {kAllPortsTitle, kOnlyPortTitle + QString::fromStdString(prompt::printable(port.value_or("")))},
          myView_),
      "portSegControll", "Port scope");
  portSegControll_->setGeometry(rect(layout.portControl));
  portSegControll_->selectSegmentQuietly(0);
  connect(portSegControll_, &uikit::SegmentedControl::valueChanged, this,
          [this] { portSegControllChanged(); });

  portInfoButton_ = named(new QPushButton(myView_), "portInfoButton", kPortInfoName);
  portInfoButton_->setAccessibleDescription(kPortInfoDescription +
                                            QString::fromStdString(prompt::printable(port.value_or(""))));
  portInfoButton_->setGeometry(rect(layout.portInfoButton));
  connect(portInfoButton_, &QPushButton::clicked, this, [this] { portInfoButtonPressed(); });

  tapView_ = named(new QWidget(myView_), "tapView", "Answers");
  tapView_->setGeometry(rect(layout.lowerPanel));
  auto* lowerBacking = new QFrame(tapView_);
  lowerBacking->setGeometry(0, 0, layout.lowerPanel.width, layout.lowerPanel.height);
  lowerBacking->setStyleSheet(style::kBackingSheet);
  modeSegControl_ =
      named(new uikit::SegmentedControl({kAllowTitle, kDenyTitle}, tapView_), "modeSegControl", "Mode");
  modeSegControl_->setGeometry(rect(layout.modeControl));
  modeSegControl_->selectSegmentQuietly(0);
  modeSegControl_->setTintColor(modeTint);
  connect(modeSegControl_, &uikit::SegmentedControl::valueChanged, this, [this] { modeSegControlChanged(); });

  for (int tag = 0; tag < prompt::kButtonCount; ++tag) {
    // "&" would mark a shortcut key in a button's text.
    const QString text = QString(prompt::kButtonTitles[tag]).replace("&", "&&");
    auto* button = named(new QPushButton(text, tapView_), kButtonNames[tag], prompt::kButtonTitles[tag]);
    button->setGeometry(rect(layout.buttons[tag]));
    button->setProperty("tag", tag);
    connect(button, &QPushButton::clicked, this, [this, tag] { buttonPressed(tag); });
    buttonsArray_.push_back(button);
  }
  style::styleAnswerButtons(buttonsArray_, modeTint);

  if (hostPartsArray_) {
    hostSelectionView_ = named(new QWidget(myView_), "hostSelectionView", "Host parts");
    hostSelectionView_->setGeometry(rect(layout.hostPartsPanel));
    auto* partsBacking = new QFrame(hostSelectionView_);
    partsBacking->setGeometry(0, 0, layout.hostPartsPanel.width, layout.hostPartsPanel.height);
    partsBacking->setStyleSheet(style::kPartsBackingSheet);
    hostPartsSegControl_ = named(new UIMultipleSelectionSegmentControl(*hostPartsArray_, hostSelectionView_),
                                 "hostPartsSegControl", "Host parts");
    hostPartsSegControl_->setGeometry(rect(layout.hostPartsControl));
    connect(hostPartsSegControl_, &uikit::SegmentedControl::valueChanged, this,
            [this] { hostPartsSegControlChanged(); });
    auto* ok = named(new QPushButton(kOkTitle, hostSelectionView_), "hostPartsDone", kOkTitle);
    ok->setGeometry(rect(layout.hostPartsOk));
    style::stylePanelButton(ok);
    connect(ok, &QPushButton::clicked, this, [this] { hostPartsDone(); });
    hostSelectionView_->hide();
  }
  applyAccent(style::accent(prompt::kAccentBlue));
}

void KstPopUpPrompt::applyAccent(const QColor& accent) {
  style::setButtonColour(whoIS_, accent);
  detailSegControll_->setTintColor(accent);
  portSegControll_->setTintColor(accent);
  style::styleInfoButton(portInfoButton_, accent);
  if (hostPartsSegControl_ != nullptr) hostPartsSegControl_->setTintColor(accent);
}

void KstPopUpPrompt::placeWindow(bool tablet) {
  const int width = tablet ? 768 : 320;
  const int height = tablet ? 1024 : 480;
  myWindow_ = new KstWindow(width, height);
  // Announced as the question about the host, so a screen reader speaks it.
  myWindow_->setAccessibleName(hostLabel_->accessibleName());
  myWindow_->setAccessibleDescription(whoIS_->property(style::kFullTextProperty).toString());
  QPointF background(0, 10);
  if (tablet) {
    static constexpr QPointF kTabletBackground[] = {{224, 10}, {436, 318}, {10, 262}, {224, 554}};
    background = kTabletBackground[orientationInt_];
  }
  myWindow_->setBackground(bgBlurView_, background);
  // The main view turns about the middle of the background it sits on.
  const QPointF centre = background + QPointF(160, 230);
  myWindow_->setMainView(myView_, centre, prompt::rotationFor(orientationInt_));
  myWindow_->placeOnPointerScreen();

  QGraphicsProxyWidget* proxy = myWindow_->mainViewProxy();
  proxy->setAcceptedMouseButtons(Qt::NoButton);
  auto* fade = new QPropertyAnimation(proxy, "opacity", proxy);
  fade->setDuration(kFadeMilliseconds);
  fade->setStartValue(0.0);
  fade->setEndValue(1.0);
  fade->setEasingCurve(QEasingCurve::InOutQuad);
  connect(fade, &QPropertyAnimation::finished, this, [this] { animationDidStop(); });
  fade->start(QAbstractAnimation::DeleteWhenStopped);
}

void KstPopUpPrompt::wakeIfLocked() {
  if (!sb_access::isLocked()) return;
  idleTimerDisabled_ = sb_access::disableIdleTimer(true);
  if (!sb_access::isDim()) return;
  sb_access::pressLockButton();
  if (playSoundInSleep_) {
    sb_access::playSystemSound(kVibrateSound);
    sb_access::playSystemSound(kPromptSound);
    QApplication::beep();
  }
}

void KstPopUpPrompt::animationDidStop() {
  fadeOver_ = true;
  if (myWindow_ != nullptr && myWindow_->mainViewProxy() != nullptr)
    myWindow_->mainViewProxy()->setAcceptedMouseButtons(Qt::AllButtons);
  noteTouchable();
}

void KstPopUpPrompt::noteTouchable() {
  if (myWindow_ != nullptr) myWindow_->setProperty(kAcceptsTouchesProperty, guardOver_ && fadeOver_);
}

void KstPopUpPrompt::runSlice(double seconds) {
  QEventLoop slice;
  QTimer end;
  end.setSingleShot(true);
  connect(&end, &QTimer::timeout, &slice, &QEventLoop::quit);
  end.start(static_cast<int>(seconds * 1000));
  QEventLoop* outer = slice_;
  slice_ = &slice;
  slice.exec();
  slice_ = outer;
}

void KstPopUpPrompt::wait() {
  waitUntilDone_ = !dismissed_;
  set(context_.flags->waitUntilDone, waitUntilDone_);
  // Touches of this prompt's first moments (meant for what was there
  // before) are not delivered to it; from then on the first one counts,
  // whatever happened to the prompt before it.
  myWindow_->setAttribute(Qt::WA_TransparentForMouseEvents, true);
  guardOver_ = false;
  noteTouchable();
  QTimer::singleShot(static_cast<int>(kIgnoreTouches * 1000), this, [this] {
    guardOver_ = true;
    if (myWindow_ != nullptr) myWindow_->setAttribute(Qt::WA_TransparentForMouseEvents, false);
    noteTouchable();
  });
  while (waitUntilDone_) {
    pushAsideVisibleAlert();
    runSlice(kSlice);
    if (!waitUntilDone_) myWindow_->clearFocus();
  }
}

void KstPopUpPrompt::pushAsideVisibleAlert() {
  KstId visible = sb_access::visibleAlertItem();
  if (visible == nullptr) return;
  pushedAlert_ = visible;
  sb_access::moveActiveAlertsToPending();
  sb_access::deactivateAlertItem(visible);
}

void KstPopUpPrompt::cleanUp() {
  if (colourTimer_) loop().cancelTimer(*colourTimer_);
  colourTimer_.reset();
  if (hostSelectionChanged_ && hostPartsSegControl_ != nullptr && hostPartsArray_)
    host_ = prompt::assembleHost(*hostPartsArray_, hostPartsSegControl_->selectedSegmentIndices());
  cancelTimeOut();
  if (idleTimerDisabled_) sb_access::disableIdleTimer(false);
  if (pushedAlert_ != nullptr) {
    sb_access::activatePendedAlerts();
    sb_access::deactivateAlertItem(pushedAlert_);
    KstId item = pushedAlert_;
    loop().addTimer(kAlertReturnDelay, [item] { sb_access::activateAlertItem(item); });
    pushedAlert_ = nullptr;
  }
  if (sb_access::answersSetForceAlertsToPend()) sb_access::activatePendedAlerts();
  const int code = whatToDo_ >= 0 && whatToDo_ <= 11 ? whatToDo_ : 0;
  sb_access::noteAnswer(std::string(dismissed_ ? kDismissedName : kAnswerNames[code]) + " " +
                        prompt::printable(host_.value_or("")));
  myWindow_->hide();
  delete myWindow_;  // the views with it
  myWindow_ = nullptr;
  myView_ = nullptr;
  set(context_.flags->waitUntilDone, false);
}

void KstPopUpPrompt::choose(int code) {
  if (myWindow_ != nullptr) myWindow_->clearFocus();
  waitUntilDone_ = false;
  whatToDo_ = code;
  if (context_.flags != nullptr) set(context_.flags->isShowingWindow, false);
  if (slice_ != nullptr) slice_->quit();
}

void KstPopUpPrompt::dismiss() {
  dismissed_ = true;
  if (myWindow_ != nullptr) myWindow_->clearFocus();
  waitUntilDone_ = false;
  if (context_.flags != nullptr) set(context_.flags->isShowingWindow, false);
  if (slice_ != nullptr) slice_->quit();
}

void KstPopUpPrompt::buttonPressed(int tag) {
  if (auto code = prompt::answerCode(mode_, tag)) choose(*code);
}

void KstPopUpPrompt::dismissTimerFired() {
  dismissTimer_.reset();
  denyOnce();
}

void KstPopUpPrompt::cancelTimeOut() {
  if (dismissTimer_) loop().cancelTimer(*dismissTimer_);
  dismissTimer_.reset();
}

void KstPopUpPrompt::modeSegControlChanged() {
  cancelTimeOut();
  mode_ = modeSegControl_->selectedSegmentIndex();
  const QColor tint = mode_ == 1 ? style::kDenyRed : textColour_;
  modeSegControl_->setTintColor(tint);
  style::styleAnswerButtons(buttonsArray_, tint);
}

void KstPopUpPrompt::starSegControllChanged() {
  cancelTimeOut();
  andToDo_ = detailSegControll_->selectedSegmentIndex();
  starSegChange_ = 1;
  if (hostSelectionView_ != nullptr) {
    hostSelectionView_->raise();
    hostSelectionView_->show();
    hostPartsSegControl_->prepareForKst();
  }
  ++starSegChange_;
}

void KstPopUpPrompt::hostPartsDone() {
  if (hostSelectionView_ != nullptr) hostSelectionView_->hide();
}

void KstPopUpPrompt::portSegControllChanged() {
  portToDo_ = portSegControll_->selectedSegmentIndex();
  if (sb_access::isLocked()) sb_access::resetLockScreenIdleTimer();
  cancelTimeOut();
}

void KstPopUpPrompt::hostPartsSegControlChanged() {
  if (sb_access::isLocked()) sb_access::resetLockScreenIdleTimer();
  cancelTimeOut();
  hostSelectionChanged_ = true;
}

void KstPopUpPrompt::colorChecking() {
  if (bgBlurView_ == nullptr || myWindow_ == nullptr) return;
  const QColor behind = bgBlurView_->outputColor();
  applyAccent(style::accent(prompt::accentFor(behind.redF(), behind.greenF(), behind.blueF())));
}

}  // namespace kst
