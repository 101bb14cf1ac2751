#pragma once

class QWidget;

namespace kst::uikit {

// What assistive tools (screen readers, switch access, scripts on the
// desktop's accessibility bus) see of the toolkit's own widgets: each
// segment of a segmented control as a button of its own, a switch as a
// check box whose Toggle and Press act as a click, a table row and each
// row of a table as an entry with a Press action that opens it as a tap
// does (and a Delete action where the row can go), an alert as an alert.
// Installing is idempotent; the widgets install it themselves.
void installAccessibleInterfaces();

// Whether a person's tap on `widget` would reach it now: the widget and
// every widget above it shown and enabled, none letting touches through,
// no modal window in front, and for a window placed in a scene the scene
// item accepting touches and shown in a view that would reach it in turn.
// Accessible actions act only when this holds, so they do what a tap at
// that moment would do, and nothing else.
bool reachableByTouch(const QWidget* widget);

}  // namespace kst::uikit
