#include "platform/fs/FolderWatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/messaging/KeptFd.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

namespace fs = std::filesystem;

// More events than the kernel queues by default (16384), so the queue
// overflows.
constexpr int kStormEdits = 20000;

void write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

// One watched file below a temporary folder. The changes are queued by the
// kernel before the change returns, so each test reads them at once with
// onReadable(), as the watch's thread would.
class FolderWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = root_.dir() + "/var/prefs";
    fs::create_directories(folder_);
    file_ = folder_ + "/marker";
  }
  void watchFiles(std::vector<std::string> paths, std::vector<FileChanges*> out) {
    watch_ = std::make_unique<FolderWatch>(std::move(paths), std::move(out));
    ASSERT_TRUE(watch_->open());
  }
  void watchMarker() { watchFiles({file_}, {&marker_}); }
  // The generation after the watch read what is queued.
  std::uint64_t seen() {
    watch_->onReadable();
    return marker_.generation();
  }

  testing::TempRoot root_;
  std::string folder_;
  std::string file_;
  FileChanges marker_;
  std::unique_ptr<FolderWatch> watch_;
};

TEST_F(FolderWatchTest, MarkerWrittenRemovedAndRenamedOverIsSeenAtOnce) {
  EXPECT_EQ(marker_.generation(), FileChanges::kUnwatched) << "not watched before the watch starts";
  watchMarker();
  std::uint64_t g = marker_.generation();
  ASSERT_NE(g, FileChanges::kUnwatched);
  EXPECT_FALSE(marker_.present());

  write(file_, "");
  EXPECT_NE(seen(), g);
  EXPECT_TRUE(marker_.present());
  g = marker_.generation();

  ASSERT_EQ(::unlink(file_.c_str()), 0);
  EXPECT_NE(seen(), g);
  EXPECT_FALSE(marker_.present());
  g = marker_.generation();

  write(folder_ + "/marker.tmp", "x");
  ASSERT_EQ(::rename((folder_ + "/marker.tmp").c_str(), file_.c_str()), 0);
  EXPECT_NE(seen(), g);
  EXPECT_TRUE(marker_.present());
  g = marker_.generation();

  // Others' files in the folder change nothing.
  write(folder_ + "/other", "x");
  EXPECT_EQ(seen(), g);
}

TEST_F(FolderWatchTest, FileEditedInPlaceIsANewGeneration) {
  write(file_, "one");
  watchMarker();
  const std::uint64_t g = marker_.generation();
  {
    std::ofstream out(file_, std::ios::app);
    out << "two";
  }
  EXPECT_NE(seen(), g);
  EXPECT_TRUE(marker_.present());
}

TEST_F(FolderWatchTest, FolderReplacedIsWatchedAnew) {
  watchMarker();
  std::uint64_t g = marker_.generation();
  fs::rename(folder_, folder_ + ".old");
  EXPECT_NE(seen(), g) << "the folder moved away is a change";
  EXPECT_EQ(marker_.generation(), FileChanges::kUnwatched) << "no folder: looked at directly";
  fs::create_directories(folder_);
  EXPECT_NE(seen(), FileChanges::kUnwatched) << "the new folder is seen from its parent";
  g = marker_.generation();
  EXPECT_FALSE(marker_.present());
  write(file_, "");
  EXPECT_NE(seen(), g);
  EXPECT_TRUE(marker_.present());
  // The old folder is no longer what the path names.
  g = marker_.generation();
  write(folder_ + ".old/marker", "");
  EXPECT_EQ(seen(), g);
}

TEST_F(FolderWatchTest, AFolderOnTheWayReplacedIsSeen) {
  write(file_, "");
  watchMarker();
  const std::uint64_t g = marker_.generation();
  const std::string var = root_.dir() + "/var";
  fs::rename(var, root_.dir() + "/var.old");
  fs::create_directories(folder_);
  watch_->onReadable();
  EXPECT_NE(marker_.generation(), g);
  EXPECT_NE(marker_.generation(), FileChanges::kUnwatched);
  EXPECT_FALSE(marker_.present()) << "the new way has no marker";
}

