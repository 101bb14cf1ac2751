#include "hook/intercept/SpringBoardHooks.h"

#include "hook/rules/KstFlags.h"
#include "hook/rules/KstMessageNames.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/plist/PlistValue.h"
#include "platform/runloop/RunLoop.h"
#include "platform/substrate/Substrate.h"

namespace kst {

std::atomic<double> SpringBoardFirewallLaunchTime{0};

namespace {

using DidFinishImp = void (*)(KstId, KstSel, KstId);
using ActivateImp = void (*)(KstId, KstSel, KstId, bool);
using PlainImp = void (*)(KstId, KstSel);
using ExitImp = void (*)(KstId, KstSel, KstId, KstId);
using ShowAlertImp = bool (*)(KstId, KstSel, KstId);

DidFinishImp orig_applicationDidFinishLaunching = nullptr;
ActivateImp orig_activateAlertItem = nullptr;
PlainImp orig_flash = nullptr;
ExitImp orig_didExitWithInfo = nullptr;
ShowAlertImp orig_showAlertWithMessage = nullptr;
PlainImp orig_showModal = nullptr;

constexpr Seconds kAlertItemDelay{3.0};
constexpr Seconds kOtherAlertDelay{1.0};
constexpr Seconds kFlashHold{0.7};

bool showing() {
  return get(kstFlags().isShowingWindow);
}

template <class R, class S>
void hook(const char* cls, const char* selector, R replacement, S* slot) {
  KstClass c = kst_objc_getClass(cls);
  if (c == nullptr) return;
  MSHookMessageEx(c, kst_objc_selector(selector), reinterpret_cast<KstImp>(replacement),
                  reinterpret_cast<KstImp*>(slot));
}

// The added methods that retry a deferred alert through the replacement.
void showAlertWithMessageLater(KstId self, KstSel, KstId message) {
  substrate::sendMessage<bool>(kst_objc_getClass("PMPApp"), kst_objc_selector("showAlertWithMessage:"), self,
                               message);
}

void showModalLater(KstId self, KstSel) {
  substrate::sendMessage<void>(kst_objc_getClass("PMPAlert2"), kst_objc_selector("showModal"), self);
}

}  // namespace

void installSpringBoardHooks() {
  hook("SBScreenFlash", "flash", &my_flash, &orig_flash);
  hook("SpringBoard", "applicationDidFinishLaunching:", &my_applicationDidFinishLaunching,
       &orig_applicationDidFinishLaunching);
  hook("SBApplication", "didExitWithInfo:type:", &my_didExitWithInfo, &orig_didExitWithInfo);
  hook("SBAlertItemsController", "activateAlertItem:animated:", &my_activateAlertItem,
       &orig_activateAlertItem);
  hook("PMPApp", "showAlertWithMessage:", &my_showAlertWithMessage, &orig_showAlertWithMessage);
  hook("PMPAlert2", "showModal", &my_showModal, &orig_showModal);
  if (KstClass pmp = kst_objc_getClass("PMPApp"))
    kst_objc_addMethod(pmp, kst_objc_selector("showAlertWithMessageLater:"),
                       reinterpret_cast<KstImp>(&showAlertWithMessageLater), "v@:@");
  if (KstClass alert = kst_objc_getClass("PMPAlert2"))
    kst_objc_addMethod(alert, kst_objc_selector("showModalLater"), reinterpret_cast<KstImp>(&showModalLater),
                       "v@:");
}

void didSpringBoardFinishQuestion() {
  if (get(kstFlags().SpringBoardDidFinish)) DarwinNotifyCenter::process().post(msg::kReplyNotification);
}

void my_applicationDidFinishLaunching(KstId self, KstSel cmd, KstId application) noexcept {
  set(kstFlags().SpringBoardDidFinish, true);
  SpringBoardFirewallLaunchTime.store(plist::Date::now().secondsSinceReference);
  if (orig_applicationDidFinishLaunching != nullptr)
    orig_applicationDidFinishLaunching(self, cmd, application);
}

void my_activateAlertItem(KstId self, KstSel cmd, KstId item, bool animated) noexcept {
  if (showing()) {
    // Shown later through the one-argument method, which comes back here
    // while a prompt is still showing.
    mainQueue().addTimer(kAlertItemDelay, [self, item] {
      KstClass c = kst_objc_getClass("SBAlertItemsController");
      substrate::sendMessage<void>(c, kst_objc_selector("activateAlertItem:"), self, item);
    });
    return;
  }
  if (orig_activateAlertItem != nullptr) orig_activateAlertItem(self, cmd, item, animated);
}

void my_flash(KstId self, KstSel cmd) noexcept {
  if (orig_flash != nullptr) orig_flash(self, cmd);
  if (!showing()) return;
  // Let the flash play, then take its window away from over the prompt.
  if (RunLoop* loop = RunLoop::current()) loop->runFor(kFlashHold);
  substrate::sendMessage<void>(kst_objc_getClass("SBScreenFlash"), kst_objc_selector("hideFlashWindow"),
                               self);
}

void my_didExitWithInfo(KstId self, KstSel cmd, KstId info, KstId type) noexcept {
  if (orig_didExitWithInfo != nullptr) orig_didExitWithInfo(self, cmd, info, type);
}

bool my_showAlertWithMessage(KstId self, KstSel cmd, KstId message) noexcept {
  if (showing()) {
    mainQueue().addTimer(kOtherAlertDelay, [self, message] {
      substrate::sendMessage<void>(kst_objc_getClass("PMPApp"),
                                   kst_objc_selector("showAlertWithMessageLater:"), self, message);
    });
    return true;
  }
  return orig_showAlertWithMessage != nullptr && orig_showAlertWithMessage(self, cmd, message);
}

void my_showModal(KstId self, KstSel cmd) noexcept {
  if (showing()) {
    mainQueue().addTimer(kOtherAlertDelay, [self] {
      substrate::sendMessage<void>(kst_objc_getClass("PMPAlert2"), kst_objc_selector("showModalLater"), self);
    });
    return;
  }
  if (orig_showModal != nullptr) orig_showModal(self, cmd);
}

}  // namespace kst
