#include "tools/install/Installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle/MainBundle.h"
#include "platform/plist/PlistFile.h"
#include "platform/substrate/TweakLoader.h"
#include "platform/substrate/testing/ProcessRunner.h"
#include "platform/testing/TempRoot.h"

namespace kst::install {
namespace {

using kst::testing::readText;
using kst::testing::TempRoot;

class InstallTest : public ::testing::Test {
 protected:
  void build(const std::string& name, const std::string& bytes) {
    ASSERT_TRUE(FileSystem::real().writeFileAtomic(build_.dir() + "/lib/" + name, bytes, true));
  }
  bool install(std::string* error = nullptr) {
    std::string ignored;
    installed_.clear();
    return installDevice(build_.dir() + "/lib", root_.root(), &installed_,
                         error != nullptr ? error : &ignored);
  }
  std::string file(const std::string& devicePath) const { return readText(root_.path(devicePath)); }
  bool exists(const std::string& devicePath) const { return std::filesystem::exists(root_.path(devicePath)); }

  TempRoot build_;
  TempRoot root_;
  std::vector<std::string> installed_;
};

TEST_F(InstallTest, LaysOutThePromptDataFilesAndReplacesThem) {
  build("libsubstrate.so", "substrate v1");
  ASSERT_TRUE(
      FileSystem::real().writeFileAtomic(build_.dir() + "/share/kestrix/ports.txt", "22 ssh\n", true));
  const std::string rules = "/var/mobile/Library/Preferences/com.Dovrane.FirewallRules2.plist";
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(root_.path(rules), "user rules", true));
  ASSERT_TRUE(install());
  EXPECT_EQ(file("/var/mobile/Library/Preferences/Radazira/ports.txt"), "22 ssh\n");
  // The image was not built: skipped quietly.
  EXPECT_FALSE(exists("/var/mobile/Library/Preferences/Radazira/blueThemebutton_silver.png"));
  ASSERT_TRUE(
      FileSystem::real().writeFileAtomic(build_.dir() + "/share/kestrix/ports.txt", "443 https\n", true));
  ASSERT_TRUE(install());
  EXPECT_EQ(file("/var/mobile/Library/Preferences/Radazira/ports.txt"), "443 https\n");
  EXPECT_EQ(file(rules), "user rules");
}

TEST_F(InstallTest, LaysOutTheLibrariesUnderTheirDeviceNames) {
  build("libsubstrate.so", "substrate v1");
  build("libKestrixHook9.so", "hook9 v1");
  build("libKestrixLoader.so", "loader v1");
  build("libunrelated.so", "x");
  ASSERT_TRUE(install());
  EXPECT_EQ(file("/usr/lib/libsubstrate.so"), "substrate v1");
  EXPECT_EQ(file("/usr/lib/KestrixHook9.dylib"), "hook9 v1");
  EXPECT_FALSE(exists("/usr/lib/KestrixHook7.dylib"));  // not built yet: skipped quietly
  EXPECT_EQ(file(kLoaderPath), "loader v1");
  EXPECT_EQ(installed_.size(), 4u);  // three libraries and the loader's filter

  // The loader's filter takes every application and nothing else.
  const auto filter = plist::readDictionaryFile(FileSystem::real(), root_.path(kLoaderFilterPath));
  ASSERT_TRUE(filter);
  auto bundle = [](const char* id) {
    return MainBundle::fromEnvironment(
        [id](const char* name) { return std::string_view(name) == kBundleIdentifierVariable ? id : nullptr; },
        "SomeApp");
  };
  EXPECT_TRUE(substrate::filterMatches(*filter, bundle("com.example.any")));
  EXPECT_FALSE(substrate::filterMatches(*filter, bundle(nullptr)));

  struct stat st;
  ASSERT_EQ(::stat(root_.path(kServicesFolder).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_TRUE(std::filesystem::is_directory(root_.path(kPreferencesFolder)));
}

TEST_F(InstallTest, RunAgainReplacesLibrariesAndLeavesTheUsersFilesAlone) {
  build("libsubstrate.so", "substrate v1");
  build("libKestrixLoader.so", "loader v1");
  ASSERT_TRUE(install());

  // The user's rules and log, another tweak, a loose services folder mode.
  const std::string rules = root_.path("/var/mobile/Library/Preferences/com.Dovrane.FirewallRules2.plist");
  const std::string logFile = root_.path("/var/mobile/Library/Logs/kst.log");
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(rules, "rules", true));
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(logFile, "log", true));
  ASSERT_EQ(::chmod(root_.path("/var/mobile/Library/Preferences").c_str(), 0750), 0);
  const auto rulesTime = std::filesystem::last_write_time(rules);
  const std::string otherTweak = root_.path(substrate::kDynamicLibrariesPath) + "/Other.dylib";
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(otherTweak, "other", false));
  ASSERT_EQ(::chmod(root_.path(kServicesFolder).c_str(), 0755), 0);

