#include "platform/bundle/DesktopFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

using Args = std::vector<std::string>;

DesktopFile entry(std::string_view text) {
  std::optional<DesktopFile> file = DesktopFile::parse(text);
  EXPECT_TRUE(file);
  return file.value_or(*DesktopFile::parse("[Desktop Entry]\n"));
}

std::optional<Args> expand(std::string_view exec, const Args& arguments = {}, std::string* error = nullptr) {
  std::string ignored;
  const DesktopFile e = entry("[Desktop Entry]\nName=Web\nIcon=web-browser\n");
  return expandExec(e, exec, arguments, error != nullptr ? error : &ignored);
}

TEST(DesktopFileTest, ReadsOnlyTheDesktopEntryGroup) {
  const DesktopFile e = entry(
      "# comment\n[Desktop Entry]\r\nName = Web Browser\nName[de]=Netz\nExec=web %u\n"
      "NoDisplay=true\nComment=a\\sb\\\\c\nName=second\n[Desktop Action new]\nExec=web --new\n");
  EXPECT_EQ(e.string("Name"), "Web Browser");  // the first one wins, blanks trimmed
  EXPECT_EQ(e.string("Name[de]"), "Netz");
  EXPECT_EQ(e.raw("Exec"), "web %u");  // not the action's
  EXPECT_EQ(e.string("Comment"), "a b\\c");
  EXPECT_TRUE(e.boolean("NoDisplay"));
  EXPECT_FALSE(e.boolean("Terminal"));
  EXPECT_FALSE(DesktopFile::parse("Name=x\nExec=y\n"));
  EXPECT_FALSE(DesktopFile::parse(std::string("\0\xff\x01garbage", 10)));
}

TEST(DesktopFileTest, ExecQuotingAndFieldCodes) {
  EXPECT_EQ(expand("web"), (Args{"web"}));
  EXPECT_EQ(expand("web %U"), (Args{"web"}));  // no files: the code vanishes
  EXPECT_EQ(expand("web %U", {"a", "b"}), (Args{"web", "a", "b"}));
  EXPECT_EQ(expand("web %f --x", {"a", "b"}), (Args{"web", "a", "--x"}));
  EXPECT_EQ(expand("web --url=%u", {"a"}), (Args{"web", "--url=a"}));
  EXPECT_EQ(expand("web %i %c 100%%"), (Args{"web", "--icon", "web-browser", "Web", "100%"}));
  EXPECT_EQ(expand("web %d %N"), (Args{"web"}));
  EXPECT_EQ(expand(R"("/opt/my app/web" "say \"hi\"" "a\$b" x\y)"),
            (Args{"/opt/my app/web", "say \"hi\"", "a$b", "x\\y"}));

  std::string error;
  EXPECT_FALSE(expand("web \"open", {}, &error));
  EXPECT_NE(error.find("quote"), std::string::npos);
  EXPECT_FALSE(expand("web %z", {}, &error));
  EXPECT_NE(error.find("%z"), std::string::npos);
  EXPECT_FALSE(expand("web %", {}, &error));
  EXPECT_FALSE(expand("   ", {}, &error));
  EXPECT_FALSE(expand("%U", {}, &error));  // only a field code: no program
}

TEST(DesktopFileTest, QuotedArgumentsRoundTrip) {
  for (const std::string arg : {"plain", "with space", "q\"uote", "back\\slash", "$HOME", "`x`", "50%"}) {
    const std::string line =
        "[Desktop Entry]\nExec=" + quoteExecArgument(arg) + " " + quoteExecArgument(arg) + "\n";
    const DesktopFile e = entry(line);
    std::string error;
    const auto argv = expandExec(e, *e.string("Exec"), {}, &error);
    ASSERT_TRUE(argv) << arg << ": " << error;
    EXPECT_EQ(*argv, (Args{arg, arg})) << line;
  }
}

class DesktopLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = std::getenv("XDG_DATA_HOME");
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    if (home != nullptr) savedHome_ = home;
    if (dirs != nullptr) savedDirs_ = dirs;
    ::setenv("XDG_DATA_HOME", (tmp_.dir() + "/home").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (tmp_.dir() + "/local:" + tmp_.dir() + "/system").c_str(), 1);
  }
  void TearDown() override {
    if (savedHome_)
      ::setenv("XDG_DATA_HOME", savedHome_->c_str(), 1);
    else
      ::unsetenv("XDG_DATA_HOME");
    if (savedDirs_)
      ::setenv("XDG_DATA_DIRS", savedDirs_->c_str(), 1);
    else
      ::unsetenv("XDG_DATA_DIRS");
  }
  std::string write(const std::string& rel, const std::string& text) {
    const std::filesystem::path p = tmp_.dir() + "/" + rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text;
    return p.string();
  }

  kst::testing::TempRoot tmp_;
  std::optional<std::string> savedHome_, savedDirs_;
};

TEST_F(DesktopLookupTest, FirstFolderWinsAndDashesMayBeFolders) {
  write("system/applications/org.web.desktop", "[Desktop Entry]\nName=System\nExec=web\n");
  write("local/applications/org.web.desktop", "[Desktop Entry]\nName=Local\nExec=web\n");
  write("system/applications/kde/edit.desktop", "[Desktop Entry]\nName=Edit\nExec=edit\n");
  std::string error;
  auto found = findDesktopApplication("org.web.desktop", &error);
  ASSERT_TRUE(found) << error;
  EXPECT_EQ(found->string("Name"), "Local");
  found = findDesktopApplication("kde-edit.desktop", &error);
  ASSERT_TRUE(found) << error;
  EXPECT_EQ(found->string("Name"), "Edit");

  EXPECT_FALSE(findDesktopApplication("missing.desktop", &error));
  EXPECT_NE(error.find("missing.desktop"), std::string::npos);
  EXPECT_FALSE(findDesktopApplication("../etc/passwd", &error));
  EXPECT_FALSE(findDesktopApplication("org.web", &error));
}

TEST_F(DesktopLookupTest, OurMenuEntryLeadsToTheFileItWasMadeFrom) {
  const std::string original =
      write("system/applications/org.web.desktop", "[Desktop Entry]\nName=Web\nExec=web\n");
  write("home/applications/org.web.desktop",
        "[Desktop Entry]\nName=Web\nExec=kestrix-launch org.web.desktop -- web\nX-Kestrix-Original=" +
            original + "\n");
  std::string error;
  const auto found = findDesktopApplication("org.web.desktop", &error);
  ASSERT_TRUE(found) << error;
  EXPECT_EQ(found->path(), original);
  EXPECT_EQ(found->string("Exec"), "web");

  // A hidden entry is one its user deleted.
  write("home/applications/gone.desktop", "[Desktop Entry]\nHidden=true\n");
  write("system/applications/gone.desktop", "[Desktop Entry]\nExec=gone\n");
  EXPECT_FALSE(findDesktopApplication("gone.desktop", &error));
  EXPECT_NE(error.find("hidden"), std::string::npos);
}

}  // namespace
}  // namespace kst
