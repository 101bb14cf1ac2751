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
class FileChanges {
 public:
  static constexpr std::uint64_t kUnwatched = 0;

  std::uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }
  bool present() const noexcept { return present_.load(std::memory_order_acquire); }

  // Back to unwatched. Async-signal-safe: a forked child calls it, since the
  // watch that kept it current is its parent's.
  void forget() noexcept { generation_.store(kUnwatched, std::memory_order_release); }

 private:
  friend class FolderWatch;
  std::atomic<std::uint64_t> generation_{kUnwatched};
  std::atomic<bool> present_{false};
};

}  // namespace kst
