// The hook library's start-up: decides what the process is (left alone, an
// ordinary application hooked when it launches or later, a WebKit service or
// the game-centre daemon hooked at once, or SpringBoard with its services),
// and installs the replacements that fit. Built twice: KESTRIX_HOOK7 selects
// the iOS 7/8 library's differences.
#include <dlfcn.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <mutex>
#include <string>
#include <string_view>

#include "hook/intercept/CaptureHooks.h"
#include "hook/intercept/DescriptorHooks.h"
#include "hook/intercept/DnsHooks.h"
#include "hook/intercept/LazyWatches.h"
#include "hook/intercept/LeftAlone.h"
#include "hook/intercept/ProgramMainQueue.h"
#include "hook/intercept/SocketHooks.h"
#include "hook/intercept/SpringBoardHooks.h"
#include "hook/messaging/KstDarwinMessage.h"
#include "hook/messaging/KstMessaging.h"
#include "hook/messaging/KstPopUp.h"
#include "hook/messaging/KstServiceEnv.h"
#include "hook/messaging/MessagingRulesRelay.h"
#include "hook/messaging/MessagingSBS.h"
#include "hook/messaging/RuleUsageSBS.h"
#include "hook/rules/CBoundary.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "hook/store/KstHostSpringBoard.h"
#include "hook/store/KstSettingsManager.h"
#include "platform/bundle/CoreFoundationVersion.h"
#include "platform/bundle/MainBundle.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/objc/UIApplication.h"
#include "platform/plist/PlistFile.h"
#include "platform/runloop/RunLoop.h"
#include "platform/substrate/Substrate.h"

#ifndef KESTRIX_HOOK7
#define KESTRIX_HOOK7 0
#endif

