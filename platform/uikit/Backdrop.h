#pragma once

#include <QColor>
#include <QWidget>

namespace kst::uikit {

// The background behind a floating panel: a blurred-looking translucent
// dark glass, or a solid light surface meant for dark text, with rounded
// corners of radius 10. outputColor() is the colour it shows, for callers
// that adapt their accent to the brightness behind them.
class Backdrop : public QWidget {
  Q_OBJECT

 public:
  enum class Style { kBlurred, kSolid };
  static constexpr qreal kCornerRadius = 10.0;

  explicit Backdrop(Style style, QWidget* parent = nullptr);
  Style style() const { return style_; }
  QColor outputColor() const;
  // Brightness 0..1 of a colour: (R*299 + G*587 + B*114) / 1000.
  static double brightness(const QColor& color);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Style style_;
};

}  // namespace kst::uikit
