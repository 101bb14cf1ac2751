#include "hook/prompt/SpringBoardAccess.h"

#include "platform/springboard/SpringBoardApi.h"
#include "platform/substrate/Substrate.h"

namespace kst::sb_access {

namespace {

KstImp method(const char* cls, const char* sel) {
  KstClass c = kst_objc_getClass(cls);
  return c != nullptr ? kst_objc_getMethod(c, kst_objc_selector(sel)) : nullptr;
}

template <typename R, typename... Args>
std::optional<R> call(const char* cls, const char* sel, Args... args) {
  KstImp imp = method(cls, sel);
  if (imp == nullptr) return std::nullopt;
  return substrate::sendMessage<R>(kst_objc_getClass(cls), kst_objc_selector(sel), nullptr, args...);
}

template <typename... Args>
bool callVoid(const char* cls, const char* sel, Args... args) {
  if (method(cls, sel) == nullptr) return false;
  substrate::sendMessage<void>(kst_objc_getClass(cls), kst_objc_selector(sel), nullptr, args...);
  return true;
}

std::optional<std::string> text(const char* value) {
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

bool isLocked() {
  return call<bool>(sb::kSpringBoard, sb::kIsLocked).value_or(false);
}

bool isDim() {
  return call<bool>(sb::kSpringBoard, sb::kIsDim).value_or(false);
}

std::optional<std::string> deviceModel() {
  auto model = call<const char*>(sb::kSpringBoard, sb::kDeviceModel);
  return model ? text(*model) : std::nullopt;
}

std::optional<std::string> displayNameFor(const std::string& bundleIdentifier) {
  auto all = call<const KstId*>(sb::kApplicationController, sb::kAllApplications);
  if (!all || *all == nullptr) return std::nullopt;
  KstClass app = kst_objc_getClass(sb::kApplication);
  for (const KstId* it = *all; *it != nullptr; ++it) {
    const char* id = substrate::sendMessage<const char*>(app, kst_objc_selector(sb::kBundleIdentifier), *it);
    if (id == nullptr || bundleIdentifier != id) continue;
    return text(substrate::sendMessage<const char*>(app, kst_objc_selector(sb::kDisplayName), *it));
  }
  return std::nullopt;
}

bool pressLockButton() {
  if (method(sb::kSpringBoard, sb::kLockButtonDownFromSource) == nullptr) return false;
  callVoid(sb::kSpringBoard, sb::kLockButtonDownFromSource, 1);
  callVoid(sb::kSpringBoard, sb::kLockButtonUpFromSource, 1);
  return true;
}

bool disableIdleTimer(bool disabled) {
  auto controller = call<KstId>(sb::kLockScreenManager, sb::kLockScreenViewControllerSel);
  if (!controller) return false;
  return callVoid(sb::kLockScreenViewController, sb::kDisableIdleTimer, disabled);
}

void resetLockScreenIdleTimer() {
  callVoid(sb::kBacklightController, sb::kResetLockScreenIdleTimer);
}

void playSystemSound(int sound) {
  callVoid(sb::kSpringBoard, sb::kPlaySystemSound, sound);
}

KstId visibleAlertItem() {
  return call<KstId>(sb::kAlertItemsController, sb::kVisibleAlertItem).value_or(nullptr);
}

void moveActiveAlertsToPending() {
  callVoid(sb::kAlertItemsController, sb::kMoveActiveAlertsToPending, true);
}

void deactivateAlertItem(KstId item) {
  callVoid(sb::kAlertItemsController, sb::kDeactivateAlertItem, item);
}

bool stopPendingAlertItems() {
  return callVoid(sb::kAlertItemsController, sb::kStopPendingAlertItems);
}

bool answersSetForceAlertsToPend() {
  return method(sb::kAlertItemsController, sb::kSetForceAlertsToPend) != nullptr;
}

void activatePendedAlerts() {
  callVoid(sb::kAlertItemsController, sb::kActivatePendedAlerts);
}

void activateAlertItem(KstId item) {
  callVoid(sb::kAlertItemsController, sb::kActivateAlertItem, item);
}

void noteAnswer(const std::string& line) {
  callVoid(sb::kSpringBoard, sb::kNoteFirewallAnswer, line.c_str());
}

}  // namespace kst::sb_access
