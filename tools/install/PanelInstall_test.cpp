#include "tools/install/PanelInstall.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst::install {
namespace {

using kst::testing::TempRoot;

void put(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

TEST(PanelInstallTest, LaysOutTheBundleTheListsAndTheDesktopEntry) {
  TempRoot share, root;
  const std::string dir = share.dir() + "/panel";
  put(dir + "/images/kestrix-panel.png", "png");
  put(dir + "/Documentation/firewall.html", "<html>doc</html>");
  put(dir + "/Lists/Ads.txt", "ads.example.com");
  put(dir + "/desktop/KestrixPanel.desktop", "[Desktop Entry]\nExec=KestrixPanel\nIcon=kestrix-panel\n");
  // A list of the user's own survives a new install.
  put(root.path("/Applications/KestrixPanel.app/Lists/Mine.txt"), "mine.example");
  std::vector<std::string> installed;
  std::string error;
  ASSERT_TRUE(installPanel(dir, "/opt/build/bin/KestrixPanel", root.root(), &installed, &error)) << error;
  const auto info =
      plist::readDictionaryFile(FileSystem::real(), root.path("/Applications/KestrixPanel.app/Info.plist"));
  ASSERT_TRUE(info);
  EXPECT_EQ(*info->string("CFBundleIdentifier"), kPanelBundleIdentifier);
  EXPECT_EQ(FileSystem::real().readFile(root.path("/Applications/KestrixPanel.app/Lists/Ads.txt")),
            "ads.example.com");
  EXPECT_TRUE(std::filesystem::exists(root.path("/Applications/KestrixPanel.app/Lists/Mine.txt")));
  EXPECT_EQ(
      FileSystem::real().readFile(root.path("/Applications/KestrixPanel.app/Documentation/firewall.html")),
      "<html>doc</html>");
  const auto entry = FileSystem::real().readFile(root.path(kPanelDesktopEntryPath));
  ASSERT_TRUE(entry);
  EXPECT_NE(entry->find("Exec=\"/opt/build/bin/KestrixPanel\" --root \"" + root.dir() + "\""),
            std::string::npos);
  EXPECT_NE(entry->find("Icon=" + root.path(kPanelIconPath)), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(root.path(kPanelIconPath)));
  EXPECT_TRUE(std::filesystem::is_directory(root.path(kPanelExportFolder)));
}

TEST(PanelInstallTest, ABuildWithoutThePanelInstallsNoneAndSucceeds) {
  TempRoot share, root;
  std::vector<std::string> installed;
  std::string error;
  EXPECT_TRUE(installPanel(share.dir() + "/missing", "x", root.root(), &installed, &error));
  EXPECT_TRUE(installed.empty());
  EXPECT_FALSE(std::filesystem::exists(root.path(kPanelBundlePath)));
}

}  // namespace
}  // namespace kst::install
