#pragma once

// The texts the settings application shows, written once.
namespace kst::panel::text {

// Start-up alerts.
inline constexpr const char* kDisabledTitle = "Attention!";
inline constexpr const char* kDisabledMessage =
    "Radazira is disabled. You can activate it in the settings or via the toogle for SBSettings.";
inline constexpr const char* kOK = "OK";
inline constexpr const char* kIntroTitle = "Thanks for purchasing Kestrix";
inline constexpr const char* kIntroMessage =
    "Would you like to find out how to use Kestrix in the best way possible?";
inline constexpr const char* kNo = "No";
inline constexpr const char* kYesOfCourse = "Yes, of course";

// Main list and chooser.
inline constexpr const char* kMainTitle = "Kestrix";
inline constexpr const char* kChooserTitle = "Add App";
inline constexpr const char* kGlobalAllow = "Global Allow";
inline constexpr const char* kGlobalDeny = "Global Deny";
inline constexpr const char* kAppliedToAllApps = "Applied to all Apps";

// Per-application screen.
inline constexpr const char* kAllowAllConnections = "Allow All Connections";
inline constexpr const char* kDenyAllConnections = "Deny All Connections";
inline constexpr const char* kStillApplyDetailedRules = "Still Apply Detailed Rules";
inline constexpr const char* kAppliesAllRulesSetBelow = "Applies all rules set below";
inline constexpr const char* kBlockIfNotOnWiFi = "Block If NOT On WiFi";
inline constexpr const char* kSavesMobileData = "This will save mobile data.";
inline constexpr const char* kAlwaysAllowRules = "Always Allow Rules";
inline constexpr const char* kConnectionsAllowed = "Connections which are allowed.";
inline constexpr const char* kAlwaysDenyRules = "Always Deny Rules";
inline constexpr const char* kConnectionsBlocked = "Connections which are being blocked.";

// Rule lists.
inline constexpr const char* kAlwaysAllow = "Always Allow";
inline constexpr const char* kAlwaysDeny = "Always Deny";
inline constexpr const char* kAddHostname = "Add Hostname/IP";
inline constexpr const char* kConsultHelp = "For details please consult the help page.";
inline constexpr const char* kImportDeleteAll = "Import | Delete All";
inline constexpr const char* kPleaseBeCareful = "Please be careful!";
inline constexpr const char* kSortName = "Name";
inline constexpr const char* kSortDate = "Date";
inline constexpr const char* kSortLastUsed = "Last used";
// The add and edit alerts' choice of how long a rule lasts.
inline constexpr const char* kKeepFor = "Keep for";
inline constexpr const char* kKeepAlways = "Always";
inline constexpr const char* kKeepOneHour = "1 hour";
inline constexpr const char* kKeepOneDay = "1 day";
inline constexpr const char* kKeepOneWeek = "1 week";
inline constexpr const char* kKeepUntil = "Until %1";  // the rule's expiry, left as it is
inline constexpr const char* kEditRule = "Edit Rule";
inline constexpr const char* kSave = "Save";
inline constexpr const char* kNeverUsed = "Never used";
inline constexpr const char* kUsedOnce = "Used once, last %1";
inline constexpr const char* kUsedTimes = "Used %1 times, last %2";
inline constexpr const char* kHelpMessageA =
    "Here you can manually enter hostnames or IPs, for example google.com, which are allowed. These rules "
    "won't "
    "override the rules of an app but will take effect if no app-specific rule for the entered hostname "
    "exists. \n "
    "If you enter a hostname with an asterix * in front, for example *google.com, all subdomains which "
    "contain that "
    "hostname will be allowed. According the example: hostnames like static.google.com.";
inline constexpr const char* kHelpMessageB =
    "Here you can manually enter hostnames or IPs, for example google.com. These rules won't "
    "override the rules of an app but will take effect if no app-specific rule for the entered hostname "
    "exists. \n "
    "If you enter a hostname with an asterix * in front, for example *google.com, all subdomains which "
    "contain that "
    "hostname will be allowed. According the example: hostnames like static.google.com.";
inline constexpr const char* kDismiss = "Dismiss";
inline constexpr const char* kHideAlert = "Hide Alert";
inline constexpr const char* kCreateGlobalRule = "Create Global Rule: enter hostname/IP without www.";
inline constexpr const char* kCreateRule = "Create Rule: enter hostname/IP without www.";
inline constexpr const char* kDomainPlaceholder = "domain.com";
inline constexpr const char* kCancel = "Cancel";
inline constexpr const char* kEditModeTitle = "Edit Mode";
inline constexpr const char* kEditModeMessage =
    "While in edit mode you can tap the text of a rule and manually change it.";
inline constexpr const char* kImportDeleteTitle = "Import/Delete";
inline constexpr const char* kImportDeleteMessage =
    "Place a list into /Applications/KestrixPanel.app/Lists/ to import it. For more information please check "
    "the "
    "documentation.\nTap on Delete to clear all rules!";
inline constexpr const char* kImport = "Import";
inline constexpr const char* kDelete = "Delete";
inline constexpr const char* kDeleteAllRulesQ = "Delete all Rules?";
inline constexpr const char* kDeleteAllRulesInList = "Do you want to delete all rules in this list?";

// Settings.
inline constexpr const char* kSettingsTitle = "Settings";
inline constexpr const char* kEnabled = "Enabled";
inline constexpr const char* kEnabledUnder = "Completely disable/enable Kst.";
inline constexpr const char* kDocumentation = "Documentation";
inline constexpr const char* kDocumentationUnder = "Browse Kestrix documentation.";
inline constexpr const char* kBlockNonWiFiUnder = "In apps hooked by Kestrix.";
inline constexpr const char* kRespectGlobal = "Allow All Sess. Respects Global";
inline constexpr const char* kRespectGlobalUnder = "Global Rules will be respected";
inline constexpr const char* kLog = "Log";
inline constexpr const char* kLogUnder = "Tap cell to view the log.";
inline constexpr const char* kPlaySound = "Play sound when sleeping";
inline constexpr const char* kPlaySoundUnder = "If popup appears while device is sleeping";
inline constexpr const char* kImportExportSettings = "Import/Export Settings";
inline constexpr const char* kImportExportUnder = "For all settings and rules.";
inline constexpr const char* kSolidPopup = "Solid Popup";
inline constexpr const char* kSolidPopupUnder = "makes it easier to read";
inline constexpr const char* kAdvancedResolution = "Advanced Hostname Resolution";
inline constexpr const char* kAdvancedResolutionUnder = "might be slower on certain networks";
inline constexpr const char* kDeleteAllRulesAndSettings = "Delete All Rules and Settings";
inline constexpr const char* kWillAskForConfirmation = "will ask for confirmation.";
inline constexpr const char* kPleaseRead = "Please Read";
inline constexpr const char* kLoggingMessage =
    "Logging will need additional resources and will fill the memory. Disable logging if you don't need it.";
inline constexpr const char* kNoInternetTitle = "No Internet Connection";
inline constexpr const char* kNoInternetMessage =
    "You require an internet connection via WiFi or cellular network for additional Information.";
inline constexpr const char* kOk = "Ok";
inline constexpr const char* kDeleteAllRules = "Delete all Rules";
inline constexpr const char* kReallyDeleteAll = "Do you really want to delete all rules?";
inline constexpr const char* kYes = "Yes";
inline constexpr int kDeleteAllTag = 666;

// Log and documentation.
inline constexpr const char* kLogTitle = "Log";
inline constexpr const char* kNoContent = "no content";
inline constexpr const char* kDocumentationTitle = "Documentation";
inline constexpr const char* kTroubleshootingTitle = "please read troubleshooting and FAQ first!";
inline constexpr const char* kTroubleshootingMessage =
    "You can find answers to the most common questions and problems on the Troubleshooting and FAQ page. "
    "Please "
    "read it first before you email me.";
inline constexpr const char* kEmailSupport = "Email Dovrane";
inline constexpr const char* kReadFirst = "Read First";

// Import and export.
inline constexpr const char* kImportExportTitle = "Import/Export";
inline constexpr const char* kImportTitle = "Import";
inline constexpr const char* kExport = "Export";
inline constexpr const char* kExportHelp =
    "To export all your settings, just tap on the export-button and a file will be saved in "
    "/var/mobile/Library/Preferences/Kst/.\nTo import a previously exported file, please place it in that "
    "folder, "
    "reload this view and then tap on it.";
inline constexpr const char* kImportSettingsQ =
    "Do you want to import Settings from %1? All current settings will be overwritten!!!";
inline constexpr const char* kImportRulesQ = "Do you want to import rules from this file?";
inline constexpr const char* kYES = "YES";

}  // namespace kst::panel::text
