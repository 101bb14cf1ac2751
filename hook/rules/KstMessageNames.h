#pragma once

#include <string_view>

// Every name that crosses a process boundary: services, messages, the keys of
// their dictionaries, answer codes and Darwin notifications. Written once,
// here.
namespace kst::msg {

// Services served by SpringBoard.
inline constexpr std::string_view kRuleWriteService = "com.Dovrane.Radazira.Service";
inline constexpr std::string_view kWindowService = "com.Dovrane.Radazira.Service.Window";
inline constexpr std::string_view kWindowUDPService = "com.Dovrane.Radazira.Service.WindowUDP";
inline constexpr std::string_view kExtendedService = "com.Dovrane.Radazira.ServiceExtended";
inline constexpr std::string_view kHostStuffService = "com.Dovrane.Radazira.HostStuff";
inline constexpr std::string_view kRuleUsageService = "com.Dovrane.Radazira.RuleUsage";

// Messages.
inline constexpr std::string_view kIsShowingWindow = "isShowingWindow";
inline constexpr std::string_view kGetDeviceOrientation = "getDeviceOrientation";
inline constexpr std::string_view kMessageForWindow = "messageForWindow";
inline constexpr std::string_view kMessageForWindowUDP = "messageForWindowUDP";
inline constexpr std::string_view kLogMessage = "logMessage";
inline constexpr std::string_view kMessageThatHasInfo = "messageThatHasInfo";
inline constexpr std::string_view kGlobalMessageThatHasInfo = "GlobalMessageThatHasInfo";
inline constexpr std::string_view kStdRules = "std.Rules";
inline constexpr std::string_view kGlobalRules = "global.Rules";
inline constexpr std::string_view kHostStuffSend = "com.Dovrane.Radazira.HostStuff.Send";
inline constexpr std::string_view kHostStuffGet = "com.Dovrane.Radazira.HostStuff.Get";
// One-way: a process's rule counts since its last report, shaped as the
// counts file (RuleUsageFile.h).
inline constexpr std::string_view kRuleUsageMessage = "ruleUsage";

// Reply of "isShowingWindow" and "getDeviceOrientation".
inline constexpr std::string_view kIsShowingWindowKey = "isShowingWindow";
inline constexpr std::string_view kDeviceOrientationKey = "deviceOrientation";

// The question ("messageForWindow", "messageForWindowUDP"), in the order in
// which a missing value drops itself and every later key.
inline constexpr std::string_view kHostKey = "host";
inline constexpr std::string_view kPortKey = "port";
inline constexpr std::string_view kOrientationKey = "orientation";
inline constexpr std::string_view kDisplayNameKey = "displayName";
inline constexpr std::string_view kThemeKey = "theme";
inline constexpr std::string_view kUrlKey = "url";
inline constexpr std::string_view kBundleIdentifierKey = "bundleIdentifier";
inline constexpr std::string_view kNoUrl = " ";  // an absent URL travels as one blank

// The answer.
inline constexpr std::string_view kWhatToDoKey = "whatToDo";
inline constexpr std::string_view kAndToDoKey = "andToDo";
inline constexpr std::string_view kPortToDoKey = "portToDo";
// and kHostKey.

// "logMessage".
inline constexpr std::string_view kLogStringKey = "logString";

// "std.Rules" argument and reply. The reply key ends in "Wifi", the file key
// in "WiFi".
inline constexpr std::string_view kBundleIdKey = "bI";
inline constexpr std::string_view kEmptyKey = "empty";
inline constexpr std::string_view kEmptyValue = "empty";
inline constexpr std::string_view kMutableDicKey = "mutableDicOfCurrentBundleIdentifier";
inline constexpr std::string_view kAllowEverythingKey = "allowEverything";
inline constexpr std::string_view kBlockSpecificWifiKey = "blockSpecificWifi";
inline constexpr std::string_view kShouldUseDetailedRulesKey = "shouldUseDetailedRules";
inline constexpr std::string_view kAllowArrayKey = "allowArray";
inline constexpr std::string_view kDenyArrayKey = "denyArray";
inline constexpr std::string_view kEnabledKey = "enabled";
inline constexpr std::string_view kWhiteListArrayKey = "whiteListArray";

// "global.Rules" reply.
inline constexpr std::string_view kGlobalRulesDicKey = "globalRulesDic";
inline constexpr std::string_view kGlobalAllowArrayKey = "globalAllowArray";
inline constexpr std::string_view kGlobalDenyArrayKey = "globalDenyArray";
inline constexpr std::string_view kRespectGlobalKey = "respectGlobal";
inline constexpr std::string_view kLoggingKey = "logging";
inline constexpr std::string_view kThemeNumberKey = "themeNumber";
inline constexpr std::string_view kBlockNonWiFiKey = "blockNonWiFi";
inline constexpr std::string_view kAdvancedHostnameResolutionKey = "advancedHostnameResolution";

// "com.Dovrane.Radazira.HostStuff.Send" / ".Get".
inline constexpr std::string_view kHostStuffHostKey = "host";
inline constexpr std::string_view kHostStuffIPKey = "IP";

// Darwin notifications.
inline constexpr std::string_view kReloadBothNotification = "com.dovrane.kst.reloadBoth";
inline constexpr std::string_view kHookLateNotification = "com.dovrane.kst.hookLate";
inline constexpr std::string_view kQuestionNotification = "com.dovrane.firewall/question";
inline constexpr std::string_view kReplyNotification = "com.dovrane.firewall/reply";

// Answer codes ("whatToDo").
enum AnswerCode : int {
  allowOnce = 0,
  denyOnce = 1,
  alwaysAllow = 2,
  alwaysDeny = 3,
  allowAll = 4,
  denyAll = 5,
  allowSession = 6,
  denySession = 7,
  globalAllow = 8,
  globalDeny = 9,
  allowAllSession = 10,
  denyAllSession = 11,
};

// Host forms ("andToDo") and port scopes ("portToDo").
enum HostForm : int { kHostAsIs = 0, kHostStar = 1, kHostStarDot = 2 };
enum PortScope : int { kAllPorts = 0, kOnlyThisPort = 1 };

}  // namespace kst::msg
