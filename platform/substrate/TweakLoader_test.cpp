#include "platform/substrate/TweakLoader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst::substrate {
namespace {

using testing::TempRoot;

MainBundle bundle(const char* id, std::string processName = "Client") {
  return MainBundle::fromEnvironment(
      [id](const char* name) -> const char* {
        return std::string_view(name) == kBundleIdentifierVariable ? id : nullptr;
      },
      std::move(processName));
}

plist::Dictionary filter(plist::Array bundles, plist::Array executables = {}) {
  plist::Dictionary f;
  if (!bundles.empty()) f.set(kFilterBundlesKey, std::move(bundles));
  if (!executables.empty()) f.set(kFilterExecutablesKey, std::move(executables));
  return plist::Dictionary{{kFilterKey, std::move(f)}};
}

TEST(TweakFilterTest, MatchesByBundleOrExecutable) {
  EXPECT_TRUE(filterMatches(filter({"com.example.a", "com.example.b"}), bundle("com.example.b")));
  EXPECT_FALSE(filterMatches(filter({"com.example.a"}), bundle("com.example.ab")));
  EXPECT_FALSE(filterMatches(filter({"com.example.a"}), bundle("COM.EXAMPLE.A")));
  EXPECT_TRUE(filterMatches(filter({}, {"Client"}), bundle(nullptr)));
  EXPECT_TRUE(filterMatches(filter({"com.example.a"}, {"Client"}), bundle("com.example.z")));
  EXPECT_FALSE(filterMatches(filter({}, {"Client"}), bundle(nullptr, "Other")));
}

TEST(TweakFilterTest, StarMeansEveryBundleOrEveryProcess) {
  EXPECT_TRUE(filterMatches(filter({"*"}), bundle("com.example.any")));
  // Every process with a bundle identifier, not the others.
  EXPECT_FALSE(filterMatches(filter({"*"}), bundle(nullptr)));
  EXPECT_TRUE(filterMatches(filter({}, {"*"}), bundle(nullptr)));
  EXPECT_TRUE(filterMatches(filter({}, {"*"}), bundle(nullptr, "")));
}

TEST(TweakFilterTest, FiltersThatNameNothingMatchNothing) {
  EXPECT_FALSE(filterMatches(plist::Dictionary{}, bundle("com.example.a")));
  EXPECT_FALSE(filterMatches(plist::Dictionary{{kFilterKey, "com.example.a"}}, bundle("com.example.a")));
  EXPECT_FALSE(filterMatches(filter({}), bundle("com.example.a")));
  plist::Dictionary wrongTypes{
      {kFilterKey, plist::Dictionary{{kFilterBundlesKey, "com.example.a"}, {kFilterExecutablesKey, 5}}}};
  EXPECT_FALSE(filterMatches(wrongTypes, bundle("com.example.a")));
  EXPECT_TRUE(filterMatches(filter({5, true, "com.example.a"}), bundle("com.example.a")));
  // An empty process name is no name.
  EXPECT_FALSE(filterMatches(filter({}, {""}), bundle(nullptr, "")));
}

class TweakFolderTest : public ::testing::Test {
 protected:
  std::string folder() const { return temp_.path(kDynamicLibrariesPath); }
  void library(const std::string& name) {
    ASSERT_TRUE(FileSystem::real().writeFileAtomic(folder() + "/" + name, "ELF", true));
  }
  void filterFile(const std::string& name, const plist::Dictionary& dict) {
    ASSERT_TRUE(plist::writeDictionaryFile(FileSystem::real(), folder() + "/" + name, dict, true));
  }

  TempRoot temp_;
};

TEST_F(TweakFolderTest, ChoosesMatchingLibrariesInNameOrder) {
  library("Zed.dylib");
  filterFile("Zed.plist", filter({"com.example.app"}));
  library("Alpha.dylib");
  filterFile("Alpha.plist", filter({"*"}));
  library("NoFilter.dylib");
  library("BadFilter.dylib");
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(folder() + "/BadFilter.plist", "garbage", false));
  library("Other.dylib");
  filterFile("Other.plist", filter({"com.example.other"}));
  library("notes.txt");
  filterFile("notes.plist", filter({"*"}));
  filterFile("Orphan.plist", filter({"*"}));
  std::filesystem::create_directories(folder() + "/Folder.dylib");
  filterFile("Folder.plist", filter({"*"}));
  std::filesystem::create_symlink(folder() + "/Alpha.dylib", folder() + "/Linked.dylib");
  filterFile("Linked.plist", filter({}, {"Client"}));

  const std::vector<std::string> chosen = tweaksToLoad(temp_.root(), bundle("com.example.app"));
  EXPECT_EQ(chosen, (std::vector<std::string>{folder() + "/Alpha.dylib", folder() + "/Linked.dylib",
                                              folder() + "/Zed.dylib"}));
  EXPECT_EQ(tweaksToLoad(temp_.root(), bundle(nullptr, "Other")), std::vector<std::string>{});
}

TEST_F(TweakFolderTest, NoFolderNoLibraries) {
  EXPECT_TRUE(tweaksToLoad(temp_.root(), bundle("com.example.app")).empty());
}

TEST_F(TweakFolderTest, LibraryThatFailsToLoadIsSkipped) {
  library("Broken.dylib");  // not an ELF object
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(loadTweaks({folder() + "/Broken.dylib", folder() + "/Missing.dylib"}), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Broken.dylib"), std::string::npos) << err;
  EXPECT_NE(err.find("Missing.dylib"), std::string::npos) << err;
}

}  // namespace
}  // namespace kst::substrate
