#include "loader/KestrixLoader.h"

namespace kst {

std::string_view hookLibraryFor(double coreFoundationVersion) {
  // 1200.0 lies between iOS 8 (below) and iOS 9 (above).
  return coreFoundationVersion <= 1200.0 ? "/usr/lib/KestrixHook7.dylib" : "/usr/lib/KestrixHook9.dylib";
}

}  // namespace kst
