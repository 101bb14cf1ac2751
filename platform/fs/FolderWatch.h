#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/fs/FileChanges.h"
#include "platform/messaging/KeptFd.h"

namespace kst {

// Watches files with inotify through their folders, so that a file replaced
// by a rename, deleted and made again, or edited in place is seen, and
// through every folder from "/" down, so that a folder on the way replaced
// (renamed over, removed, made a symbolic link) is seen too. What it sees
// goes into each file's FileChanges; a file whose way cannot be watched
// (missing folder, a symbolic link, the watch limit reached) is left
// unwatched and tried again at the next check(). A lost event queue
// (overflow) counts as a change of every file.
//
// The descriptor sits at a high number and is checked before each read, so
// a program that closes it or dup2()s its own file over it never has its
// file read; the watch then starts afresh (every file changed), as it does
// when the WatchQueue's number was withdrawn (see WatchQueue::programTakes).
//
// Threads: everything but the FileChanges runs on one thread, the one that
// polls fd(); the FileChanges may be read anywhere.
class FolderWatch {
 public:
  // `files`: absolute paths; `out[i]` receives what is seen of files[i];
  // `queue`, when given, tells readers whether the watch has caught up.
  // Both must outlive the watch.
  FolderWatch(std::vector<std::string> files, std::vector<FileChanges*> out, WatchQueue* queue = nullptr);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Makes the inotify instance and watches every file it can. False when
  // inotify cannot be had (then every file stays unwatched).
  bool open();
  // The descriptor to poll for readability; -1 before open().
  int fd() const { return fd_.get(); }
  // Reads what is queued and publishes the changes. Reads nothing from a
  // descriptor that is no longer the watch's own.
  void onReadable();
  // Looks after the watch: a lost descriptor, or one whose number the
  // program aimed at, means a new instance (every file changed); files left
  // unwatched are tried again. Returns whether the descriptor changed (the
  // caller polls the new one).
  bool check();
  // Every file unwatched and the descriptor forgotten, not closed. For a
  // watch whose descriptor is no longer its own.
  void abandon();

  // How many files are watched now.
  std::size_t watchedCount() const;

 private:
  struct File {
    std::string path;
    std::vector<std::string> folders;  // "/", "/a", "/a/b": the way to the file
    std::vector<std::string> names;    // the entry each folder holds: "a", "b", file name
    std::vector<int> wds;              // the watches of folders[0..wds.size())
    bool armed = false;                // every folder watched
    bool usable = true;                // the path can be watched at all
    FileChanges* out = nullptr;
  };
  struct Use {
    std::size_t file;
    std::size_t level;
  };

  void arm(File& f);
  void disarm(File& f);
  void changed(File& f);
  void rebuildIndex();
  // Every file unwatched and the instance dropped: closed when `close`,
  // else only forgotten (it is the program's now).
  void letGo(bool close);
  void applyEvent(int wd, std::uint32_t mask, const char* name, std::vector<bool>& touched,
                  std::vector<bool>& rearm);
  // The descriptor still names this watch's instance.
  bool ownsDescriptor() const;

  std::vector<File> files_;
  WatchQueue* const queue_;
  messaging::KeptFd fd_;
  std::unordered_map<int, std::vector<Use>> uses_;  // by watch descriptor
  // One folder watched for certain, and its inode: how this instance is
  // told from another inotify instance (they all share one inode).
  int signatureWd_ = -1;
  ino_t signatureInode_ = 0;
  // The process that made the instance.
  pid_t opener_ = -1;
};

}  // namespace kst
