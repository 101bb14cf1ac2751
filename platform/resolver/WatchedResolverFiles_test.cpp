#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/fs/FolderWatch.h"
#include "platform/resolver/HostsFile.h"
#include "platform/resolver/ResolvConf.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

namespace fs = std::filesystem;

void write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

std::optional<std::string> nameOf(CachedHostsFile& hosts, const char* address) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &a.sin_addr);
  const auto file = hosts.current();
  return file ? file->nameOf(reinterpret_cast<const sockaddr*>(&a), sizeof a) : std::nullopt;
}

bool isNameserver(ResolvConfFile& conf, const char* address) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &a.sin_addr);
  return conf.current()->isNameserver(reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

// The hosts file and the resolver configuration followed through a watch:
// every kind of change is read at the next lookup once the watch has seen
// it, edits within one tick of the file system's clock included, and an
// unchanged file is not looked at.
class WatchedResolverFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_.dir() + "/etc");
    hostsPath_ = root_.dir() + "/etc/hosts";
    confPath_ = root_.dir() + "/etc/resolv.conf";
    write(hostsPath_, "127.0.0.21 one.example\n");
    write(confPath_, "nameserver 127.0.0.31\n");
    watch_ = std::make_unique<FolderWatch>(std::vector<std::string>{hostsPath_, confPath_},
                                           std::vector<FileChanges*>{&hostsChanges_, &confChanges_});
    ASSERT_TRUE(watch_->open());
    conf_.followChanges(&confChanges_);
  }

  testing::TempRoot root_;
  std::string hostsPath_;
  std::string confPath_;
  FileChanges hostsChanges_;
  FileChanges confChanges_;
  std::unique_ptr<FolderWatch> watch_;
  ResolvConfFile conf_{root_.dir() + "/etc/resolv.conf"};
};

TEST_F(WatchedResolverFilesTest, HostsFileEditedReplacedDeletedAndMadeAgain) {
  CachedHostsFile hosts(hostsPath_, &hostsChanges_);
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), "one.example");
  // In place, the same size, within the same clock tick: only the watch
  // tells the two versions apart.
  write(hostsPath_, "127.0.0.21 two.example\n");
  watch_->onReadable();
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), "two.example");
  write(hostsPath_ + ".new", "127.0.0.21 three.example\n");
  fs::rename(hostsPath_ + ".new", hostsPath_);
  watch_->onReadable();
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), "three.example");
  fs::remove(hostsPath_);
  watch_->onReadable();
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), std::nullopt);
  write(hostsPath_, "127.0.0.21 four.example\n");
  watch_->onReadable();
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), "four.example");
  fs::remove(hostsPath_);
  fs::create_directories(hostsPath_);
  watch_->onReadable();
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), std::nullopt) << "a folder is no hosts file";
}

TEST_F(WatchedResolverFilesTest, UnchangedWatchedFileIsNotLookedAt) {
  CachedHostsFile hosts(hostsPath_, &hostsChanges_);
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), "one.example");
  // Changed, but the watch has not read it yet: the cached file answers,
  // which shows the file is not looked at while its generation stands.
  write(hostsPath_, "127.0.0.21 two.example\n");
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), "one.example");
  watch_->onReadable();
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), "two.example");
}

TEST_F(WatchedResolverFilesTest, UnwatchedFallsBackToLookingAtTheFile) {
  CachedHostsFile hosts(hostsPath_, &hostsChanges_);
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), "one.example");
  watch_.reset();  // every file unwatched
  EXPECT_EQ(hostsChanges_.generation(), FileChanges::kUnwatched);
  write(hostsPath_ + ".new", "127.0.0.21 two.example\n");
  fs::rename(hostsPath_ + ".new", hostsPath_);
  EXPECT_EQ(nameOf(hosts, "127.0.0.21"), "two.example");
}

TEST_F(WatchedResolverFilesTest, ResolverConfigurationEditedReplacedDeletedAndMadeAgain) {
  EXPECT_TRUE(isNameserver(conf_, "127.0.0.31"));
  write(confPath_, "nameserver 127.0.0.32\n");  // same size, same tick
  watch_->onReadable();
  EXPECT_FALSE(isNameserver(conf_, "127.0.0.31"));
  EXPECT_TRUE(isNameserver(conf_, "127.0.0.32"));
  write(confPath_ + ".new", "nameserver 127.0.0.33\n");
  fs::rename(confPath_ + ".new", confPath_);
  watch_->onReadable();
  EXPECT_TRUE(isNameserver(conf_, "127.0.0.33"));
  fs::remove(confPath_);
  watch_->onReadable();
  EXPECT_FALSE(isNameserver(conf_, "127.0.0.33"));
  write(confPath_, "nameserver 127.0.0.34\n");
  watch_->onReadable();
  EXPECT_TRUE(isNameserver(conf_, "127.0.0.34"));
}

}  // namespace
}  // namespace kst
