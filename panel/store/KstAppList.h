#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/applist/ApplicationCatalogue.h"

namespace kst::panel {

// The two questions the settings application puts to the catalogue.
namespace KstAppList {

// Identifier to name of the installed applications whose identifier equals,
// ignoring case, one of `ids` or "com.apple.stocks".
std::map<std::string, std::string> applicationsWithBundleIdentifiers(
    const applist::ApplicationCatalogue& list, const std::vector<std::string>& ids);
// Identifier to name of the installed applications whose identifier differs,
// ignoring case, from every one of `ids` and of the exclusion table.
std::map<std::string, std::string> applicationsWithoutBundleIdentifiers(
    const applist::ApplicationCatalogue& list, const std::vector<std::string>& ids);

}  // namespace KstAppList

// The applications the chooser never offers, in the order they are compared.
const std::vector<std::string_view>& excludedBundleIdentifiers();

// The identifiers the catalogue does not know, listed under fixed names.
struct SpecialApp {
  std::string_view bundleIdentifier;
  std::string_view displayName;
};
inline constexpr SpecialApp kSpecialApps[] = {
    {"com.apple.gamed", "GameCenterDaemon"},
    {"com.apple.WebKit.Networking", "WebKit Networking"},
    {"com.apple.WebKit.WebContent", "WebKit Content"},
};
inline constexpr std::string_view kStocksBundleIdentifier = "com.apple.stocks";
inline constexpr std::string_view kSpringBoardBundleIdentifier = "com.apple.springboard";
inline constexpr std::string_view kGamedBundleIdentifier = "com.apple.gamed";
// The application whose icon is the placeholder of every row.
inline constexpr std::string_view kPlaceholderIconBundleIdentifier = "com.apple.WebSheet";

}  // namespace kst::panel
