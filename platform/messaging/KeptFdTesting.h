#pragma once

// Test helpers for code that keeps descriptors (KeptFd): find them, and act
// as a program that closes them or dup2s its own file over them.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "platform/messaging/KeptFd.h"

// A program that closes or replaces the library's descriptors does so behind
// the library's back, with no lock they share: that race is the case under
// test. Test binaries that use these helpers tell the thread sanitizer so
// (it tracks descriptors like memory) with this suppression:
//   extern "C" const char* __tsan_default_suppressions() { return KST_TAKEN_DESCRIPTOR_RACES; }
#define KST_TAKEN_DESCRIPTOR_RACES "race:KeptFdTesting.h\n"

namespace kst::testing {

// The open descriptors at or above KeptFd::floor(): the library's kept ones.
inline std::set<int> keptDescriptors() {
  std::set<int> out;
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) return out;
  const int floor = messaging::KeptFd::floor();
  while (const dirent* e = ::readdir(d)) {
    const int fd = std::atoi(e->d_name);
    if (fd >= floor && fd != ::dirfd(d)) out.insert(fd);
  }
  ::closedir(d);
  return out;
}

// Descriptors in `after` that are not in `before`.
inline std::set<int> added(const std::set<int>& before, const std::set<int>& after) {
  std::set<int> out;
  for (int fd : after)
    if (!before.contains(fd)) out.insert(fd);
  return out;
}

// Puts `own` (the program's file) over every one of `fds`.
inline bool dupOver(int own, const std::set<int>& fds) {
  for (int fd : fds)
    if (::dup2(own, fd) != fd) return false;
  return true;
}

inline void closeAll(const std::set<int>& fds) {
  for (int fd : fds) ::close(fd);
}

}  // namespace kst::testing
