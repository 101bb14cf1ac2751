#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace kst::uikit {

class GlyphButton;

// The 60-point title bar at the top of every screen: a centred title below
// the 20-point status area, a left and a right button place. Screens put
// their own buttons in the places.
class TitleBar : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kHeight = 60;

  explicit TitleBar(QWidget* parent = nullptr);

  QString title() const;
  // Sets the title and centres it in the part below the status area.
  void setTitleString(const QString& title);
  QLabel* titleLabel() const { return titleLabel_; }

  // Places `button` at `frame` (points of the 320-point bar); the bar owns it.
  void placeButton(QWidget* button, const QRect& frame);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QLabel* titleLabel_;
};

}  // namespace kst::uikit
