#pragma once

#include <string_view>

namespace kst {

// The hook library for a CoreFoundation version: at most 1200.0 (iOS 7 and
// 8) KestrixHook7, above it KestrixHook9.
std::string_view hookLibraryFor(double coreFoundationVersion);

}  // namespace kst