TEST_F(FolderWatchTest, FolderReplacedBySymbolicLinkIsLookedAtDirectly) {
  const std::string elsewhere = root_.dir() + "/elsewhere";
  fs::create_directories(elsewhere);
  write(elsewhere + "/marker", "");
  watchMarker();
  fs::remove_all(folder_);
  fs::create_directory_symlink(elsewhere, folder_);
  watch_->onReadable();
  EXPECT_EQ(marker_.generation(), FileChanges::kUnwatched)
      << "a link could be pointed elsewhere unseen: the file is looked at itself";
  // Mended: a folder again.
  fs::remove(folder_);
  fs::create_directories(folder_);
  watch_->onReadable();
  EXPECT_NE(marker_.generation(), FileChanges::kUnwatched);
  EXPECT_FALSE(marker_.present());
}

TEST_F(FolderWatchTest, FileReplacedByFolderIsAChange) {
  write(file_, "");
  watchMarker();
  const std::uint64_t g = marker_.generation();
  ASSERT_EQ(::unlink(file_.c_str()), 0);
  fs::create_directories(file_);
  EXPECT_NE(seen(), g);
  EXPECT_TRUE(marker_.present()) << "a folder is there, as stat would say";
}

TEST_F(FolderWatchTest, QueueOverflowChangesEveryFile) {
  FileChanges other;
  const std::string otherPath = root_.dir() + "/other/hosts";
  fs::create_directories(root_.dir() + "/other");
  watchFiles({file_, otherPath}, {&marker_, &other});
  const std::uint64_t g = marker_.generation();
  const std::uint64_t h = other.generation();
  // Edits of a neighbour of the marker only, far more than the queue holds.
  const std::string busy = folder_ + "/busy";
  write(busy, "");
  const int fd = ::open(busy.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < kStormEdits; ++i) {
    ASSERT_EQ(::pwrite(fd, "x", 1, 0), 1);
    ::close(::open(busy.c_str(), O_WRONLY | O_CLOEXEC));
  }
  ::close(fd);
  watch_->onReadable();
  EXPECT_NE(marker_.generation(), g) << "events were lost: every file counts as changed";
  EXPECT_NE(other.generation(), h);
  EXPECT_NE(marker_.generation(), FileChanges::kUnwatched);
  watch_.reset();  // before `other`, which it publishes into
}

