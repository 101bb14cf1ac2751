#include "platform/objc/UIApplication.h"

#include "platform/objc/MethodTable.h"
#include "platform/objc/ResumeWatch.h"

namespace kst::objc {

namespace {

void didLaunchDoesNothing(KstId, KstSel, KstId, KstId) {}
void didResumeDoesNothing(KstId, KstSel) {}

}  // namespace

UIApplication::UIApplication()
    : cls_(registerClass(kUIApplicationClassName)),
      didLaunch_(selector(kWorkspaceDidLaunchSelector)),
      didResume_(selector(kApplicationDidResumeSelector)) {
  addMethod(cls_, didLaunch_, reinterpret_cast<KstImp>(&didLaunchDoesNothing), "v@:@@");
  // The process only watches SIGCONT once someone cares about resuming.
  addMethod(cls_, didResume_, reinterpret_cast<KstImp>(&didResumeDoesNothing),
            "v@:", [] { ResumeWatch::start(); });
}

UIApplication& UIApplication::shared() {
  // Never destroyed: the resume may come after static destructors.
  static UIApplication* const app = new UIApplication;
  return *app;
}

void UIApplication::workspaceDidLaunch(KstId workspace, KstId completion) {
  send<void>(cls_, didLaunch_, self(), workspace, completion);
}

void UIApplication::applicationDidResume() {
  send<void>(cls_, didResume_, self());
}

int defaultApplicationMain(int, char**, const char*, const char*) {
  UIApplication::shared().workspaceDidLaunch(nullptr, nullptr);
  return 0;
}

}  // namespace kst::objc
