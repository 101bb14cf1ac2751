#pragma once

#include <QObject>
#include <QString>

#include "platform/springboard/PauseSwitch.h"

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace kst::springboard {

// The shell's only presence on the desktop besides its prompts: a status
// icon that shows whether the firewall is on or paused and whether a
// question waits, with a menu to open the settings application, pause or
// resume, read the last answers and quit. Where the desktop has no status
// area the shell runs on without it and says so once.
class ShellTray : public QObject {
  Q_OBJECT

 public:
  enum class State { kOn, kPaused, kAsking };

  ShellTray(PauseSwitch pause, QString settingsProgram, QObject* parent = nullptr);
  ~ShellTray() override;

  // Redraws the icon and the menu from the pause marker, the prompt on
  // screen and the device's answers.
  void refresh();
  State state() const { return state_; }
  QMenu* menu() const { return menu_; }
  QSystemTrayIcon* icon() const { return icon_; }

 private:
  void togglePause();
  void openSettings();
  void rebuildAnswers();

  PauseSwitch pause_;
  QString settingsProgram_;
  QSystemTrayIcon* icon_;
  QMenu* menu_;
  QAction* openAction_;
  QAction* pauseAction_;
  QAction* answersHeading_;
  QAction* answersEnd_;
  QList<QAction*> answerActions_;
  QTimer* poll_;
  State state_ = State::kOn;
  bool drawn_ = false;
  bool saidNoTray_ = false;
};

}  // namespace kst::springboard
