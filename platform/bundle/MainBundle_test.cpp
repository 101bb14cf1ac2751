#include "platform/bundle/MainBundle.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>

#include "platform/bundle/CoreFoundationVersion.h"
#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using testing::TempRoot;

MainBundle bundleFrom(const std::map<std::string, std::string>& env, std::string processName = "app") {
  return MainBundle::fromEnvironment(
      [&](const char* name) -> const char* {
        auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
      },
      std::move(processName));
}

TEST(MainBundleTest, IdentityComesFromTheLaunchersVariables) {
  const MainBundle bundle = bundleFrom({{kBundleIdentifierVariable, "com.example.mail"},
                                        {kDisplayNameVariable, "Mail"},
                                        {kExecutableVariable, "MobileMail"}},
                                       "MobileMail");
  ASSERT_TRUE(bundle.bundleIdentifier().has_value());
  EXPECT_EQ(*bundle.bundleIdentifier(), "com.example.mail");
  EXPECT_EQ(bundle.displayName(), "Mail");
  EXPECT_EQ(bundle.executable(), "MobileMail");
  EXPECT_EQ(bundle.processName(), "MobileMail");
}

TEST(MainBundleTest, WithoutAnIdentityThereIsNoBundle) {
  EXPECT_FALSE(bundleFrom({}).bundleIdentifier().has_value());
  // An empty identifier is no identifier: such a process is left alone.
  const MainBundle empty = bundleFrom({{kBundleIdentifierVariable, ""}, {kDisplayNameVariable, "X"}});
  EXPECT_FALSE(empty.bundleIdentifier().has_value());
  EXPECT_EQ(empty.displayName(), "X");
  EXPECT_EQ(empty.executable(), "");
}

TEST(MainBundleTest, ThisProcessIsNamedAfterItsProgram) {
  EXPECT_EQ(MainBundle::process().processName(), "platform_bundle_test");
  EXPECT_EQ(&MainBundle::process(), &MainBundle::process());
}

TEST(MainBundleTest, BaseName) {
  EXPECT_EQ(baseName("/usr/bin/python3"), "python3");
  EXPECT_EQ(baseName("lsd"), "lsd");
  EXPECT_EQ(baseName("dir/"), "");
  EXPECT_EQ(baseName(""), "");
}

TEST(CoreFoundationVersionTest, ReleasesMapAroundTheLibraryThresholds) {
  // The hook libraries choose by "<= 850" (launch entry) and "<= 1200" (build).
  for (const char* seven : {"7.0", "7.1.2", " 7.0.6"}) {
    EXPECT_LE(coreFoundationVersionForProductVersion(seven), 850.0) << seven;
  }
  for (const char* six : {"6.1.3", "5.0", "0.1"}) {
    EXPECT_LE(coreFoundationVersionForProductVersion(six), 850.0) << six;
  }
  for (const char* eight : {"8.0", "8.4.1", "8"}) {
    const double v = coreFoundationVersionForProductVersion(eight);
    EXPECT_GT(v, 850.0) << eight;
    EXPECT_LE(v, 1200.0) << eight;
  }
  for (const char* nine : {"9.0", "9.3.5", "10.3", "17.4", "99999999999999999999"}) {
    EXPECT_GT(coreFoundationVersionForProductVersion(nine), 1200.0) << nine;
  }
  EXPECT_DOUBLE_EQ(coreFoundationVersionForProductVersion("7.1"), kCFCoreFoundationVersionNumber_iOS_7_0);
  EXPECT_DOUBLE_EQ(coreFoundationVersionForProductVersion("8.1"), kCFCoreFoundationVersionNumber_iOS_8_0);
  EXPECT_DOUBLE_EQ(coreFoundationVersionForProductVersion("9.1"), kCFCoreFoundationVersionNumber_iOS_9_0);
}

TEST(CoreFoundationVersionTest, UnreadableReleaseIsIOS9) {
  for (const char* bad : {"", "abc", ".7", "-8", "\xff\xfe"}) {
    EXPECT_DOUBLE_EQ(coreFoundationVersionForProductVersion(bad), kCFCoreFoundationVersionNumber_iOS_9_0)
        << bad;
  }
}

class SystemVersionFileTest : public ::testing::Test {
 protected:
  double versionWith(const plist::Dictionary& dict) {
    EXPECT_TRUE(plist::writeDictionaryFile(FileSystem::real(), temp_.path(kSystemVersionPath), dict, true));
    return coreFoundationVersionNumber(temp_.root());
  }
  void writeRaw(const std::string& bytes) {
    EXPECT_TRUE(FileSystem::real().writeFileAtomic(temp_.path(kSystemVersionPath), bytes, true));
  }

  TempRoot temp_;
};

TEST_F(SystemVersionFileTest, ProductVersionOfTheDevice) {
  EXPECT_DOUBLE_EQ(versionWith({{kProductVersionKey, "7.1.2"}, {"ProductName", "iPhone OS"}}),
                   kCFCoreFoundationVersionNumber_iOS_7_0);
  EXPECT_DOUBLE_EQ(versionWith({{kProductVersionKey, "8.3"}}), kCFCoreFoundationVersionNumber_iOS_8_0);
  EXPECT_DOUBLE_EQ(versionWith({{kProductVersionKey, 8}}), kCFCoreFoundationVersionNumber_iOS_8_0);
  EXPECT_DOUBLE_EQ(versionWith({{kProductVersionKey, 7.1}}), kCFCoreFoundationVersionNumber_iOS_7_0);
}

TEST_F(SystemVersionFileTest, XmlFileIsRead) {
  writeRaw(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>ProductVersion</key><string>8.4</string></dict></plist>)");
  EXPECT_DOUBLE_EQ(coreFoundationVersionNumber(temp_.root()), kCFCoreFoundationVersionNumber_iOS_8_0);
}

TEST_F(SystemVersionFileTest, MissingOrBadFileIsIOS9) {
  EXPECT_DOUBLE_EQ(coreFoundationVersionNumber(temp_.root()), kCFCoreFoundationVersionNumber_iOS_9_0);
  writeRaw("not a property list");
  EXPECT_DOUBLE_EQ(coreFoundationVersionNumber(temp_.root()), kCFCoreFoundationVersionNumber_iOS_9_0);
  EXPECT_DOUBLE_EQ(versionWith({{"ProductName", "iPhone OS"}}), kCFCoreFoundationVersionNumber_iOS_9_0);
  EXPECT_DOUBLE_EQ(versionWith({{kProductVersionKey, true}}), kCFCoreFoundationVersionNumber_iOS_9_0);
  EXPECT_DOUBLE_EQ(versionWith({{kProductVersionKey, std::numeric_limits<double>::quiet_NaN()}}),
                   kCFCoreFoundationVersionNumber_iOS_9_0);
}

}  // namespace
}  // namespace kst
