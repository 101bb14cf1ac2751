#pragma once

namespace kst::prompt {

// What assistive tools see of the prompt: its window as an alert named by
// the question and described by the host, with the prompt's own view (which
// sits in a scene, out of reach of the window's widget tree) as its child;
// and the toolkit's interfaces (each segment a button of its own, presses
// that act only when a tap would reach the widget). Idempotent.
void installPromptAccessibility();

// The object name of the prompt's main view, by which it is given the
// prompt's window as its accessible parent.
inline constexpr const char* kMainViewObjectName = "myView";

}  // namespace kst::prompt
