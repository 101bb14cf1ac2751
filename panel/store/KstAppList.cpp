#include "panel/store/KstAppList.h"

#include <unordered_set>

#include "panel/store/Entries.h"

namespace kst::panel {

const std::vector<std::string_view>& excludedBundleIdentifiers() {
  static const std::vector<std::string_view> ids = {
      "com.apple.DataActivation",
      "com.apple.DemoApp",
      "com.apple.fieldtest",
      "com.apple.iosdiagnostics",
      "com.apple.iphoneos.iPodOut",
      "com.apple.TrustMe",
      "com.apple.springboard",
      "com.apple.purplebuddy",
      "com.apple.datadetectors.DDActionsService",
      "com.apple.FacebookAccountMigrationDialog",
      "com.apple.iad.iAdOptOut",
      "com.apple.ios.StoreKitUIService",
      "com.apple.TextInput.kbd",
      "com.apple.MailCompositionService",
      "com.apple.mobilesms.compose",
      "com.apple.quicklook.quicklookd",
      "com.apple.ShoeboxUIService",
      "com.apple.social.remoteui.SocialUIService",
      "com.apple.WebViewService",
      "com.apple.gamecenter.GameCenterUIService",
      "com.apple.appleaccount.AACredentialRecoveryDialog",
      "com.apple.CompassCalibrationViewService",
      "com.apple.WebContentFilter.remoteUI.WebContentAnalysisUI",
      "com.apple.PassbookUIService",
      "com.apple.uikit.PrintStatus",
      "com.apple.Copilot",
      "com.apple.MusicUIService",
      "com.apple.AccountAuthenticationDialog",
      "com.apple.MobileReplayer",
      "com.apple.SiriViewService",
  };
  return ids;
}

namespace KstAppList {

// The identifiers are compared through a lower-cased set rather than one
// comparison per identifier, so a query over a thousand keys stays linear.
std::map<std::string, std::string> applicationsWithBundleIdentifiers(
    const applist::ApplicationCatalogue& list, const std::vector<std::string>& ids) {
  std::unordered_set<std::string> wanted;
  for (const std::string& id : ids) wanted.insert(lowerCased(id));
  wanted.insert(lowerCased(kStocksBundleIdentifier));
  return list.applicationsFilteredUsingPredicate(
      [&](std::string_view id) { return wanted.contains(lowerCased(id)); });
}

std::map<std::string, std::string> applicationsWithoutBundleIdentifiers(
    const applist::ApplicationCatalogue& list, const std::vector<std::string>& ids) {
  std::unordered_set<std::string> unwanted;
  for (const std::string& id : ids) unwanted.insert(lowerCased(id));
  for (std::string_view id : excludedBundleIdentifiers()) unwanted.insert(lowerCased(id));
  return list.applicationsFilteredUsingPredicate(
      [&](std::string_view id) { return !unwanted.contains(lowerCased(id)); });
}

}  // namespace KstAppList

}  // namespace kst::panel
