#pragma once

#include <QRect>
#include <functional>

class QWidget;

namespace kst::prompt {

// How the prompt's window lives among the desktop's windows: above all of
// them (full-screen ones too) without taking the keyboard from the window
// the person types in; a click on it makes it the active window, so that
// its buttons then answer to Tab and Space. Call before the window shows.
void keepAboveWithoutFocus(QWidget* window);

// Whether a compositing manager runs on the window's display, so that a
// translucent window shows what lies behind it. Only X11 is asked; other
// platforms (offscreen, Wayland) always composite.
bool desktopComposites();

// Cuts the window to `shape` (a rounded rectangle of `radius`) where the
// desktop does not composite, so no square frame shows around it.
void shapeWithoutCompositor(QWidget* window, QRect shape, qreal radius);

// Calls `replace` when the screen the window is on goes away, so that the
// window moves to one that remains.
void followScreenRemoval(QWidget* window, std::function<void()> replace);

}  // namespace kst::prompt
