#pragma once

// The shell's stand-in classes as the method table shows them: class names,
// selectors and the C signature of each method (every method takes the
// object and the selector first). The shell registers them before any
// library is loaded into it; the hook library and the prompt call them
// through the substrate's runtime API, looking each one up first (a shell
// that lacks one simply skips that step). The objects are opaque: the
// shell's singletons answer whatever `self` they are sent to.

namespace kst::sb {

// -[SpringBoard ...]
inline constexpr const char* kSpringBoard = "SpringBoard";
inline constexpr const char* kApplicationDidFinishLaunching =
    "applicationDidFinishLaunching:";                                                   // void (KstId)
inline constexpr const char* kIsLocked = "isLocked";                                    // bool ()
inline constexpr const char* kIsDim = "_isDim";                                         // bool ()
inline constexpr const char* kLockButtonDownFromSource = "_lockButtonDownFromSource:";  // void (int)
inline constexpr const char* kLockButtonUpFromSource = "_lockButtonUpFromSource:";      // void (int)
inline constexpr const char* kDeviceOrientation = "deviceOrientation";                  // long ()
inline constexpr const char* kDeviceModel = "deviceModel";           // const char* (): "iPhone", "iPad"
inline constexpr const char* kScreenWidth = "screenWidth";           // double (), points
inline constexpr const char* kScreenHeight = "screenHeight";         // double (), points
inline constexpr const char* kScreenScale = "screenScale";           // double ()
inline constexpr const char* kPlaySystemSound = "playSystemSound:";  // void (int)
// Tells the shell what a prompt answered, for its window: void (const char* line).
inline constexpr const char* kNoteFirewallAnswer = "noteFirewallAnswer:";

// -[SBLockScreenManager lockScreenViewController] -> KstId;
// -[SBLockScreenViewController _disableIdleTimer:] void (bool)
inline constexpr const char* kLockScreenManager = "SBLockScreenManager";
inline constexpr const char* kLockScreenViewControllerSel = "lockScreenViewController";
inline constexpr const char* kLockScreenViewController = "SBLockScreenViewController";
inline constexpr const char* kDisableIdleTimer = "_disableIdleTimer:";

// -[SBBacklightController resetLockScreenIdleTimer] void ()
inline constexpr const char* kBacklightController = "SBBacklightController";
inline constexpr const char* kResetLockScreenIdleTimer = "resetLockScreenIdleTimer";

// SBAlertItemsController; an alert item is an opaque KstId.
inline constexpr const char* kAlertItemsController = "SBAlertItemsController";
inline constexpr const char* kActivateAlertItemAnimated =
    "activateAlertItem:animated:";                                           // void (KstId, bool)
inline constexpr const char* kActivateAlertItem = "activateAlertItem:";      // void (KstId)
inline constexpr const char* kVisibleAlertItem = "visibleAlertItem";         // KstId ()
inline constexpr const char* kDeactivateAlertItem = "deactivateAlertItem:";  // void (KstId)
inline constexpr const char* kMoveActiveAlertsToPending =
    "moveActiveAlertsToPendingWithAnimation:";  // void (bool)
inline constexpr const char* kStopPendingAlertItems = "stopPendingAlertItemsForFullscreenAlert";  // void ()
inline constexpr const char* kSetForceAlertsToPend =
    "setForceAlertsToPend:forReason:";  // void (bool, const char*)
inline constexpr const char* kActivatePendedAlerts = "activatePendedAlertsIfNecessary";  // void ()
inline constexpr const char* kAlertItemText = "alertItemText:";  // const char* (KstId)

// -[SBScreenFlash flash] void (), -[SBScreenFlash hideFlashWindow] void ()
inline constexpr const char* kScreenFlash = "SBScreenFlash";
inline constexpr const char* kFlash = "flash";
inline constexpr const char* kHideFlashWindow = "hideFlashWindow";

// -[SBApplicationController allApplications] -> const KstId* (null-ended);
// -[SBApplication bundleIdentifier], -[SBApplication displayName] -> const char*;
// -[SBApplication didExitWithInfo:type:] void (KstId, KstId)
inline constexpr const char* kApplicationController = "SBApplicationController";
inline constexpr const char* kAllApplications = "allApplications";
inline constexpr const char* kApplication = "SBApplication";
inline constexpr const char* kBundleIdentifier = "bundleIdentifier";
inline constexpr const char* kDisplayName = "displayName";
inline constexpr const char* kDidExitWithInfo = "didExitWithInfo:type:";

}  // namespace kst::sb
