// Faults of the disk and of peers: a device root on a full file system (a
// small tmpfs mounted for the test; needs root), and a notification folder
// full of the sockets of dead observers.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "hook/messaging/FirewallRest.h"
#include "hook/messaging/KstMessaging.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/KstMessageNames.h"
#include "panel/store/PanelStore.h"
#include "platform/fs/Utf16File.h"
#include "platform/messaging/UnixSocket.h"
#include "platform/notify/DarwinNotifyCenter.h"
#include "platform/plist/PlistFile.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

template <class F>
bool eventually(F&& done, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A device root on a tmpfs of its own, unmounted at the end.
class SmallDisk {
 public:
  SmallDisk() {
    if (::geteuid() != 0) return;
    mounted_ = ::mount("tmpfs", temp_.dir().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0700") == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(temp_.dir().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const testing::TempRoot& root() const { return temp_; }

  // Takes every free block with one file.
  bool fill() {
    const std::string path = temp_.dir() + "/filler";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
  }
  void makeRoom() { std::filesystem::remove(temp_.dir() + "/filler"); }

 private:
  testing::TempRoot temp_;
  bool mounted_ = false;
};

std::string bytesOf(const std::string& path) {
  return FileSystem::real().readFile(path).value_or("<missing>");
}

std::vector<std::string> temporariesIn(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string()[0] == '.') out.push_back(e.path().filename().string());
  return out;
}

plist::Dictionary entryFor(const std::string& bundleId, const std::string& rule) {
  plist::Array allow{plist::Value(plist::Dictionary{{std::string(files::kRuleKey), plist::Value(rule)}})};
  return plist::Dictionary{
      {bundleId, plist::Value(plist::Dictionary{{std::string(files::kAllowKey), allow}})}};
}

TEST(FullDiskTest, EveryWriterFailsAndLeavesTheOldFilesAsTheyWere) {
  SmallDisk disk;
  if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
  const DeviceRoot root = disk.root().root();
  FileSystem& fs = FileSystem::real();
  KstServiceEnv env;
  env.root = root;
  KstMessaging shellWrites(env);
  const panel::PanelStore panel(
      fs, root, [](std::string_view) {}, [] { return plist::Date{0}; });
  const std::string rulesPath = root.path(files::kRulesPath);
  const std::string globalPath = root.path(files::kGlobalRulesPath);
  const std::string logPath = root.path(files::kLogPath);

  // The files as they are before the disk fills.
  const plist::Dictionary first = entryFor("com.example.app", "old.example");
  shellWrites.handleMessageNamed(msg::kMessageThatHasInfo, &first);
  ASSERT_TRUE(panel.writeGlobal(plist::Dictionary{{std::string(files::kLogKey), plist::Value(true)}}));
  ASSERT_EQ(utf16::appendToFile(fs, logPath, "old line\n", true), utf16::AppendResult::kCreated);
  const std::string rulesBefore = bytesOf(rulesPath);
  const std::string globalBefore = bytesOf(globalPath);
  const std::string logBefore = bytesOf(logPath);

  ASSERT_TRUE(disk.fill());
  // A large entry: the write needs blocks the disk no longer has.
  plist::Array many;
  for (int i = 0; i < 20000; ++i)
    many.emplace_back(plist::Dictionary{{"rule", plist::Value("host" + std::to_string(i))}});
  const plist::Dictionary big{
      {"com.example.app", plist::Value(plist::Dictionary{{"allow", plist::Value(many)}})}};
  shellWrites.handleMessageNamed(msg::kMessageThatHasInfo, &big);
  EXPECT_FALSE(FirewallRest::writeNowAppRules(root, fs, big));
  EXPECT_FALSE(
      panel.writeGlobal(plist::Dictionary{{std::string(files::kGlobalDenyKey), plist::Value(many)}}));
  EXPECT_EQ(utf16::appendToFile(fs, logPath, std::string(64 * 1024, 'y') + "\n", false),
            utf16::AppendResult::kWriteFailed);

  EXPECT_EQ(bytesOf(rulesPath), rulesBefore);
  EXPECT_EQ(bytesOf(globalPath), globalBefore);
  EXPECT_EQ(bytesOf(logPath), logBefore);
  EXPECT_TRUE(plist::readDictionaryFile(fs, rulesPath).has_value());
  EXPECT_EQ(temporariesIn(root.path(files::kPreferencesDir)), std::vector<std::string>())
      << "a failed write left its temporary file";

  // Room again: the same writes go through.
  disk.makeRoom();
  const plist::Dictionary second = entryFor("com.example.app", "new.example");
  EXPECT_TRUE(FirewallRest::writeNowAppRules(root, fs, second));
  EXPECT_EQ(utf16::appendToFile(fs, logPath, "new line\n", false), utf16::AppendResult::kAppended);
  EXPECT_EQ(utf16::readFile(fs, logPath), "old line\nnew line\n");
}

// The socket file of an observer whose process is gone: bound, then closed.
bool leaveDeadSocket(const std::string& path) {
  const auto addr = messaging::SocketAddress::forPath(path);
  const messaging::UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return addr && sock.valid() && ::bind(sock.get(), addr->get(), addr->size()) == 0;
}

TEST(DeadObserversTest, FolderFullOfDeadSocketsIsClearedByOnePostThatStillReachesTheLiving) {
  testing::TempRoot temp;
  DarwinNotifyCenter observer(temp.root());
  std::atomic<int> heard{0};
  ASSERT_NE(observer.addObserver("kst.test.ping", [&] { ++heard; }), 0u);
  const std::string folder = temp.path("/var/run/kestrix/notify");
  constexpr int kDead = 3000;
  for (int i = 0; i < kDead; ++i) ASSERT_TRUE(leaveDeadSocket(folder + "/dead-" + std::to_string(i)));
  // What is not a socket is nobody's, and stays.
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(folder + "/not-a-socket", "x", false));

  DarwinNotifyCenter poster(temp.root());
  EXPECT_EQ(poster.post("kst.test.ping"), 1u);
  ASSERT_TRUE(eventually([&] { return heard.load() == 1; }));
  std::size_t left = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    (void)e;
    ++left;
  }
  EXPECT_EQ(left, 2u) << "the live observer's socket and the plain file";
  EXPECT_EQ(poster.post("kst.test.ping"), 1u);
  ASSERT_TRUE(eventually([&] { return heard.load() == 2; }));
}

}  // namespace
}  // namespace kst
