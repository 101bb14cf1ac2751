#include "loader/KestrixLoader.h"

#include <gtest/gtest.h>

namespace kst {
namespace {

TEST(KestrixLoaderTest, ChoosesTheLibraryByCoreFoundationVersion) {
  EXPECT_EQ(hookLibraryFor(847.20), "/usr/lib/KestrixHook7.dylib");
  EXPECT_EQ(hookLibraryFor(1140.10), "/usr/lib/KestrixHook7.dylib");
  EXPECT_EQ(hookLibraryFor(1200.0), "/usr/lib/KestrixHook7.dylib") << "exactly 1200 is still iOS 8";
  EXPECT_EQ(hookLibraryFor(1200.01), "/usr/lib/KestrixHook9.dylib");
  EXPECT_EQ(hookLibraryFor(1e9), "/usr/lib/KestrixHook9.dylib");
}

}  // namespace
}  // namespace kst
