#pragma once

#include <QWidget>

class QGraphicsScene;
class QGraphicsView;
class QGraphicsProxyWidget;

namespace kst {

// The prompt's window: frameless, above every other window, placed centred
// on the screen that has the pointer. Its views sit in a scene so that the
// main view can be turned to the device's orientation; the window is the
// size of the device's screen in points.
class KstWindow final : public QWidget {
  Q_OBJECT

 public:
  KstWindow(int width, int height);
  ~KstWindow() override;

  // The window is drawn in a secure context: above the lock screen.
  bool _shouldCreateContextAsSecure() const { return true; }

  // Puts `background` (unrotated) at `topLeft`; the window takes it.
  void setBackground(QWidget* background, QPointF topLeft);
  // Puts `view` with its centre at `centre`, turned by `degrees`; the
  // window takes it.
  void setMainView(QWidget* view, QPointF centre, int degrees);
  QGraphicsProxyWidget* mainViewProxy() const { return mainProxy_; }
  // Centres the window on the screen under the pointer.
  void placeOnPointerScreen();

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QGraphicsScene* scene_;
  QGraphicsView* view_;
  QGraphicsProxyWidget* backgroundProxy_ = nullptr;
  QGraphicsProxyWidget* mainProxy_ = nullptr;
};

}  // namespace kst
