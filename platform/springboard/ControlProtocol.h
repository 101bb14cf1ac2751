#pragma once

// The shell's control socket, "<root>/var/run/kestrix/springboard.control":
// the services' framing, one message per command. The message name is the
// command; its userInfo holds the argument under "argument". The reply
// holds "ok" (boolean) and "output" (the text springboard-ctl prints).
namespace kst::springboard {

inline constexpr const char* kControlService = "springboard.control";
inline constexpr const char* kArgumentKey = "argument";
inline constexpr const char* kOkKey = "ok";
inline constexpr const char* kOutputKey = "output";

inline constexpr const char* kStateCommand = "state";
inline constexpr const char* kTapCommand = "tap";
inline constexpr const char* kSelectCommand = "select";
inline constexpr const char* kLockCommand = "lock";
inline constexpr const char* kUnlockCommand = "unlock";
inline constexpr const char* kDimCommand = "dim";
inline constexpr const char* kWakeCommand = "wake";
inline constexpr const char* kOrientationCommand = "orientation";
inline constexpr const char* kAlertCommand = "alert";
inline constexpr const char* kScreenshotCommand = "screenshot";
inline constexpr const char* kWaitPromptCommand = "wait-prompt";
// Where a prompt button is on the screen: "X Y", its centre in screen
// coordinates, for tools that click as a person would.
inline constexpr const char* kLocateCommand = "locate";

// The first line of "state" while a prompt is on screen, and without one.
inline constexpr const char* kPromptShownLine = "prompt: shown";
inline constexpr const char* kPromptNoneLine = "prompt: none";
// Follows the shown line while the prompt on screen still ignores touches
// (its first moments and its fade-in): a tap now is refused.
inline constexpr const char* kTouchesIgnoredLine = "touches: ignored";

}  // namespace kst::springboard