TEST_F(FolderWatchTest, DescriptorReplacedByTheProgramIsNeverReadAndIsRenewed) {
  watchMarker();
  const int fd = watch_->fd();
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  ASSERT_EQ(::write(pipeFds[1], "abc", 3), 3);
  ASSERT_EQ(::dup2(pipeFds[0], fd), fd);  // the program's pipe now has the number
  write(file_, "");
  watch_->onReadable();
  EXPECT_EQ(marker_.generation(), FileChanges::kUnwatched) << "lost: looked at directly";
  char buf[8];
  EXPECT_EQ(::read(fd, buf, sizeof buf), 3) << "the program's data is still there";
  EXPECT_TRUE(watch_->check()) << "a new instance";
  EXPECT_NE(watch_->fd(), fd);
  EXPECT_NE(marker_.generation(), FileChanges::kUnwatched);
  EXPECT_TRUE(marker_.present());
  ::close(fd);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

TEST_F(FolderWatchTest, AnotherInotifyInstanceOverTheDescriptorIsToldApart) {
  watchMarker();
  const int fd = watch_->fd();
  // The program's own instance, watching the same folder: same inode as ours.
  const int theirs = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(theirs, 0);
  ASSERT_GE(::inotify_add_watch(theirs, folder_.c_str(), IN_CREATE), 0);
  ASSERT_EQ(::dup2(theirs, fd), fd);
  write(file_, "");
  watch_->onReadable();
  EXPECT_EQ(marker_.generation(), FileChanges::kUnwatched);
  char buf[4096];
  EXPECT_GT(::read(theirs, buf, sizeof buf), 0) << "the program's event was left to it";
  ::close(theirs);
  ::close(fd);
}

TEST_F(FolderWatchTest, ClosedDescriptorIsRenewed) {
  watchMarker();
  ASSERT_EQ(::close(watch_->fd()), 0);  // a program closing every descriptor
  EXPECT_TRUE(watch_->check());
  EXPECT_NE(marker_.generation(), FileChanges::kUnwatched);
  const std::uint64_t g = marker_.generation();
  write(file_, "");
  EXPECT_NE(seen(), g);
}

// A change is queued by the kernel before the change returns: until the
// watch has read and published it, the queue says so.
TEST(WatchQueueTest, CaughtUpOnlyOnceEveryQueuedChangeIsRead) {
  testing::TempRoot root;
  const std::string file = root.dir() + "/marker";
  FileChanges changes;
  WatchQueue queue;
  EXPECT_FALSE(queue.caughtUp()) << "no watch runs";
  {
    FolderWatch watch({file}, {&changes}, &queue);
    ASSERT_TRUE(watch.open());
    EXPECT_TRUE(queue.caughtUp());
    write(file, "");
    EXPECT_FALSE(queue.caughtUp()) << "written, not yet read by the watch";
    watch.onReadable();
    EXPECT_TRUE(queue.caughtUp());
    EXPECT_TRUE(changes.present());
  }
  EXPECT_FALSE(queue.caughtUp()) << "the watch is gone";
}

// The program's close-family calls withdraw the watch's number before they
// run: from then on the queue is not asked through it (a pipe of the
// program's there reads empty, and must not pass for a caught-up watch),
// and the watch's next check makes a new instance.
TEST(WatchQueueTest, ANumberTheProgramTakesIsAskedNoMoreUntilTheWatchRenews) {
  testing::TempRoot root;
  const std::string file = root.dir() + "/marker";
  FileChanges changes;
  WatchQueue queue;
  FolderWatch watch({file}, {&changes}, &queue);
  ASSERT_TRUE(watch.open());
  const int fd = watch.fd();
  EXPECT_EQ(fd, messaging::KeptFd::top()) << "away from where the library's other descriptors go";
  queue.programTakes(3, fd - 1);
  queue.programTakes(fd + 1, fd + 100);
  EXPECT_TRUE(queue.caughtUp()) << "other numbers leave it alone";

  // dup2 of an empty pipe over the number.
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  queue.programTakes(fd, fd);
  ASSERT_EQ(::dup2(pipeFds[0], fd), fd);
  EXPECT_FALSE(queue.caughtUp());
  EXPECT_TRUE(watch.check()) << "a new instance";
  EXPECT_NE(watch.fd(), fd);
  EXPECT_EQ(queue.descriptor(), watch.fd());
  EXPECT_TRUE(queue.caughtUp());
  EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "the program's pipe is left open";
  EXPECT_EQ(::write(pipeFds[1], "x", 1), 1);
  char byte = 0;
  EXPECT_EQ(::read(fd, &byte, 1), 1) << "and still the program's";
  ::close(fd);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);

  // A take that came to nothing (a dup2 that failed): the instance is still
  // the watch's, renewed all the same, the old one closed.
  const int second = watch.fd();
  queue.programTakes(0, INT_MAX);
  EXPECT_FALSE(queue.caughtUp());
  EXPECT_TRUE(watch.check());
  EXPECT_TRUE(queue.caughtUp());
  const std::uint64_t g = changes.generation();
  write(file, "");
  watch.onReadable();
  EXPECT_NE(changes.generation(), g) << "the new instance sees changes";
  if (watch.fd() != second) {
    EXPECT_EQ(::fcntl(second, F_GETFD), -1) << "the old instance was closed";
  }
}

TEST(FileChangesTest, UntrustedReadsAsUnwatched) {
  static bool trusted = false;
  testing::TempRoot root;
  FileChanges changes([]() noexcept { return trusted; });
  FolderWatch watch({root.dir() + "/marker"}, {&changes});
  ASSERT_TRUE(watch.open());
  EXPECT_EQ(changes.generation(), FileChanges::kUnwatched);
  trusted = true;
  EXPECT_NE(changes.generation(), FileChanges::kUnwatched);
}

TEST_F(FolderWatchTest, UnusablePathsStayUnwatched) {
  FileChanges relative;
  FileChanges upward;
  watchFiles({"etc/hosts", root_.dir() + "/../x"}, {&relative, &upward});
  EXPECT_EQ(relative.generation(), FileChanges::kUnwatched);
  EXPECT_EQ(upward.generation(), FileChanges::kUnwatched);
  EXPECT_EQ(watch_->watchedCount(), 0u);
  watch_.reset();  // before the changes it publishes into
}

}  // namespace
}  // namespace kst
