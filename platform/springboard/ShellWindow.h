#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;

namespace kst::springboard {

// The shell's own small window on a desktop: the device state, a lock
// toggle, the visible and pending alert items and the last answers. It
// shows DeviceState::shared() and changes it only through the toggle.
class ShellWindow : public QWidget {
  Q_OBJECT

 public:
  explicit ShellWindow(QWidget* parent = nullptr);
  // Redraws from the device state.
  void refresh();

 private:
  QLabel* device_;
  QCheckBox* lock_;
  QLabel* alerts_;
  QLabel* answers_;
};

}  // namespace kst::springboard
