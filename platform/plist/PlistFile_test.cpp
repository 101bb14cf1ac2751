#include "platform/plist/PlistFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/testing/TempRoot.h"

namespace kst::plist {
namespace {

class PlistFileTest : public ::testing::Test {
 protected:
  void writeRaw(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(FileSystem::real().writeFileAtomic(path, bytes, true));
  }
  testing::TempRoot root_;
  FileSystem& fs_ = FileSystem::real();
};

TEST_F(PlistFileTest, MissingEmptyCorruptAndWrongRootReadAsAbsent) {
  const std::string p = root_.path("/var/mobile/Library/Preferences/x.plist");
  EXPECT_FALSE(readDictionaryFile(fs_, p));
  writeRaw(p, "");
  EXPECT_FALSE(readDictionaryFile(fs_, p));
  writeRaw(p, "\x00\x01garbage");
  EXPECT_FALSE(readDictionaryFile(fs_, p));
  writeRaw(p, *encodeBinary(Value(Array{Value(1)})));
  EXPECT_FALSE(readDictionaryFile(fs_, p)) << "an array root is not a settings file";
  writeRaw(p, "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>x</string></plist>");
  EXPECT_FALSE(readDictionaryFile(fs_, p));
  // A folder where the file should be reads as absent too.
  ASSERT_EQ(::mkdir(root_.path("/dir.plist").c_str(), 0755), 0);
  EXPECT_FALSE(readDictionaryFile(fs_, root_.path("/dir.plist")));
}

TEST_F(PlistFileTest, WritesBinaryAtomicallyAndReadsBack) {
  const std::string p = root_.path("/var/mobile/Library/Preferences/r.plist");
  Dictionary d{{"150", Value(true)}, {"app", Value(Dictionary{{"allow", Value(Array{})}})}};
  EXPECT_FALSE(writeDictionaryFile(fs_, p, d, false)) << "no folder, and not allowed to create one";
  EXPECT_FALSE(fs_.exists(p));
  ASSERT_TRUE(writeDictionaryFile(fs_, p, d, true));
  auto bytes = fs_.readFile(p);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->substr(0, 6), "bplist");
  auto back = readDictionaryFile(fs_, p);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, d);
  // No temporary file is left next to it.
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(root_.path("/var/mobile/Library/Preferences"))) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

// A disk that fails every write: the old file must stay as it was.
class FullDisk : public FileSystemWrapper {
 public:
  using FileSystemWrapper::FileSystemWrapper;
  bool writeFileAtomic(const std::string&, std::string_view, bool) override { return false; }
};

TEST_F(PlistFileTest, FailedWriteLeavesOldFile) {
  const std::string p = root_.path("/f.plist");
  ASSERT_TRUE(writeDictionaryFile(fs_, p, Dictionary{{"a", Value(1)}}, true));
  FullDisk full(fs_);
  EXPECT_FALSE(writeDictionaryFile(full, p, Dictionary{{"a", Value(2)}}, true));
  EXPECT_EQ(*readDictionaryFile(fs_, p)->find("a")->asInteger(), 1);
}

}  // namespace
}  // namespace kst::plist
