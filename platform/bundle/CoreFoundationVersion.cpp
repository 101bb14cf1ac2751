#include "platform/bundle/CoreFoundationVersion.h"

#include <cmath>
#include <optional>

#include "platform/plist/PlistFile.h"

namespace kst {

namespace {

double forMajorRelease(long long major) {
  if (major < 7) return kCFCoreFoundationVersionNumber_iOS_6_0;
  if (major == 7) return kCFCoreFoundationVersionNumber_iOS_7_0;
  if (major == 8) return kCFCoreFoundationVersionNumber_iOS_8_0;
  return kCFCoreFoundationVersionNumber_iOS_9_0;
}

}  // namespace

double coreFoundationVersionForProductVersion(std::string_view productVersion) {
  std::size_t i = 0;
  while (i < productVersion.size() && (productVersion[i] == ' ' || productVersion[i] == '\t')) ++i;
  long long major = 0;
  std::size_t digits = 0;
  for (; i < productVersion.size() && productVersion[i] >= '0' && productVersion[i] <= '9'; ++i, ++digits) {
    if (major < 1000000) major = major * 10 + (productVersion[i] - '0');
  }
  if (digits == 0) return kCFCoreFoundationVersionNumber_iOS_9_0;
  return forMajorRelease(major);
}

double coreFoundationVersionNumber(const DeviceRoot& root, FileSystem& fs) {
  const std::optional<plist::Dictionary> file = plist::readDictionaryFile(fs, root.path(kSystemVersionPath));
  if (!file) return kCFCoreFoundationVersionNumber_iOS_9_0;
  const plist::Value* version = file->find(kProductVersionKey);
  if (version == nullptr) return kCFCoreFoundationVersionNumber_iOS_9_0;
  if (const std::string* text = version->asString()) return coreFoundationVersionForProductVersion(*text);
  if (const std::int64_t* whole = version->asInteger()) return forMajorRelease(*whole);
  if (const double* real = version->asReal(); real != nullptr && std::isfinite(*real)) {
    return forMajorRelease(static_cast<long long>(std::floor(std::fmax(-1.0, std::fmin(*real, 1e6)))));
  }
  return kCFCoreFoundationVersionNumber_iOS_9_0;
}

double coreFoundationVersionNumber() {
  static const double version = coreFoundationVersionNumber(DeviceRoot::process());
  return version;
}

}  // namespace kst