  // A running process keeps the library it mapped.
  std::ifstream running(root_.path("/usr/lib/libsubstrate.so"));
  build("libsubstrate.so", "substrate v2");
  build("libKestrixHook7.so", "hook7 v2");
  ASSERT_TRUE(install());
  EXPECT_EQ(file("/usr/lib/libsubstrate.so"), "substrate v2");
  EXPECT_EQ(file("/usr/lib/KestrixHook7.dylib"), "hook7 v2");
  std::string old;
  std::getline(running, old);
  EXPECT_EQ(old, "substrate v1");

  EXPECT_EQ(readText(rules), "rules");
  EXPECT_EQ(readText(logFile), "log");
  EXPECT_EQ(std::filesystem::last_write_time(rules), rulesTime);
  struct stat st;
  ASSERT_EQ(::stat(root_.path("/var/mobile/Library/Preferences").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(readText(otherTweak), "other");
  ASSERT_EQ(::stat(root_.path(kServicesFolder).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // No temporary files left behind.
  for (const auto& entry : std::filesystem::directory_iterator(root_.path("/usr/lib"))) {
    EXPECT_EQ(entry.path().extension(), entry.path().filename() == "libsubstrate.so" ? ".so" : ".dylib")
        << entry.path();
  }
}

TEST_F(InstallTest, WithoutTheSubstrateNothingIsLaidOut) {
  build("libKestrixHook9.so", "hook9");
  std::string error;
  EXPECT_FALSE(install(&error));
  EXPECT_NE(error.find("libsubstrate.so"), std::string::npos) << error;
  EXPECT_FALSE(exists("/usr/lib/KestrixHook9.dylib"));
}

TEST_F(InstallTest, ARootThatCannotBeWrittenIsRefusedBeforeAnythingIsLaidOut) {
  build("libsubstrate.so", "substrate");
  // Under a plain file no folder can be made, whoever runs the test.
  const std::string blocker = root_.dir() + "/not-a-folder";
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(blocker, "x", false));
  std::vector<std::string> installed;
  std::string error;
  EXPECT_FALSE(installDevice(build_.dir() + "/lib", DeviceRoot(blocker + "/device"), &installed, &error));
  EXPECT_NE(error.find("cannot be written"), std::string::npos) << error;
  EXPECT_TRUE(installed.empty());

  // And the tool says so with a non-zero status.
  kst::testing::Spawned tool({KST_INSTALL, "--root", blocker + "/device"}, {}, root_.dir() + "/stderr.txt");
  EXPECT_EQ(tool.wait(), 1);
  EXPECT_NE(readText(root_.dir() + "/stderr.txt").find("cannot be written"), std::string::npos);
}

TEST(InstallToolTest, InstallsFromItsOwnBuild) {
  TempRoot root;
  kst::testing::Spawned tool({KST_INSTALL, "--root", root.dir()}, {}, root.dir() + "/stderr.txt");
  ASSERT_EQ(tool.wait(), 0) << readText(root.dir() + "/stderr.txt");
  EXPECT_EQ(readText(root.path("/usr/lib/libsubstrate.so")), readText(KST_SUBSTRATE_LIBRARY));
  kst::testing::Spawned again({KST_INSTALL, "--root", root.dir()}, {}, root.dir() + "/stderr.txt");
  EXPECT_EQ(again.wait(), 0) << readText(root.dir() + "/stderr.txt");
  kst::testing::Spawned bad({KST_INSTALL, "--bogus"}, {}, root.dir() + "/stderr.txt");
  EXPECT_EQ(bad.wait(), 2);
}

}  // namespace
}  // namespace kst::install
