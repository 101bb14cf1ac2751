#pragma once

#include <atomic>
#include <cstdint>

namespace kst {

class FolderWatch;

// What a watch publishes about one file, for any thread to read with plain
// atomic loads (no system call). While the file is not watched (the watch
// has not started, cannot be had, lost its descriptor, or a folder on the
// way is missing or a symbolic link) generation() is kUnwatched and the
// reader looks at the file itself. Every change the watch sees gives the
// file a new generation, never one it had before; present() is whether the
// file was there when the watch last looked. Lives as long as the process.
//
// A watch learns of a change only when its thread has read it, a moment
// after the change. A reader that must see every change made before it
// started gives a `trusted` function: while it returns false (the reader's
// thread has not made sure the watch has read everything, see
// WatchQueue::caughtUp), generation() reads as kUnwatched.
class FileChanges {
 public:
  static constexpr std::uint64_t kUnwatched = 0;
  using Trusted = bool (*)() noexcept;

  FileChanges() = default;
  explicit FileChanges(Trusted trusted) : trusted_(trusted) {}
  FileChanges(const FileChanges&) = delete;
  FileChanges& operator=(const FileChanges&) = delete;

  std::uint64_t generation() const noexcept {
    if (trusted_ != nullptr && !trusted_()) return kUnwatched;
    return generation_.load(std::memory_order_acquire);
  }
  bool present() const noexcept { return present_.load(std::memory_order_acquire); }

  // Back to unwatched. Async-signal-safe: a forked child calls it, since the
  // watch that kept it current is its parent's.
  void forget() noexcept { generation_.store(kUnwatched, std::memory_order_release); }

 private:
  friend class FolderWatch;
  const Trusted trusted_ = nullptr;
  std::atomic<std::uint64_t> generation_{kUnwatched};
  std::atomic<bool> present_{false};
};

// Whether a watch has read everything the kernel queued for it, so that
// what it published reflects every change made before the question: the
// kernel queues an event before the change returns, but the watch's thread
// reads it a moment later. The watch marks when it reads; the question asks
// the kernel how much is queued.
//
// The question goes to the watch's descriptor by number, and a program may
// close every descriptor (close_range) or dup2 a file of its own over that
// number; its empty queue must never pass for a watch that has read
// everything. The library's close, dup2, dup3, close_range and closefrom
// tell programTakes() first, which withdraws the number; a question that
// overlapped with that sees the withdrawal and says no.
class WatchQueue {
 public:
  // Nothing queued unread and nothing being read now. One ioctl(); false
  // while no watch runs. Any thread.
  bool caughtUp() const noexcept;

  // The program is about to close or replace the descriptors first..last:
  // when the watch's is among them, it is not asked any more (the watch
  // makes a new one). Async-signal-safe: atomics only.
  void programTakes(int first, int last) noexcept;

  // No watch runs. Async-signal-safe.
  void forget() noexcept { fd_.store(-1, std::memory_order_seq_cst); }

  // The number asked, or -1.
  int descriptor() const noexcept { return fd_.load(std::memory_order_acquire); }

 private:
  friend class FolderWatch;
  std::atomic<int> fd_{-1};
  std::atomic<bool> reading_{false};
  // Counts withdrawals by programTakes().
  std::atomic<std::uint64_t> taken_{0};
};

}  // namespace kst
