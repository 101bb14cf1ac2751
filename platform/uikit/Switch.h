#pragma once

#include <QAbstractButton>
#include <QColor>

namespace kst::uikit {

// An on/off switch: a rounded track with a knob, coloured with its on tint
// when on. A click (or the space key) flips it and emits valueChanged with
// the new state; setOn() from code emits nothing.
class Switch : public QAbstractButton {
  Q_OBJECT

 public:
  explicit Switch(QWidget* parent = nullptr);

  bool isOn() const { return isChecked(); }
  void setOn(bool on, bool animated = false);
  void setOnTintColor(const QColor& color);
  QSize sizeHint() const override { return {51, 31}; }

 signals:
  void valueChanged(bool on);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor onTint_;
};

}  // namespace kst::uikit
