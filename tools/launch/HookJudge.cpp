#include "tools/launch/HookJudge.h"

#include "hook/intercept/LazyWatches.h"
#include "hook/intercept/SocketHooks.h"
#include "hook/rules/CBoundary.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/KstSettingsManager.h"
#include "platform/notify/DarwinNotifyCenter.h"

namespace kst::launch {

namespace {

void reloadBothObserved() {
  atCBoundary("the reload notification", [] {
    KstSettingsManager& m = ensureSettingsManagerKst();
    noteRuleFilesRead(m);
    m.reloadGlobalSettings();
    m.reloadAppSettings();
  });
}

}  // namespace

HookJudge::HookJudge(const std::string& bundleIdentifier) {
  KstSettingsManager& m = ensureSettingsManagerKst();
  m.setCurrentBundleIdentifier(bundleIdentifier);
  resetProtocolLocks();
  m.clearTempAnswers();
  noteRuleFilesRead(m);
  // Read by the first judged call, as in a hooked program.
  m.deferReload();
  // The program was launched: SpringBoard is there to ask.
  set(kstFlags().SpringBoardDidFinish, true);
  DarwinNotifyCenter::process().addObserver(std::string(msg::kReloadBothNotification), &reloadBothObserved);
}

bool HookJudge::connectAllowed(const JudgedAddress& address) {
  return judgeUnseenCall(false, address, nullptr, 0);
}

bool HookJudge::datagramAllowed(const JudgedAddress& address, const void* payload, std::size_t length) {
  return judgeUnseenCall(true, address, payload, length);
}

}  // namespace kst::launch
