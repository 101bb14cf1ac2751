#include "tools/launch/Launcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle/MainBundle.h"
#include "platform/plist/PlistFile.h"
#include "platform/substrate/testing/ProcessRunner.h"
#include "platform/testing/TempRoot.h"

namespace kst::launch {
namespace {

using kst::testing::TempRoot;

std::optional<Options> parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return parseArguments(args, error != nullptr ? error : &ignored);
}

TEST(LaunchArgumentsTest, BundleOptionsAndProgram) {
  auto options =
      parse({"com.example.app", "--display-name", "My App", "--root=/r", "--", "prog", "--root", "x"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->bundleIdentifier, "com.example.app");
  EXPECT_EQ(options->displayName, "My App");
  EXPECT_EQ(options->root, "/r");
  EXPECT_EQ(options->program, (std::vector<std::string>{"prog", "--root", "x"}));  // the program's own

  options = parse({"--root", "/r", "com.example.app"});
  ASSERT_TRUE(options);
  EXPECT_TRUE(options->program.empty());
  EXPECT_FALSE(options->displayName);
  EXPECT_TRUE(parse({"--help"})->help);
}

TEST(LaunchArgumentsTest, BadCommandLinesAreRefusedWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--display-name", "x"},
      {"com.example.app", "--display-name"},
      {"com.example.app", "--bogus"},
      {"com.example.app", "extra"},
      {"com.example.app", "--"},
      {"com.example.app", "--", ""},
      {"com.example.app", "--root="},
      {"com.example.app", "--rooted", "x"},
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(parse(args, &error)) << ::testing::PrintToString(args);
    EXPECT_FALSE(error.empty()) << ::testing::PrintToString(args);
  }
}

TEST(LaunchArgumentsTest, TheShellAndTheApplicationsLeftAloneRunWithoutTheFilter) {
  EXPECT_TRUE(supervised("com.example.app"));
  EXPECT_TRUE(supervised("org.example.Web.desktop"));
  EXPECT_FALSE(supervised("com.apple.springboard"));
  EXPECT_FALSE(supervised("COM.Apple.BackupD"));
  EXPECT_TRUE(supervised("com.apple.backupd.other"));
  EXPECT_TRUE(parse({"com.example.app", "--libc-only"})->libcOnly);
  EXPECT_FALSE(parse({"com.example.app"})->libcOnly);
}

TEST(PreloadListTest, SubstrateFirstOthersKept) {
  EXPECT_EQ(preloadList("/b/libsubstrate.so", nullptr), "/b/libsubstrate.so");
  EXPECT_EQ(preloadList("/b/libsubstrate.so", ""), "/b/libsubstrate.so");
  EXPECT_EQ(preloadList("/b/libsubstrate.so", "libfoo.so:/x/libbar.so"),
            "/b/libsubstrate.so libfoo.so /x/libbar.so");
  // An outer application's copy (or this one again) is not loaded twice.
  EXPECT_EQ(preloadList("/b/libsubstrate.so", "/old/lib/libsubstrate.so  libfoo.so /b/libsubstrate.so"),
            "/b/libsubstrate.so libfoo.so");
}

class LaunchPlanTest : public ::testing::Test {
 protected:
  void app(const std::string& folder, const plist::Dictionary& info) {
    const std::string dir = temp_.path("/Applications/" + folder);
    std::filesystem::create_directories(dir);
    if (!info.empty()) {
      ASSERT_TRUE(plist::writeDictionaryFile(FileSystem::real(), dir + "/Info.plist", info, false));
    }
  }
  Options options(std::vector<std::string> program = {}) {
    Options o;
    o.bundleIdentifier = "com.example.app";
    o.root = temp_.dir();
    o.program = std::move(program);
    return o;
  }
  static std::optional<std::string> envOf(const Plan& plan, const std::string& name) {
    for (const auto& [n, v] : plan.environment) {
      if (n == name) return v;
    }
    return "(not in the plan)";
  }

  TempRoot temp_;
};

TEST_F(LaunchPlanTest, FindsTheApplicationByItsInfoPlist) {
  app("Broken.app", {});
  app("Other.app", {{kCFBundleIdentifierKey, "com.example.other"}, {kCFBundleExecutableKey, "Other"}});
  app("Mine.app", {{kCFBundleIdentifierKey, "com.example.app"},
                   {kCFBundleDisplayNameKey, "Mine"},
                   {kCFBundleExecutableKey, "MineBin"}});
  const auto found = findApplication(temp_.root(), "com.example.app");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->folder, temp_.path("/Applications/Mine.app"));
  EXPECT_EQ(found->displayName, "Mine");
  EXPECT_EQ(found->executable, "MineBin");
  EXPECT_FALSE(findApplication(temp_.root(), "com.example.none"));
  EXPECT_FALSE(findApplication(TempRoot().root(), "com.example.app"));  // no Applications folder

