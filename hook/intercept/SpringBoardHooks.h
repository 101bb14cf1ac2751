#pragma once

#include <atomic>

#include "platform/objc/ObjcTypes.h"

// The replacements inside SpringBoard that let the prompt appear and stay on
// top: applications learn when SpringBoard has finished launching, other
// alerts wait while a prompt shows, the screenshot flash does not stay over
// a prompt. Installed in SpringBoard only; a class the shell does not have
// gets no replacement. All run on SpringBoard's main thread.
namespace kst {

// The moment SpringBoard finished launching, in seconds since the original
// platform's reference date (2001-01-01).
extern std::atomic<double> SpringBoardFirewallLaunchTime;

// Installs every SpringBoard replacement and adds the deferred-alert methods.
void installSpringBoardHooks();

// Observer of "com.dovrane.firewall/question": answers with
// "com.dovrane.firewall/reply" once SpringBoard has finished launching.
void didSpringBoardFinishQuestion();

void my_applicationDidFinishLaunching(KstId self, KstSel cmd, KstId application) noexcept;
void my_activateAlertItem(KstId self, KstSel cmd, KstId item, bool animated) noexcept;
void my_flash(KstId self, KstSel cmd) noexcept;
void my_didExitWithInfo(KstId self, KstSel cmd, KstId info, KstId type) noexcept;
bool my_showAlertWithMessage(KstId self, KstSel cmd, KstId message) noexcept;
void my_showModal(KstId self, KstSel cmd) noexcept;

}  // namespace kst
