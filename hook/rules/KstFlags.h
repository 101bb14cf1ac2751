#pragma once

#include <atomic>

namespace kst {

// The process-wide flags of the hook library. They are set at start-up, by
// reloads and by network changes, and read by the hooks from any thread
// without locking: each is a single atomic, read and written relaxed.
// The process has one set (kstFlags()); tests make their own.
struct KstFlags {
  std::atomic<bool> isHooked{false};
  std::atomic<bool> canBeHooked{false};
  std::atomic<bool> isSpringBoard{false};
  std::atomic<bool> SpringBoardDidFinish{false};
  std::atomic<bool> alternativeLoading{false};
  std::atomic<bool> plistExists{false};
  std::atomic<bool> bundleExistsInPlist{false};
  std::atomic<bool> isKstEnabled{false};
  std::atomic<bool> useDetailedRules{false};
  std::atomic<bool> blockSpecificWiFi{false};
  std::atomic<bool> blockNonWiFi{false};
  std::atomic<bool> willBeBlockedOn3G{false};
  std::atomic<bool> reachNotifierStarted{false};
  std::atomic<bool> respectGlobal{false};
  std::atomic<bool> logging{false};
  std::atomic<bool> useBackgroundedHostresolutionKst{false};
  // SpringBoard only: a prompt is on screen; and a prompt is waiting for its
  // answer (the host-name map holds its lookups meanwhile).
  std::atomic<bool> isShowingWindow{false};
  std::atomic<bool> waitUntilDone{false};
  std::atomic<int> localWiFiConnectionStatusKst{0};
};

// The flags of this process; never destroyed, so hooks may read them late.
KstFlags& kstFlags();

inline bool get(const std::atomic<bool>& flag) { return flag.load(std::memory_order_relaxed); }
inline void set(std::atomic<bool>& flag, bool value) { flag.store(value, std::memory_order_relaxed); }

}  // namespace kst
