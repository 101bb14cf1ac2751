#include "platform/springboard/ShellTray.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdio>
#include <utility>

#include "platform/bundle/MainBundle.h"
#include "platform/springboard/DeviceState.h"
#include "platform/springboard/PromptInspector.h"

namespace kst::springboard {

namespace {

constexpr const char* kOpenSettingsTitle = "Open Kestrix Settings";
constexpr const char* kPauseTitle = "Pause Kestrix";
constexpr const char* kResumeTitle = "Resume Kestrix";
constexpr const char* kAnswersTitle = "Last answers";
constexpr const char* kNoAnswersTitle = "No answers yet";
constexpr const char* kQuitTitle = "Quit";
constexpr const char* kOnToolTip = "Kestrix is on";
constexpr const char* kPausedToolTip = "Kestrix is paused";
constexpr const char* kAskingToolTip = "Kestrix is asking about a connection";
// The marker can change under the shell (the settings application's switch)
// and nothing tells the shell, so the icon looks again this often.
constexpr int kPollMilliseconds = 1000;
// The device keeps each answer as "<answer name> <host>"; the menu says it
// in words, host first.
QString answerInWords(const std::string& line) {
  static const std::pair<const char*, const char*> kWords[] = {
      {"allowOnce", "allowed once"},
      {"denyOnce", "denied once"},
      {"alwaysAllow", "always allowed"},
      {"alwaysDeny", "always denied"},
      {"allowAll", "all connections allowed"},
      {"denyAll", "all connections denied"},
      {"allowSession", "allowed for this session"},
      {"denySession", "denied for this session"},
      {"globalAllow", "always allowed, for every app"},
      {"globalDeny", "always denied, for every app"},
      {"allowAllSession", "everything allowed for this session"},
      {"denyAllSession", "everything denied for this session"}};
  const std::size_t space = line.find(' ');
  const std::string name = line.substr(0, space);
  const std::string host = space == std::string::npos ? std::string() : line.substr(space + 1);
  for (const auto& [code, words] : kWords) {
    if (name == code) return QString::fromStdString(host.empty() ? words : host + ": " + words);
  }
  return QString::fromStdString(line);
}

// Of the answers the device keeps, the menu lists the newest few.
constexpr std::size_t kMenuAnswers = 5;
constexpr int kIconSize = 64;
constexpr int kIconMargin = 4;
constexpr int kBadgeSize = 26;
const QColor kOnColour(52, 199, 89);
const QColor kPausedColour(142, 142, 147);
const QColor kBadgeColour(255, 149, 0);
// The shell runs under the preloaded substrate; the settings application
// is not a program the firewall watches, so none of that identity goes on.
constexpr const char* kInheritedIdentity[] = {"LD_PRELOAD", kBundleIdentifierVariable, kDisplayNameVariable,
                                              kExecutableVariable};

QIcon drawIcon(ShellTray::State state) {
  QPixmap pixmap(kIconSize, kIconSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF disc(kIconMargin, kIconMargin, kIconSize - 2 * kIconMargin, kIconSize - 2 * kIconMargin);
  p.setPen(Qt::NoPen);
  p.setBrush(state == ShellTray::State::kPaused ? kPausedColour : kOnColour);
  p.drawEllipse(disc);
  // A wall of three courses: the firewall.
  p.setPen(QPen(Qt::white, kIconSize / 16.0));
  const qreal left = disc.left() + disc.width() * 0.25, right = disc.right() - disc.width() * 0.25;
  for (int course = 1; course <= 3; ++course) {
    const qreal y = disc.top() + disc.height() * course / 4.0;
    p.drawLine(QPointF(left, y), QPointF(right, y));
  }
  if (state == ShellTray::State::kPaused) {
    p.setPen(QPen(kPausedColour.darker(), kIconSize / 10.0));
    p.drawLine(disc.topLeft() + QPointF(disc.width() * 0.15, disc.height() * 0.15),
               disc.bottomRight() - QPointF(disc.width() * 0.15, disc.height() * 0.15));
  }
  if (state == ShellTray::State::kAsking) {
    p.setPen(Qt::NoPen);
    p.setBrush(kBadgeColour);
    p.drawEllipse(QRectF(kIconSize - kBadgeSize, 0, kBadgeSize, kBadgeSize));
  }
  return QIcon(pixmap);
}

QAction* named(QAction* action, const char* name) {
  action->setObjectName(name);
  return action;
}

}  // namespace

ShellTray::ShellTray(PauseSwitch pause, QString settingsProgram, QObject* parent)
    : QObject(parent), pause_(std::move(pause)), settingsProgram_(std::move(settingsProgram)) {
  menu_ = new QMenu();
  menu_->setObjectName("trayMenu");
  menu_->setAccessibleName("Kestrix");
  openAction_ = named(menu_->addAction(kOpenSettingsTitle), "openSettings");
  pauseAction_ = named(menu_->addAction(kPauseTitle), "pauseKestrix");
  menu_->addSeparator();
  answersHeading_ = named(menu_->addAction(kAnswersTitle), "answersHeading");
  answersHeading_->setEnabled(false);
  answersEnd_ = menu_->addSeparator();
  named(menu_->addAction(kQuitTitle), "quit");
  connect(openAction_, &QAction::triggered, this, [this] { openSettings(); });
  connect(pauseAction_, &QAction::triggered, this, [this] { togglePause(); });
  connect(menu_->findChild<QAction*>("quit"), &QAction::triggered, qApp, &QApplication::quit);
  connect(menu_, &QMenu::aboutToShow, this, [this] { refresh(); });

  icon_ = new QSystemTrayIcon(this);
  icon_->setObjectName("statusIcon");
  icon_->setContextMenu(menu_);
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger) openSettings();
  });
  refresh();
  icon_->show();

  poll_ = new QTimer(this);
  connect(poll_, &QTimer::timeout, this, [this] { refresh(); });
  poll_->start(kPollMilliseconds);
}

