#pragma once

#include <atomic>
#include <memory>

#include "hook/rules/KstFlags.h"

namespace kst {

class ReachabilityKst;
class ReachabilityHelper;

// What the "Block If NOT On WiFi" switches need of the network: its status
// when a reload reads a switch that is on, and a watch, started once per
// process by the first such reload, that keeps the flags current as the
// network changes. Main queue only.
class NetworkWatch {
 public:
  explicit NetworkWatch(KstFlags& flags);
  ~NetworkWatch();
  NetworkWatch(const NetworkWatch&) = delete;
  NetworkWatch& operator=(const NetworkWatch&) = delete;

  // Sets `blocked` for a WiFi-only switch: off, never; on, while the device
  // is on the mobile network, starting the watch if it is not running.
  void applySwitch(bool switchOn, std::atomic<bool>& blocked);

 private:
  KstFlags& flags_;
  std::unique_ptr<ReachabilityKst> internetReach_;
  std::unique_ptr<ReachabilityHelper> helper_;
  int observer_ = 0;
};

}  // namespace kst
