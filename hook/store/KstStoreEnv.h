#pragma once

#include <string_view>

#include "hook/rules/KstFlags.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistValue.h"
#include "platform/resolver/Resolver.h"
#include "platform/runloop/RunLoop.h"

namespace kst {

// How a process that cannot read the rule files gets them: a waiting send to
// SpringBoard's "com.Dovrane.Radazira.ServiceExtended". Implemented by the
// messaging layer; a relay that gets no reply returns an empty dictionary.
class RulesRelay {
 public:
  virtual ~RulesRelay() = default;
  virtual plist::Dictionary sendAndWait(std::string_view messageName, const plist::Dictionary* userInfo) = 0;
};

// What a settings manager works with: the device's files, the process's main
// queue and flags, and (for the few applications that load their rules the
// alternative way) the relay. Tests pass their own.
struct KstStoreEnv {
  DeviceRoot root = DeviceRoot::process();
  FileSystem* fs = &FileSystem::real();
  RunLoop* mainLoop = nullptr;  // null: the process's main queue
  KstFlags* flags = &kstFlags();
  RulesRelay* relay = nullptr;  // null: no relay reachable
  // The iOS 7/8 library keeps the host-name map in each process's manager;
  // the iOS 9 library asks SpringBoard's host-name service.
  bool ownHostMap = false;
  Resolver* resolver = nullptr;  // the own map's resolver; null: Resolver::real()
};

}  // namespace kst