ShellTray::~ShellTray() {
  delete menu_;
}

void ShellTray::refresh() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    if (!saidNoTray_)
      std::fputs("springboard: this desktop has no status area; running without a status icon\n", stderr);
    saidNoTray_ = true;
  }
  const bool paused = pause_.paused();
  State now = paused ? State::kPaused : State::kOn;
  if (PromptInspector::promptWindow() != nullptr) now = State::kAsking;
  pauseAction_->setText(paused ? kResumeTitle : kPauseTitle);
  if (!drawn_ || now != state_) {
    state_ = now;
    drawn_ = true;
    icon_->setIcon(drawIcon(now));
    icon_->setToolTip(now == State::kAsking ? kAskingToolTip : paused ? kPausedToolTip : kOnToolTip);
  }
  rebuildAnswers();
}

void ShellTray::rebuildAnswers() {
  QStringList lines;
  const auto& answers = DeviceState::shared().answers();
  for (auto it = answers.rbegin();
       it != answers.rend() && static_cast<std::size_t>(lines.size()) < kMenuAnswers; ++it)
    lines << answerInWords(*it);
  if (lines.isEmpty()) lines << kNoAnswersTitle;
  QStringList shown;
  for (const QAction* a : answerActions_) shown << a->text();
  if (shown == lines) return;
  qDeleteAll(answerActions_);
  answerActions_.clear();
  for (const QString& line : lines) {
    auto* a = new QAction(line, menu_);
    a->setObjectName("answer");
    a->setEnabled(false);
    menu_->insertAction(answersEnd_, a);
    answerActions_ << a;
  }
}

void ShellTray::togglePause() {
  const bool paused = pause_.paused();
  if (!pause_.setPaused(!paused))
    std::fprintf(stderr, "springboard: cannot %s Kestrix: the settings folder cannot be written\n",
                 paused ? "resume" : "pause");
  refresh();
}

void ShellTray::openSettings() {
  auto* process = new QProcess(this);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : kInheritedIdentity) env.remove(name);
  process->setProcessEnvironment(env);
  process->setProgram(settingsProgram_);
  if (!process->startDetached())
    std::fprintf(stderr, "springboard: cannot start %s\n", settingsProgram_.toLocal8Bit().constData());
  process->deleteLater();
}

}  // namespace kst::springboard
