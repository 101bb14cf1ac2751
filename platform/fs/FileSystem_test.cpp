#include "platform/fs/FileSystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileStamp.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

TEST(DeviceRootTest, MapsDevicePathsBelowTheRoot) {
  DeviceRoot r("/tmp/dev/");
  EXPECT_EQ(r.path("/var/mobile/Library/Preferences/a.plist"),
            "/tmp/dev/var/mobile/Library/Preferences/a.plist");
  EXPECT_EQ(r.path("usr/lib/x"), "/tmp/dev/usr/lib/x");
  EXPECT_EQ(DeviceRoot("/").path("/etc/hosts"), "/etc/hosts");
}

TEST(DeviceRootTest, DefaultFollowsEnvironment) {
  const char* old = std::getenv("KESTRIX_ROOT");
  std::string saved = old != nullptr ? old : "";
  ::setenv("KESTRIX_ROOT", "/some/root", 1);
  EXPECT_EQ(DeviceRoot::defaultDir(), "/some/root");
  ::unsetenv("KESTRIX_ROOT");
  ::setenv("XDG_DATA_HOME", "/xdg", 1);
  EXPECT_EQ(DeviceRoot::defaultDir(), "/xdg/kestrix/device");
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(DeviceRoot::defaultDir(), "/home/u/.local/share/kestrix/device");
  if (old != nullptr) ::setenv("KESTRIX_ROOT", saved.c_str(), 1);
}

TEST(PosixFileSystemTest, ReadsWholeFilesOfEverySize) {
  testing::TempRoot tmp;
  FileSystem& fs = FileSystem::real();
  const std::string path = tmp.dir() + "/f";
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65536}, std::size_t{3} << 20}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_TRUE(fs.writeFileAtomic(path, bytes, false));
    EXPECT_EQ(fs.readFile(path), bytes) << size;
  }
  // A file whose size says nothing of its content (the kernel's own) is
  // read to its end all the same.
  const std::optional<std::string> status = fs.readFile("/proc/self/status");
  ASSERT_TRUE(status);
  EXPECT_NE(status->find("VmRSS:"), std::string::npos);
  EXPECT_FALSE(fs.readFile(tmp.dir())) << "a folder is no file";
}

TEST(PosixFileSystemTest, AtomicWriteReplacesWholeFileAndRemoveIsIdempotent) {
  testing::TempRoot root;
  FileSystem& fs = FileSystem::real();
  const std::string p = root.path("/a/b/c.txt");
  ASSERT_TRUE(fs.writeFileAtomic(p, "first, longer content", true));
  ASSERT_TRUE(fs.writeFileAtomic(p, "second", false));
  EXPECT_EQ(*fs.readFile(p), "second");
  struct stat st {};
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_TRUE(fs.exists(p));
  EXPECT_TRUE(fs.removeFile(p));
  EXPECT_FALSE(fs.exists(p));
  EXPECT_TRUE(fs.removeFile(p)) << "removing a missing file is not a failure";
  EXPECT_FALSE(fs.readFile(p));
}

// A rewrite tells itself apart even with the same bytes (a writer
// replaces the file); an untouched file keeps its stamp.
TEST(FileStampTest, TellsEveryRewriteApartAndAbsenceFromPresence) {
  testing::TempRoot temp;
  const std::string path = temp.dir() + "/rules.plist";
  EXPECT_FALSE(fileStamp(path));
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(path, "same", false));
  const auto first = fileStamp(path);
  ASSERT_TRUE(first);
  EXPECT_EQ(fileStamp(path), first);
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(path, "same", false));
  EXPECT_NE(fileStamp(path), first);
  EXPECT_EQ(fileStamps({path, temp.dir() + "/missing"}), (FileStamps{fileStamp(path), std::nullopt}));
}

TEST(PosixFileSystemTest, NextWriteRemovesTheTemporaryFileOfAKilledWriterOnly) {
  testing::TempRoot root;
  FileSystem& fs = FileSystem::real();
  const std::string dir = root.path("/prefs");
  ASSERT_TRUE(fs.writeFileAtomic(dir + "/rules.plist", "old", true));
  // What a writer killed before its rename leaves: nobody holds it.
  const std::string leftover = dir + "/.rules.plist.a1B2c3";
  ASSERT_TRUE(fs.writeFileAtomic(leftover, "half", false));
  // A writer at work holds its temporary file locked.
  const std::string working = dir + "/.rules.plist.Zz9Yy8";
  ASSERT_TRUE(fs.writeFileAtomic(working, "busy", false));
  const int held = ::open(working.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  // Another file's leftover, and a name that only looks alike, are not this writer's.
  const std::string other = dir + "/.global.plist.q1w2e3";
  const std::string alike = dir + "/.rules.plist.toolong";
  ASSERT_TRUE(fs.writeFileAtomic(other, "x", false));
  ASSERT_TRUE(fs.writeFileAtomic(alike, "x", false));

  ASSERT_TRUE(fs.writeFileAtomic(dir + "/rules.plist", "new", false));
  EXPECT_EQ(*fs.readFile(dir + "/rules.plist"), "new");
  EXPECT_FALSE(std::filesystem::exists(leftover));
  EXPECT_TRUE(std::filesystem::exists(working)) << "a live writer's file was taken from it";
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_TRUE(std::filesystem::exists(alike));
  ::close(held);
  // Its writer gone, the next write takes it away too; the write's own
  // temporary file never stays.
  ASSERT_TRUE(fs.writeFileAtomic(dir + "/rules.plist", "newer", false));
  EXPECT_FALSE(std::filesystem::exists(working));
  std::size_t temporaries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.path().filename().string().rfind(".rules.plist.", 0) == 0) ++temporaries;
  EXPECT_EQ(temporaries, 1u) << "only the look-alike name stays";
}

}  // namespace
}  // namespace kst
