#pragma once

#include <optional>
#include <string>

#include "platform/objc/ObjcTypes.h"

// What the prompt asks of SpringBoard, through the stand-in classes of the
// method table. Every operation is looked up before it is called; a shell
// without it answers nothing (nullopt / false) and the step is skipped.
// Main thread only.
namespace kst::sb_access {

bool isLocked();
bool isDim();
std::optional<std::string> deviceModel();
std::optional<std::string> displayNameFor(const std::string& bundleIdentifier);
// Presses and releases the lock button; false when SpringBoard has neither form.
bool pressLockButton();
bool disableIdleTimer(bool disabled);
void resetLockScreenIdleTimer();
void playSystemSound(int sound);

KstId visibleAlertItem();
void moveActiveAlertsToPending();
void deactivateAlertItem(KstId item);
// stopPendingAlertItemsForFullscreenAlert, when SpringBoard answers it.
bool stopPendingAlertItems();
bool answersSetForceAlertsToPend();
void activatePendedAlerts();
// +[KstPopUp activateAlertItem:]: asks the controller to activate the item.
void activateAlertItem(KstId item);
void noteAnswer(const std::string& line);

}  // namespace kst::sb_access