namespace kst {
namespace {

constexpr bool kHook7 = KESTRIX_HOOK7 != 0;
constexpr std::string_view kSpringBoardId = "com.apple.springboard";
constexpr std::string_view kGamedId = "com.apple.gamed";
constexpr std::string_view kWebKitNetworking = "com.apple.WebKit.Networking";
constexpr std::string_view kWebKitContent = "com.apple.WebKit.WebContent";
#if KESTRIX_HOOK7
constexpr const char* kPromptLibrary = "/usr/lib/KestrixHook7Prompt.dylib";
#else
constexpr const char* kPromptLibrary = "/usr/lib/KestrixHook9Prompt.dylib";
#endif

void (*orig_workspaceDidLaunch)(KstId, KstSel, KstId, KstId) = nullptr;
objc::UIApplicationMainFn orig_UIApplicationMain = nullptr;

// The process's relay to SpringBoard's rules service; never destroyed.
RulesRelay& processRelay() {
  static auto* relay = new MessagingRulesRelay(DeviceRoot::process());
  return *relay;
}

KstSettingsManager& manager() {
  return ensureSettingsManagerKst();
}

bool isWebKitProcess(std::string_view process) {
  return process == kWebKitNetworking || process == kWebKitContent;
}

bool markerExists() {
  return FileSystem::real().exists(DeviceRoot::process().path(files::kDisabledMarkerPath));
}

// This application's entry of the rules file; null when it has none (a
// missing or unreadable file gives none, which counts as enabled).
std::optional<plist::Dictionary> applicationEntry(const std::string& bundleId) {
  auto file = plist::readDictionaryFile(FileSystem::real(), DeviceRoot::process().path(files::kRulesPath));
  if (!file) return std::nullopt;
  const plist::Dictionary* entry = file->dictionary(bundleId);
  return entry != nullptr ? std::optional<plist::Dictionary>(*entry) : std::nullopt;
}

bool entryDisabled(const std::optional<plist::Dictionary>& entry) {
  return entry && !plist::boolValue(entry->find(files::kEnabledKey), true);
}

// Whether an application may not be hooked now: switched off, the firewall
// off, or SpringBoard without an entry of its own.
bool mustStayUnhooked(const std::string& bundleId, const std::optional<plist::Dictionary>& entry) {
  return entryDisabled(entry) || markerExists() || (!entry && bundleId == kSpringBoardId);
}

template <class R, class S>
void hookFunction(void* symbol, R replacement, S* slot) {
  MSHookFunction(symbol, reinterpret_cast<void*>(replacement), reinterpret_cast<void**>(slot));
}

// The stand-in UIApplication lives in the substrate; it is reached through
// the substrate's runtime API only.
KstClass applicationClass() {
  return kst_objc_getClass(objc::kUIApplicationClassName);
}

void hookResume() {
  MSHookMessageEx(applicationClass(), kst_objc_selector(objc::kApplicationDidResumeSelector),
                  reinterpret_cast<KstImp>(&my_applicationDidResume),
                  reinterpret_cast<KstImp*>(&orig_applicationDidResume));
}

// connect, sendto (sendmsg and sendmmsg too: datagrams to an explicit
// address), getsockopt (a parked connect's error), the host-name lookups,
// and libcurl's URL entry points.
void installConnectionHooks() {
  hookFunction(reinterpret_cast<void*>(&::connect), &replacement::connect, &orig_connect);
  hookFunction(reinterpret_cast<void*>(&::sendto), &replacement::sendto, &orig_sendto);
  hookFunction(reinterpret_cast<void*>(&::sendmsg), &replacement::sendmsg, &orig_sendmsg);
  hookFunction(reinterpret_cast<void*>(&::sendmmsg), &replacement::sendmmsg, &orig_sendmmsg);
  hookFunction(reinterpret_cast<void*>(&::getsockopt), &replacement::getsockopt, &orig_getsockopt);
}

void installNameCapture() {
  hookFunction(reinterpret_cast<void*>(&::getaddrinfo), &my_getaddrinfo, &orig_getaddrinfo);
  hookFunction(reinterpret_cast<void*>(&::gethostbyname), &my_gethostbyname, &orig_gethostbyname);
  hookFunction(reinterpret_cast<void*>(&::gethostbyname2), &my_gethostbyname2, &orig_gethostbyname2);
  hookFunction(reinterpret_cast<void*>(&::gethostbyname_r), &my_gethostbyname_r, &orig_gethostbyname_r);
  hookFunction(reinterpret_cast<void*>(&::gethostbyname2_r), &my_gethostbyname2_r, &orig_gethostbyname2_r);
}

// The receive calls, where the answers of a program's own DNS client are
// read. The fortified forms are found by name: this library is built
// without _FORTIFY_SOURCE.
void installDnsCapture() {
  hookFunction(reinterpret_cast<void*>(&::recv), &my_recv, &orig_recv);
  hookFunction(reinterpret_cast<void*>(&::recvfrom), &my_recvfrom, &orig_recvfrom);
  hookFunction(reinterpret_cast<void*>(&::recvmsg), &my_recvmsg, &orig_recvmsg);
  hookFunction(reinterpret_cast<void*>(&::recvmmsg), &my_recvmmsg, &orig_recvmmsg);
  hookFunction(reinterpret_cast<void*>(&::read), &my_read, &orig_read);
  if (void* recvChk = dlsym(RTLD_DEFAULT, "__recv_chk"))
    hookFunction(recvChk, &my___recv_chk, &orig___recv_chk);
  if (void* recvfromChk = dlsym(RTLD_DEFAULT, "__recvfrom_chk"))
    hookFunction(recvfromChk, &my___recvfrom_chk, &orig___recvfrom_chk);
  if (void* readChk = dlsym(RTLD_DEFAULT, "__read_chk"))
    hookFunction(readChk, &my___read_chk, &orig___read_chk);
}

// The calls that end or replace a descriptor number, for what the library
// keeps by number: DNS marks, parked sockets, the watch's descriptor.
void installDescriptorHooks() {
  hookFunction(reinterpret_cast<void*>(&::close), &my_close, &orig_close);
  hookFunction(reinterpret_cast<void*>(&::dup2), &my_dup2, &orig_dup2);
  hookFunction(reinterpret_cast<void*>(&::dup3), &my_dup3, &orig_dup3);
  hookFunction(reinterpret_cast<void*>(&::close_range), &my_close_range, &orig_close_range);
  hookFunction(reinterpret_cast<void*>(&::closefrom), &my_closefrom, &orig_closefrom);
}

void installUrlCapture() {
  if (void* setopt = dlsym(RTLD_DEFAULT, "curl_easy_setopt"))
    hookFunction(setopt, &my_curl_easy_setopt, &orig_curl_easy_setopt);
  if (void* urlSet = dlsym(RTLD_DEFAULT, "curl_url_set"))
    hookFunction(urlSet, &my_curl_url_set, &orig_curl_url_set);
}

// The start-up reset, done whenever hooks are installed. At launch it runs
// on the program's main thread, before the program's own code. The rules are
// read at the first judged call; the files' stamps noted now tell the
// listening that starts then whether a reload was missed meanwhile.
void reset() {
  resetProtocolLocks();
  KstSettingsManager& m = manager();
  m.clearTempAnswers();
  m.setUrlArray({});
  noteRuleFilesRead(m);
  // Both settings are read by the first judged call, not before the
  // program's main: most programs start and end without connecting, and a
  // blocklist takes long to compile.
  m.deferReload();
}

// Each observer is registered at most once per process.
void observeOnce(std::string_view name, void (*callback)()) {
  static std::mutex mu;
  static std::array<std::string, 8> registered;
  std::lock_guard<std::mutex> lock(mu);
  for (auto& r : registered) {
    if (r == name) return;
    if (r.empty()) {
      r = std::string(name);
      DarwinNotifyCenter::process().addObserver(std::string(name), callback);
      return;
    }
  }
}

void reloadBothNotification() {
  atCBoundary("the reload notification", [] {
    noteRuleFilesRead(manager());
    reloadBoth();
  });
}

// A process waiting to be hooked late must hear "com.dovrane.kst.hookLate":
// it listens from now on, a thread of ours included.
void listenForLateHooking() {
  DarwinNotifyCenter::process().listen();
}
void didSpringBoardFinishReply() {
  set(kstFlags().SpringBoardDidFinish, true);
}

bool claimHooking() {
  bool expected = false;
  return kstFlags().isHooked.compare_exchange_strong(expected, true);
}

void setAlternativeLoading(const std::string& bundleId) {
  if (bundleId == "com.apple.mobileslideshow" || bundleId == "com.apple.youtube" ||
      bundleId == "com.apple.weather")
    set(kstFlags().alternativeLoading, true);
}

// The WebKit service processes are judged under their own process names.
void hookWebKitProcess(const std::string& processName) {
  manager().setCurrentBundleIdentifier(processName);
  set(kstFlags().canBeHooked, true);
  if (!claimHooking()) return;
  if (!kHook7) syslog(LOG_NOTICE, "Kestrix hooking into %s", processName.c_str());
  observeOnce(msg::kReplyNotification, &didSpringBoardFinishReply);
  observeOnce(msg::kReloadBothNotification, &reloadBothNotification);
  installConnectionHooks();
  installNameCapture();
  installDnsCapture();
  installDescriptorHooks();
  reset();
}

void hookWhatsNecessaryForApp() {
  KstFlags& f = kstFlags();
  const MainBundle& bundle = MainBundle::process();
  if (!bundle.bundleIdentifier()) return;
  const std::string& bundleId = *bundle.bundleIdentifier();
  manager().setCurrentBundleIdentifier(bundleId);
  const auto entry = applicationEntry(bundleId);
  set(f.canBeHooked, true);
  if (mustStayUnhooked(bundleId, entry)) {  // unguarded until a late hooking
    listenForLateHooking();
    return;
  }
  if (!claimHooking()) return;
  observeOnce(msg::kReloadBothNotification, &reloadBothNotification);
  installConnectionHooks();
  installNameCapture();
  installDnsCapture();
  installDescriptorHooks();
  installUrlCapture();
  hookResume();
  setAlternativeLoading(bundleId);
  reset();
  set(f.SpringBoardDidFinish, true);
}

// The launch entries: hook the application, then go on as it would have.
int my_UIApplicationMain(int argc, char** argv, const char* principal, const char* delegate) {
  atCBoundary("the launch hook", [] { hookWhatsNecessaryForApp(); });
  return orig_UIApplicationMain != nullptr ? orig_UIApplicationMain(argc, argv, principal, delegate) : 0;
}

void my___reportAppLaunchFinished(KstId self, KstSel cmd, KstId workspace, KstId completion) {
  atCBoundary("the launch hook", [] { hookWhatsNecessaryForApp(); });
  if (orig_workspaceDidLaunch != nullptr) orig_workspaceDidLaunch(self, cmd, workspace, completion);
}

void hookLate() {
  const MainBundle& bundle = MainBundle::process();
  if (isWebKitProcess(bundle.processName()) && !kHook7) {
    hookWebKitProcess(bundle.processName());
    return;
  }
  if (!bundle.bundleIdentifier() || !claimHooking()) return;
  manager().setCurrentBundleIdentifier(*bundle.bundleIdentifier());
  observeOnce(msg::kReloadBothNotification, &reloadBothNotification);
  installConnectionHooks();
  installNameCapture();
  installDnsCapture();
  installDescriptorHooks();
  hookResume();
  installUrlCapture();
  setAlternativeLoading(*bundle.bundleIdentifier());
  reset();
}

void canHookLateUnguarded() {
  KstFlags& f = kstFlags();
  if (!get(f.canBeHooked) || get(f.isHooked)) return;
  set(f.SpringBoardDidFinish, true);
  auto id = manager().currentBundleIdentifier();
  const MainBundle& bundle = MainBundle::process();
  const std::string bundleId = id ? *id : bundle.bundleIdentifier().value_or(std::string());
  if (mustStayUnhooked(bundleId, applicationEntry(bundleId))) return;
  hookLate();
}

void canHookLate() {
  atCBoundary("the late hooking", [] { canHookLateUnguarded(); });
}

// SpringBoard: the answering side. Its services run on the main queue.
void startSpringBoard() {
  KstFlags& f = kstFlags();
  set(f.isSpringBoard, true);
  // The shell owns its main thread: its loop is the services' main queue.
  adoptProgramMainQueue();
  // "getDeviceOrientation" answers the shell's device orientation.
  setDeviceOrientationProvider([] {
    KstClass springBoard = kst_objc_getClass("SpringBoard");
    KstSel orientation = kst_objc_selector("deviceOrientation");
    if (springBoard == nullptr || kst_objc_getMethod(springBoard, orientation) == nullptr) return 1;
    return static_cast<int>(substrate::sendMessage<long>(springBoard, orientation, nullptr));
  });
  installSpringBoardHooks();
  observeOnce(msg::kQuestionNotification, &didSpringBoardFinishQuestion);
  // The prompt lives in its own library, loaded only here; its entry point
  // makes prompts. Without it a question is answered as an unreachable
  // service would be.
  if (void* prompt = dlopen(DeviceRoot::process().path(kPromptLibrary).c_str(), RTLD_NOW | RTLD_NODELETE)) {
    static const KstPromptContext context{&f, &SpringBoardFirewallLaunchTime, &mainQueue()};
    if (auto create = reinterpret_cast<KstPopUpCreateFn>(dlsym(prompt, kPopUpCreateSymbol)))
      setKstPopUpFactory([create] { return std::unique_ptr<KstPopUp>(create(&context)); });
  }
  mainQueue().performAndWait([] {
    static auto* messaging = new KstMessaging();
    static auto* window = new MessagingSBS();
    static auto* windowUdp = new MessagingSBSUDP();
    static auto* rules = new KstDarwinMessage();
    messaging->initMessagingCenter();
    window->initSBSMessaging();
    windowUdp->initSBSMessaging();
    rules->initMessagingCenter();
    static auto* ruleUsage = new RuleUsageSBS();
    ruleUsage->initSBSMessaging();
    ruleUsage->writeAtExit();
    if (!kHook7) {
      static auto* hosts = new KstHostSpringBoard();
      hosts->initSBSMessaging();
    }
  });
  if (!kHook7) {
    manager().reloadAppSettings();
    manager().reloadGlobalSettings();
  }
}

bool leftAloneByName(std::string_view process) {
  if (kHook7) return process == "lsd";
  return process == "lsd" || process == "springboardservicesrelay" || process == "SyncAgent";
}

bool leftAloneById(std::string_view id) {
  return kst::leftAloneById(id, kHook7);
}

void initialize() {
  KstFlags& f = kstFlags();
  const MainBundle& bundle = MainBundle::process();
  const std::string& process = bundle.processName();
  if (leftAloneByName(process)) return;

  configureProcessSettingsManager(&processRelay(), kHook7);
  KstSettingsManager& m = manager();
  if (!bundle.bundleIdentifier()) return;
  const std::string& bundleId = *bundle.bundleIdentifier();
  m.setCurrentBundleIdentifier(bundleId);
  if (!kHook7)
    syslog(LOG_NOTICE,
           "Kst:::::::::::::::::::::::::::::::::: currentBundleIdentifier::::::::::::::::::::::::::::: %s",
           bundleId.c_str());
  const auto entry = applicationEntry(bundleId);
  if (leftAloneById(bundleId)) return;

  // Observers wait, without a thread, for the process's first judged call;
  // SpringBoard, which answers questions, listens at once.
  if (bundleId != kSpringBoardId) DarwinNotifyCenter::process().deferListening();
  observeOnce(msg::kHookLateNotification, &canHookLate);
  if (coreFoundationVersionNumber() <= 850.0) {
    hookFunction(reinterpret_cast<void*>(&::UIApplicationMain), &my_UIApplicationMain,
                 &orig_UIApplicationMain);
  } else {
    MSHookMessageEx(applicationClass(), kst_objc_selector(objc::kWorkspaceDidLaunchSelector),
                    reinterpret_cast<KstImp>(&my___reportAppLaunchFinished),
                    reinterpret_cast<KstImp*>(&orig_workspaceDidLaunch));
  }
  if (!kHook7) syslog(LOG_NOTICE, "processName %s", process.c_str());

  const bool allowedNow = !entryDisabled(entry) && !markerExists();
  if (isWebKitProcess(process) && allowedNow) {
    if (kHook7) {
      // Served applications are not known here; every call passes.
      m.clearCurrentBundleIdentifier();
      set(f.canBeHooked, true);
      listenForLateHooking();
    } else {
      hookWebKitProcess(process);
    }
    return;
  }
  if (bundleId == kGamedId) {
    set(f.canBeHooked, true);
    if (!allowedNow) listenForLateHooking();
    if (allowedNow && claimHooking()) {
      if (!kHook7) syslog(LOG_NOTICE, "Kestrix hooking into GAMED");
      observeOnce(msg::kReplyNotification, &didSpringBoardFinishReply);
      observeOnce(msg::kReloadBothNotification, &reloadBothNotification);
      installConnectionHooks();
      installNameCapture();
      installUrlCapture();
      reset();
    }
    return;
  }
  if (bundleId == kSpringBoardId) startSpringBoard();
}

}  // namespace
}  // namespace kst

// The library's constructor. The program's own code has not run yet; an
// application is hooked when the substrate runs its launch entry, which it
// does before the program's constructors, so connections made there are
// judged too.
extern "C" __attribute__((constructor, visibility("default"))) void Zazizivi7Initialize() {
  kst::substrate::PassThroughScope own;  // the start-up's own file and socket calls
  kst::atCBoundary("the library's start-up", [] { kst::initialize(); });
}
