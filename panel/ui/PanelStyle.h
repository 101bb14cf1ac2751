#pragma once

#include <QFont>
#include <QImage>
#include <QRect>
#include <QString>

namespace kst::panel {

// The fonts and images every screen shares. The condensed bold face stands
// for "HelveticaNeue-CondensedBold": where the machine has it, titles use it
// (hasHelveticaNeue); elsewhere they fall back to a plain bold face.
bool hasHelveticaNeue();
QFont titleFont(int condensedSize, int fallbackSize);  // bold titles
QFont lightFont(int size, int fallbackSize);           // second lines
QFont barTitleFont();                                  // the title bar, 20 points

// The rectangle with each value rounded to the nearest whole point.
QRect makeRoundedRect(double x, double y, double width, double height);

// The screens' images, drawn here: the placeholder application icon and the
// icons of the fixed rows.
enum class RowImage { kGlobalAllow, kGlobalDeny, kAdd, kImport };
QImage rowImage(RowImage which);
QImage placeholderIcon();
// The application's own icon (also written out by the install step).
QImage applicationIcon(int size);

}  // namespace kst::panel
