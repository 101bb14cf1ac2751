#pragma once

#include <string_view>

// The system's persistent files: their device paths, their keys, and the
// defaults a reader applies when a file, a key or a value is missing or
// unreadable. The one place these names are written.
namespace kst::files {

inline constexpr std::string_view kPreferencesDir = "/var/mobile/Library/Preferences/";
inline constexpr std::string_view kRulesPath =
    "/var/mobile/Library/Preferences/com.Dovrane.FirewallRules2.plist";
inline constexpr std::string_view kGlobalRulesPath =
    "/var/mobile/Library/Preferences/com.Dovrane.FirewallGlobalRules2.plist";
inline constexpr std::string_view kPanelSettingsPath =
    "/var/mobile/Library/Preferences/com.Dovrane.FirewallSettings2.plist";
inline constexpr std::string_view kWhiteListPath =
    "/var/mobile/Library/Preferences/com.Dovrane.WhiteList.plist";
inline constexpr std::string_view kDisabledMarkerPath =
    "/var/mobile/Library/Preferences/com.Dovrane.Radazira.disabled";
inline constexpr std::string_view kLogPath = "/var/mobile/Library/Preferences/com.Dovrane.Radazira.Log.txt";
// How often each rule decided and when it last did; the shell's alone
// (RuleUsageFile.h). Never part of the rule files.
inline constexpr std::string_view kRuleUsagePath =
    "/var/mobile/Library/Preferences/com.Dovrane.Radazira.RuleUsage.plist";

// Both rule files carry "150" = true; every writer adds it when missing and
// no reader looks at its value. Listing the applications skips it.
inline constexpr std::string_view kMarkerKey = "150";

// A rule entry of the "allow"/"deny"/"globalAllow"/"globalDeny" arrays.
inline constexpr std::string_view kRuleKey = "rule";
inline constexpr std::string_view kDateKey = "date";
// Optional: the date after which the rule no longer decides; the next writer
// of its file drops it. Readers that do not know the key ignore it.
inline constexpr std::string_view kExpiresKey = "expires";

// Keys of an application's entry in the rules file.
inline constexpr std::string_view kEnabledKey = "enabled";                      // default true
inline constexpr std::string_view kAllowEverythingKey = "allowEverything";      // "1", "2", else neither
inline constexpr std::string_view kStillUseRulesKey = "stillUseRules";          // default false
inline constexpr std::string_view kBlockSpecificWiFiKey = "blockSpecificWiFi";  // capital F in the file
inline constexpr std::string_view kAllowKey = "allow";
inline constexpr std::string_view kDenyKey = "deny";

// The values of "allowEverything" (and of the run-wide answer).
inline constexpr std::string_view kAllowEverything = "1";
inline constexpr std::string_view kDenyEverything = "2";
inline constexpr std::string_view kNeitherEverything = "0";

// Keys of the global rules file.
inline constexpr std::string_view kGlobalAllowKey = "globalAllow";
inline constexpr std::string_view kGlobalDenyKey = "globalDeny";
inline constexpr std::string_view kRespectGlobalKey = "respectGlobal";  // default false
inline constexpr std::string_view kLogKey = "log";                      // default false
inline constexpr std::string_view kBlockNonWiFiKey = "blockNonWiFi";    // default false
inline constexpr std::string_view kAdvancedHostnameResolutionKey =
    "advancedHostnameResolution";                                             // default false
inline constexpr std::string_view kPlaySoundInSleepKey = "playSoundInSleep";  // default true
inline constexpr std::string_view kSolidPopupKey = "solidPopup";              // default false
inline constexpr std::string_view kThemeKey = "theme";
inline constexpr std::string_view kBlueTheme = "blue";  // exactly this text selects theme 1

// Keys of the settings application's own flags file.
inline constexpr std::string_view kShowAllowHelpKey = "showAllowHelp";
inline constexpr std::string_view kDidShowEditAlertKey = "didShowEditAlert";

// The white list file: {"whiteList": [host, ...]}.
inline constexpr std::string_view kWhiteListKey = "whiteList";

}  // namespace kst::files
