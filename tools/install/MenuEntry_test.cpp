#include "tools/install/MenuEntry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/bundle/DesktopFile.h"
#include "platform/substrate/testing/ProcessRunner.h"
#include "platform/testing/TempRoot.h"

namespace kst::install {
namespace {

using kst::testing::readText;

// The user's and the system's applications folders, in a temporary place.
class MenuEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_DATA_HOME", "XDG_DATA_DIRS"}) {
      if (const char* v = std::getenv(name)) saved_.emplace_back(name, v);
    }
    ::setenv("XDG_DATA_HOME", (tmp_.dir() + "/home").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (tmp_.dir() + "/system").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_DATA_DIRS");
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  }
  std::string write(const std::string& rel, const std::string& text) {
    const std::filesystem::path p = tmp_.dir() + "/" + rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text;
    return p.string();
  }
  std::string user(const std::string& id) const { return tmp_.dir() + "/home/applications/" + id; }

  kst::testing::TempRoot tmp_;
  std::vector<std::pair<std::string, std::string>> saved_;
};

constexpr const char* kWeb =
    "[Desktop Entry]\nType=Application\nName=Web\nExec=/usr/bin/web --new %U\nDBusActivatable=true\n"
    "Actions=private;\n\n[Desktop Action private]\nName=Private\nExec=/usr/bin/web --private\n";

TEST_F(MenuEntryTest, EveryExecGoesThroughTheLauncherAndRemovalRestores) {
  const std::string original = write("system/applications/org.web.desktop", kWeb);
  std::string written, error;
  ASSERT_TRUE(addMenuEntry("org.web.desktop", "/opt/k/bin/kestrix-launch", std::nullopt, &written, &error))
      << error;
  EXPECT_EQ(written, user("org.web.desktop"));
  const std::optional<DesktopFile> entry = DesktopFile::read(written);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->string("Name"), "Web");
  EXPECT_EQ(entry->string(kKestrixOriginalKey), original);
  EXPECT_EQ(entry->raw("DBusActivatable"), "false");  // D-Bus activation would bypass Exec

  const std::optional<std::vector<std::string>> argv =
      expandExec(*entry, *entry->string("Exec"), {"https://site.test/"}, &error);
  ASSERT_TRUE(argv) << error;
  EXPECT_EQ(*argv, (std::vector<std::string>{"/opt/k/bin/kestrix-launch", "org.web.desktop", "--",
                                             "/usr/bin/web", "--new", "https://site.test/"}));
  const std::string text = readText(written);
  EXPECT_NE(text.find("Exec=\"/opt/k/bin/kestrix-launch\" \"org.web.desktop\" -- /usr/bin/web --private"),
            std::string::npos)
      << text;

  // The launcher, looking the id up, is led to the original: no loop.
  const std::optional<DesktopFile> found = findDesktopApplication("org.web.desktop", &error);
  ASSERT_TRUE(found) << error;
  EXPECT_EQ(found->path(), original);

  // Adding again replaces ours; removing restores the menu as it was.
  ASSERT_TRUE(addMenuEntry("org.web.desktop", "/k", std::string("/my root"), &written, &error)) << error;
  EXPECT_NE(readText(written).find("--root \"/my root\""), std::string::npos);
  ASSERT_TRUE(removeMenuEntry("org.web.desktop", &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(user("org.web.desktop")));
  EXPECT_FALSE(removeMenuEntry("org.web.desktop", &error));
  EXPECT_NE(error.find("no Kestrix menu entry"), std::string::npos);
}

TEST_F(MenuEntryTest, AUsersOwnFileIsKeptAndPutBack) {
  write("system/applications/org.web.desktop", kWeb);
  const std::string mine = "[Desktop Entry]\nName=My Web\nExec=/usr/bin/web --profile me\n";
  write("home/applications/org.web.desktop", mine);
  std::string written, error;
  ASSERT_TRUE(addMenuEntry("org.web.desktop", "/k", std::nullopt, &written, &error)) << error;
  EXPECT_NE(readText(written).find("-- /usr/bin/web --profile me"), std::string::npos);
  const std::optional<DesktopFile> found = findDesktopApplication("org.web.desktop", &error);
  ASSERT_TRUE(found) << error;
  EXPECT_EQ(found->string("Name"), "My Web");  // the user's own, through the saved copy
  ASSERT_TRUE(removeMenuEntry("org.web.desktop", &error)) << error;
  EXPECT_EQ(readText(user("org.web.desktop")), mine);
}

TEST_F(MenuEntryTest, WhatCannotBeWrappedIsSaidAndNothingIsWritten) {
  std::string written, error;
  EXPECT_FALSE(addMenuEntry("org.none.desktop", "/k", std::nullopt, &written, &error));
  EXPECT_NE(error.find("org.none.desktop"), std::string::npos) << error;
  write("system/applications/noexec.desktop", "[Desktop Entry]\nName=No Exec\n");
  EXPECT_FALSE(addMenuEntry("noexec.desktop", "/k", std::nullopt, &written, &error));
  EXPECT_NE(error.find("no Exec"), std::string::npos) << error;
  EXPECT_FALSE(addMenuEntry("../../etc/x.desktop", "/k", std::nullopt, &written, &error));
  EXPECT_FALSE(std::filesystem::exists(tmp_.dir() + "/home/applications/noexec.desktop"));
}

}  // namespace
}  // namespace kst::install
