#pragma once

#include "platform/objc/ObjcTypes.h"

namespace kst::objc {

inline constexpr const char* kUIApplicationClassName = "UIApplication";
// The launch entry of iOS 8 and later, and the resume notification.
inline constexpr const char* kWorkspaceDidLaunchSelector = "workspace:didLaunchWithCompletion:";
inline constexpr const char* kApplicationDidResumeSelector = "applicationDidResume";

// The implementations' shapes.
using WorkspaceDidLaunchImp = void (*)(KstId self, KstSel cmd, KstId workspace, KstId completion);
using ApplicationDidResumeImp = void (*)(KstId self, KstSel cmd);
using UIApplicationMainFn = int (*)(int argc, char** argv, const char* principalClassName,
                                    const char* delegateClassName);

// The stand-in of the platform's application object: the class
// "UIApplication" in the method table with its two hookable methods, and
// the one instance every process has. Both methods do nothing unless
// replaced; they exist to be hooked:
//
// - workspace:didLaunchWithCompletion: runs once, just before the program's
//   main, from the default UIApplicationMain (below);
// - applicationDidResume runs on the main queue each time the process is
//   continued with SIGCONT, once it has been replaced (ResumeWatch).
//
// shared() registers the class on first use; any thread may call anything.
class UIApplication {
 public:
  static UIApplication& shared();

  KstClass cls() const { return cls_; }
  KstId self() { return this; }

  void workspaceDidLaunch(KstId workspace, KstId completion);
  void applicationDidResume();

 private:
  UIApplication();

  KstClass cls_;
  KstSel didLaunch_;
  KstSel didResume_;
};

// UIApplicationMain as it runs unhooked. The substrate calls the hookable
// UIApplicationMain once before the program's own code (Substrate.h), so
// that whichever
// launch entry the hook library replaced runs exactly once:
//
// - a replaced UIApplicationMain (the iOS 7 library's choice) runs, and
//   its original, this function, goes on to the workspace method;
// - a replaced workspace:didLaunchWithCompletion: (iOS 8 and later) is
//   reached through this function.
//
// Unlike the platform's, it returns (0), and the program's main runs next.
int defaultApplicationMain(int argc, char** argv, const char* principalClassName,
                           const char* delegateClassName);

}  // namespace kst::objc
