#pragma once

#include <QColor>

namespace kst::uikit {

// The colours every screen of the settings application shares.
inline QColor titleBarBackground() {
  return QColor(245, 245, 245);
}
inline QColor titleText() {
  return QColor(161, 176, 176);
}  // also the section-gap bars
inline QColor cellText() {
  return QColor(98, 111, 111);
}
inline QColor switchOnTint() {
  return QColor(55, 171, 200);
}

// The ring around the widget that has the keyboard focus: strong enough to
// be seen on white rows and on the prompt's glass alike.
inline QColor focusRing() {
  return QColor(0, 122, 255);
}
inline constexpr qreal kFocusRingWidth = 2.0;

// The height of every table row, in points (pixels here).
inline constexpr int kRowHeight = 50;

}  // namespace kst::uikit
