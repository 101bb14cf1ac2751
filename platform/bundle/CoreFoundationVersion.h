#pragma once

#include <string_view>

#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"

namespace kst {

// The CoreFoundation version numbers of the original platform's releases.
// The hook libraries compare against them: at most 850 is iOS 7, at most
// 1200 is iOS 8, above that iOS 9 and later.
inline constexpr double kCFCoreFoundationVersionNumber_iOS_6_0 = 793.00;
inline constexpr double kCFCoreFoundationVersionNumber_iOS_7_0 = 847.20;
inline constexpr double kCFCoreFoundationVersionNumber_iOS_8_0 = 1140.10;
inline constexpr double kCFCoreFoundationVersionNumber_iOS_9_0 = 1240.10;

// Where the device says which system it runs, and the key that says it.
inline constexpr const char* kSystemVersionPath = "/System/Library/CoreServices/SystemVersion.plist";
inline constexpr const char* kProductVersionKey = "ProductVersion";

// The version number for a "ProductVersion" such as "8.4.1": by its major
// release, 7.x -> 847.20, 8.x -> 1140.10, 9.x and later -> 1240.10, earlier
// ones 793.00. Anything without a leading release number is iOS 9.
double coreFoundationVersionForProductVersion(std::string_view productVersion);

// The version number of the device at `root`, from its SystemVersion.plist;
// a device without a readable one (or without "ProductVersion") is iOS 9.
double coreFoundationVersionNumber(const DeviceRoot& root, FileSystem& fs = FileSystem::real());

// This process's version number: its device root's, read on first use and
// kept. Any thread may call it.
double coreFoundationVersionNumber();

}  // namespace kst
