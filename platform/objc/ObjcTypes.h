#pragma once

// The C shape of the stand-in Objective-C runtime, shared by the method
// table and the substrate's exported API.
//
// A class is a handle named by a string ("UIApplication"); a selector is an
// interned method name ("applicationDidResume"); an implementation (IMP)
// is a plain function pointer whose first two parameters are the receiver
// and the selector, followed by the method's own arguments:
//
//   void my_applicationDidResume(KstId self, KstSel _cmd);
//   void my_didLaunch(KstId self, KstSel _cmd, KstId workspace, KstId completion);

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KstObjcClass* KstClass;
typedef const struct KstObjcSelector* KstSel;
typedef void* KstImp;
typedef void* KstId;

#ifdef __cplusplus
}
#endif
