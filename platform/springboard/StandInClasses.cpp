#include "platform/springboard/StandInClasses.h"

#include <dlfcn.h>

#include <vector>

#include "platform/springboard/DeviceState.h"
#include "platform/springboard/SpringBoardApi.h"

namespace kst::springboard {

namespace {

DeviceState& device() {
  return DeviceState::shared();
}

AlertItem* item(KstId id) {
  return static_cast<AlertItem*>(id);
}

// SpringBoard
void applicationDidFinishLaunching(KstId, KstSel, KstId) {}
bool isLocked(KstId, KstSel) {
  return device().locked();
}
bool isDim(KstId, KstSel) {
  return device().dim();
}
void lockButtonDown(KstId, KstSel, int) {}
void lockButtonUp(KstId, KstSel, int) {
  device().lockButtonPressed();
}
long deviceOrientation(KstId, KstSel) {
  return device().orientation();
}
const char* deviceModel(KstId, KstSel) {
  return device().model().c_str();
}
double screenWidth(KstId, KstSel) {
  return device().screenWidth();
}
double screenHeight(KstId, KstSel) {
  return device().screenHeight();
}
double screenScale(KstId, KstSel) {
  return device().screenScale();
}
void playSystemSound(KstId, KstSel, int sound) {
  device().playSound(sound);
}
void noteFirewallAnswer(KstId, KstSel, const char* line) {
  if (line != nullptr) device().noteAnswer(line);
}

// The lock screen
KstId lockScreenViewController(KstId, KstSel) {
  static int controller = 0;
  return &controller;
}
void disableIdleTimer(KstId, KstSel, bool disabled) {
  device().setIdleTimerDisabled(disabled);
}
void resetLockScreenIdleTimer(KstId, KstSel) {
  device().resetIdleTimer();
}

// Alert items
void activateAlertItemAnimated(KstId, KstSel, KstId alert, bool) {
  device().activateAlert(item(alert));
}
void activateAlertItem(KstId, KstSel, KstId alert) {
  // Through the two-argument method, which the hook library defers while
  // a prompt shows.
  send<void>(sb::kAlertItemsController, sb::kActivateAlertItemAnimated, alert, true);
}
KstId visibleAlertItem(KstId, KstSel) {
  return device().visibleAlert();
}
void deactivateAlertItem(KstId, KstSel, KstId alert) {
  device().deactivateAlert(item(alert));
}
void moveActiveAlertsToPending(KstId, KstSel, bool) {
  device().moveActiveAlertsToPending();
}
void stopPendingAlertItems(KstId, KstSel) {}
void setForceAlertsToPend(KstId, KstSel, bool force, const char*) {
  device().setForceAlertsToPend(force);
}
void activatePendedAlerts(KstId, KstSel) {
  device().activatePendedAlerts();
}
const char* alertItemText(KstId, KstSel, KstId alert) {
  return alert != nullptr ? item(alert)->text.c_str() : nullptr;
}

// The screen flash
void flash(KstId, KstSel) {
  device().flash();
}
void hideFlashWindow(KstId, KstSel) {}

// Applications: each SBApplication object is an InstalledApplication.
const KstId* allApplications(KstId, KstSel) {
  static std::vector<KstId> list;
  list.clear();
  for (const auto& app : device().applications()) list.push_back(const_cast<InstalledApplication*>(&app));
  list.push_back(nullptr);
  return list.data();
}
const char* bundleIdentifier(KstId self, KstSel) {
  return self != nullptr ? static_cast<InstalledApplication*>(self)->bundleIdentifier.c_str() : nullptr;
}
const char* displayName(KstId self, KstSel) {
  return self != nullptr ? static_cast<InstalledApplication*>(self)->displayName.c_str() : nullptr;
}
void didExitWithInfo(KstId, KstSel, KstId, KstId) {}

template <typename F>
void add(const RuntimeApi& api, KstClass cls, const char* sel, F fn, const char* types) {
  api.addMethod(cls, api.selector(sel), reinterpret_cast<KstImp>(fn), types);
}

template <typename T>
T lookup(const char* name) {
  return reinterpret_cast<T>(::dlsym(RTLD_DEFAULT, name));
}

}  // namespace

const RuntimeApi& RuntimeApi::process() {
  static const RuntimeApi api = [] {
    RuntimeApi a;
    a.getClass = lookup<decltype(a.getClass)>("kst_objc_getClass");
    a.registerClass = lookup<decltype(a.registerClass)>("kst_objc_registerClass");
    a.selector = lookup<decltype(a.selector)>("kst_objc_selector");
    a.addMethod = lookup<decltype(a.addMethod)>("kst_objc_addMethod");
    a.getMethod = lookup<decltype(a.getMethod)>("kst_objc_getMethod");
    if (a.getClass == nullptr || a.selector == nullptr) a = RuntimeApi();
    return a;
  }();
  return api;
}

void registerStandInClasses() {
  const RuntimeApi& api = RuntimeApi::process();
  if (!api.available()) return;
  using namespace sb;
  KstClass board = api.registerClass(kSpringBoard);
  add(api, board, kApplicationDidFinishLaunching, &applicationDidFinishLaunching, "v@:@");
  add(api, board, kIsLocked, &isLocked, "B@:");
  add(api, board, kIsDim, &isDim, "B@:");
  add(api, board, kLockButtonDownFromSource, &lockButtonDown, "v@:i");
  add(api, board, kLockButtonUpFromSource, &lockButtonUp, "v@:i");
  add(api, board, kDeviceOrientation, &deviceOrientation, "l@:");
  add(api, board, kDeviceModel, &deviceModel, "*@:");
  add(api, board, kScreenWidth, &screenWidth, "d@:");
  add(api, board, kScreenHeight, &screenHeight, "d@:");
  add(api, board, kScreenScale, &screenScale, "d@:");
  add(api, board, kPlaySystemSound, &playSystemSound, "v@:i");
  add(api, board, kNoteFirewallAnswer, &noteFirewallAnswer, "v@:*");

  KstClass manager = api.registerClass(kLockScreenManager);
  add(api, manager, kLockScreenViewControllerSel, &lockScreenViewController, "@@:");
  KstClass lockScreen = api.registerClass(kLockScreenViewController);
  add(api, lockScreen, kDisableIdleTimer, &disableIdleTimer, "v@:B");
  KstClass backlight = api.registerClass(kBacklightController);
  add(api, backlight, kResetLockScreenIdleTimer, &resetLockScreenIdleTimer, "v@:");

  KstClass alerts = api.registerClass(kAlertItemsController);
  add(api, alerts, kActivateAlertItemAnimated, &activateAlertItemAnimated, "v@:@B");
  add(api, alerts, kActivateAlertItem, &activateAlertItem, "v@:@");
  add(api, alerts, kVisibleAlertItem, &visibleAlertItem, "@@:");
  add(api, alerts, kDeactivateAlertItem, &deactivateAlertItem, "v@:@");
  add(api, alerts, kMoveActiveAlertsToPending, &moveActiveAlertsToPending, "v@:B");
  add(api, alerts, kStopPendingAlertItems, &stopPendingAlertItems, "v@:");
  add(api, alerts, kSetForceAlertsToPend, &setForceAlertsToPend, "v@:B*");
  add(api, alerts, kActivatePendedAlerts, &activatePendedAlerts, "v@:");
  add(api, alerts, kAlertItemText, &alertItemText, "*@:@");

  KstClass screenFlash = api.registerClass(kScreenFlash);
  add(api, screenFlash, kFlash, &flash, "v@:");
  add(api, screenFlash, kHideFlashWindow, &hideFlashWindow, "v@:");

  KstClass controller = api.registerClass(kApplicationController);
  add(api, controller, kAllApplications, &allApplications, "^@@:");
  KstClass application = api.registerClass(kApplication);
  add(api, application, kBundleIdentifier, &bundleIdentifier, "*@:");
  add(api, application, kDisplayName, &displayName, "*@:");
  add(api, application, kDidExitWithInfo, &didExitWithInfo, "v@:@@");
}

}  // namespace kst::springboard
