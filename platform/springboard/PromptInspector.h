#pragma once

#include <QPoint>
#include <QString>
#include <QStringList>

class QWidget;
class QAbstractButton;

namespace kst::springboard {

// Reads and drives the prompt on screen through its widget tree, by the
// object names the prompt gives its views (the prompt lives in a library of
// its own, so only Qt's own types and properties are shared). Main thread.
class PromptInspector {
 public:
  // The visible prompt window, or null.
  static QWidget* promptWindow();
  // Plain lines describing the prompt, or kPromptNoneLine.
  static QStringList describe();
  // Taps the visible, enabled button with this title (or the host button by
  // its text). False with a reason otherwise.
  static bool tap(const QString& title, QString* error);
  // The centre of the visible button with this title, in screen
  // coordinates. False with a reason otherwise.
  static bool locate(const QString& title, QPoint* centre, QString* error);
  // Changes the control ("mode", "hostForm", "port", "hostParts") as a tap
  // on segment `index` would.
  static bool select(const QString& control, int index, QString* error);
};

}  // namespace kst::springboard