  std::string error;
  const auto plan = planLaunch(options(), KST_LAUNCH, &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(plan->file, temp_.path("/Applications/Mine.app/MineBin"));
  EXPECT_EQ(envOf(*plan, kExecutableVariable), "MineBin");
  EXPECT_EQ(envOf(*plan, kDisplayNameVariable), "Mine");
  EXPECT_EQ(envOf(*plan, kBundleIdentifierVariable), "com.example.app");
  EXPECT_EQ(envOf(*plan, "KESTRIX_ROOT"), temp_.dir());
  // The build's own substrate, beside the launcher.
  EXPECT_EQ(envOf(*plan, "LD_PRELOAD")->substr(0, envOf(*plan, "LD_PRELOAD")->find(' ')),
            std::filesystem::canonical(KST_SUBSTRATE_LIBRARY).string());
}

TEST_F(LaunchPlanTest, ApplicationThatCannotBeRunIsRefused) {
  std::string error;
  EXPECT_FALSE(planLaunch(options(), KST_LAUNCH, &error));
  EXPECT_NE(error.find("com.example.app"), std::string::npos) << error;
  for (const char* exe : {"", "..", "../../bin/sh"}) {
    app("Mine.app", {{kCFBundleIdentifierKey, "com.example.app"}, {kCFBundleExecutableKey, exe}});
    error.clear();
    EXPECT_FALSE(planLaunch(options(), KST_LAUNCH, &error)) << exe;
    EXPECT_NE(error.find("CFBundleExecutable"), std::string::npos) << error;
  }
}

TEST_F(LaunchPlanTest, ProgramGivenKeepsTheDisplayNameOfTheCatalogueUnlessTold) {
  app("Mine.app", {{kCFBundleIdentifierKey, "com.example.app"}, {kCFBundleDisplayNameKey, "Mine"}});
  std::string error;
  auto plan = planLaunch(options({"/usr/bin/env", "-i"}), KST_LAUNCH, &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(plan->file, "/usr/bin/env");
  EXPECT_EQ(plan->argv, (std::vector<std::string>{"/usr/bin/env", "-i"}));
  EXPECT_EQ(envOf(*plan, kExecutableVariable), "env");
  EXPECT_EQ(envOf(*plan, kDisplayNameVariable), "Mine");

  Options told = options({"env"});
  told.displayName = "Told";
  told.bundleIdentifier = "com.example.unknown";
  plan = planLaunch(told, KST_LAUNCH, &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(envOf(*plan, kDisplayNameVariable), "Told");
  told.displayName.reset();
  plan = planLaunch(told, KST_LAUNCH, &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(envOf(*plan, kDisplayNameVariable), std::nullopt);  // cleared, not inherited
}

TEST_F(LaunchPlanTest, SubstrateFromTheDeviceRootOrNowhere) {
  TempRoot elsewhere;  // a launcher with no build around it
  const std::string launcher = elsewhere.dir() + "/bin/kestrix-launch";
  std::string error;
  EXPECT_FALSE(planLaunch(options({"true"}), launcher, &error));
  EXPECT_NE(error.find("libsubstrate.so"), std::string::npos) << error;

  ASSERT_TRUE(FileSystem::real().writeFileAtomic(temp_.path(kSubstrateDevicePath), "ELF", true));
  const auto plan = planLaunch(options({"true"}), launcher, &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(envOf(*plan, "LD_PRELOAD")->substr(0, envOf(*plan, "LD_PRELOAD")->find(' ')),
            temp_.path(kSubstrateDevicePath));
}

// ---- The tool itself.

class LaunchToolTest : public ::testing::Test {
 protected:
  int run(std::vector<std::string> args) {
    args.insert(args.begin(), KST_LAUNCH);
    std::map<std::string, std::optional<std::string>> env = {{"KST_TEST_LOG", log()},
                                                             {"KESTRIX_DISPLAY_NAME", "Outer"},
                                                             {"XDG_DATA_HOME", temp_.dir() + "/home"},
                                                             {"XDG_DATA_DIRS", temp_.dir() + "/system"}};
    kst::testing::allowSanitizedPreload(env);
    kst::testing::Spawned child(args, env, temp_.dir() + "/stderr.txt");
    return child.wait();
  }
  std::string log() const { return temp_.dir() + "/log.txt"; }
  std::string stderrText() const { return kst::testing::readText(temp_.dir() + "/stderr.txt"); }

  TempRoot temp_;
};

TEST_F(LaunchToolTest, CannotStartMeans127AndAReason) {
  EXPECT_EQ(run({"com.example.app", "--root", temp_.dir(), "--", temp_.dir() + "/missing"}), kCannotStart);
  EXPECT_NE(stderrText().find("missing"), std::string::npos) << stderrText();

  const std::string notExecutable = temp_.dir() + "/plain.txt";
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(notExecutable, "text", false));
  EXPECT_EQ(run({"com.example.app", "--root", temp_.dir(), "--", notExecutable}), kCannotStart);
  EXPECT_NE(stderrText().find("plain.txt"), std::string::npos) << stderrText();

  EXPECT_EQ(run({"com.example.app", "--root", temp_.dir()}), kCannotStart);
  EXPECT_NE(stderrText().find("no application"), std::string::npos) << stderrText();

  EXPECT_EQ(run({"--bogus"}), kCannotStart);
  EXPECT_NE(stderrText().find("usage"), std::string::npos) << stderrText();
}

TEST_F(LaunchToolTest, ExitsWithTheProgramsStatus) {
  EXPECT_EQ(run({"com.example.app", "--root", temp_.dir(), "--", KST_TEST_CLIENT, "exit", "3"}), 3)
      << stderrText();
  EXPECT_EQ(run({"com.example.app", "--root", temp_.dir(), "--", "sh", "-c", "kill -TERM $$"}),
            1000 + SIGTERM);
}

TEST_F(LaunchToolTest, RunsTheApplicationsOwnExecutableWithItsIdentity) {
  const std::string dir = temp_.path("/Applications/Client.app");
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(KST_TEST_CLIENT, dir + "/Client");
  ASSERT_TRUE(plist::writeDictionaryFile(FileSystem::real(), dir + "/Info.plist",
                                         {{kCFBundleIdentifierKey, "com.example.client"},
                                          {kCFBundleDisplayNameKey, "Client"},
                                          {kCFBundleExecutableKey, "Client"}},
                                         false));
  ASSERT_EQ(run({"com.example.client", "--root", temp_.dir()}), 0) << stderrText();
  const auto lines = kst::testing::readLines(log());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(kst::testing::field(lines[0], "bundle"), "com.example.client");
  EXPECT_EQ(kst::testing::field(lines[0], "display"), "Client");
  EXPECT_EQ(kst::testing::field(lines[0], "executable"), "Client");
  EXPECT_EQ(kst::testing::field(lines[0], "root"), temp_.dir());

  // Without a display name anywhere, the outer one is not inherited.
  std::filesystem::remove(log());
  ASSERT_EQ(run({"com.example.none", "--root", temp_.dir(), "--", KST_TEST_CLIENT}), 0) << stderrText();
  EXPECT_EQ(kst::testing::field(kst::testing::readLines(log()).at(0), "display"), "(none)");
}

TEST_F(LaunchToolTest, RunsADesktopApplicationByItsFileId) {
  const auto desktopFile = [&](const std::string& id, const std::string& body) {
    std::filesystem::create_directories(temp_.dir() + "/system/applications");
    std::ofstream(temp_.dir() + "/system/applications/" + id) << "[Desktop Entry]\nType=Application\n"
                                                              << body;
  };
  desktopFile("org.example.Web.desktop", std::string("Name=Browser\nExec=\"") + KST_TEST_CLIENT + "\" %U\n");
  EXPECT_EQ(run({"org.example.Web.desktop", "--root", temp_.dir()}), 0) << stderrText();
  const auto lines = kst::testing::readLines(log());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(kst::testing::field(lines[0], "bundle"), "org.example.Web.desktop");
  EXPECT_EQ(kst::testing::field(lines[0], "display"), "Browser");

  // What cannot be run is said, with status 127.
  EXPECT_EQ(run({"org.example.Missing.desktop", "--root", temp_.dir()}), kCannotStart);
  EXPECT_NE(stderrText().find("org.example.Missing.desktop"), std::string::npos) << stderrText();
  desktopFile("noexec.desktop", "Name=No Exec\n");
  EXPECT_EQ(run({"noexec.desktop", "--root", temp_.dir()}), kCannotStart);
  EXPECT_NE(stderrText().find("no Exec"), std::string::npos) << stderrText();
  desktopFile("badcode.desktop", "Exec=prog %z\n");
  EXPECT_EQ(run({"badcode.desktop", "--root", temp_.dir()}), kCannotStart);
  EXPECT_NE(stderrText().find("%z"), std::string::npos) << stderrText();
}

TEST_F(LaunchPlanTest, VerboseAsksForALinePerConnection) {
  Options o = options({"true"});
  std::string error;
  auto plan = planLaunch(o, KST_LAUNCH, &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(envOf(*plan, kVerboseVariable), "(not in the plan)");  // the environment's own stays
  o.verbose = true;
  plan = planLaunch(o, KST_LAUNCH, &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ(envOf(*plan, kVerboseVariable), "1");
  EXPECT_TRUE(parse({"com.example.app", "--verbose"})->verbose);
}

}  // namespace
}  // namespace kst::launch
