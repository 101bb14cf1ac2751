#pragma once

#include <QObject>

class QWidget;

namespace kst::uikit {

// Keeps an alert centred on the window it belongs to: when it shows, and
// whenever the window moves or changes size (a window manager places a new
// window only after it shows, so the first position is often not the last).
// The alert owns it.
class AlertPlacement final : public QObject {
 public:
  AlertPlacement(QWidget* alert, QWidget* window);

  // Moves the alert to the window's centre, inside the window's screen.
  void centre();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* alert_;
  QWidget* window_;
};

}  // namespace kst::uikit
