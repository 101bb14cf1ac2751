#pragma once

#include <sys/types.h>

#include <utility>

namespace kst::messaging {

// A descriptor the library holds for a long time inside a program that may
// close every descriptor (close_range) or dup2 its own files over the
// library's numbers. The descriptor is moved to a high number, close-on-exec
// (out of the way of the program's next open()), and remembered by its
// identity (device and inode), so that before reading, writing or closing
// it the library can tell whether the number still names its own file. A
// number the program now owns is never touched again: reset() forgets it
// without closing it.
//
// Identity is only as unique as the inode: sockets and pipes have one each;
// eventfds share one, so keep pipes or sockets here. Not thread-safe: guard
// an instance like any other member.
class KeptFd {
 public:
  KeptFd() = default;
  // Takes `fd` (closed here when it could be moved to a high number).
  // A negative `fd` gives an empty KeptFd.
  explicit KeptFd(int fd);
  // Takes `fd` where it is: for short-lived descriptors, where moving would
  // cost more than it saves.
  static KeptFd inPlace(int fd);
  // Takes `fd` to the top of the kept numbers (else as KeptFd(fd) does):
  // for a descriptor the library asks by number without looking first. The
  // other kept descriptors fill the numbers from floor() up, so when the
  // program frees this one behind the library's back, the library's next
  // descriptor does not take its number.
  static KeptFd atTop(int fd);
  KeptFd(const KeptFd&) = delete;
  KeptFd& operator=(const KeptFd&) = delete;
  KeptFd(KeptFd&& other) noexcept { *this = std::move(other); }
  KeptFd& operator=(KeptFd&& other) noexcept;
  ~KeptFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Still open and still the file it was given. One fstat().
  bool intact() const;
  // Closes the descriptor if it is still ours; forgets it either way.
  void reset();
  // Forgets the descriptor without closing it: for one whose identity
  // cannot tell it from the program's (inotify instances share one inode)
  // once it is known to be the program's.
  void release() { fd_ = -1; }

  // The lowest number kept descriptors are moved to, under the process's
  // current descriptor limit.
  static int floor();
  // The highest number kept descriptors use; floor() when there is no room.
  static int top();

 private:
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

}  // namespace kst::messaging
