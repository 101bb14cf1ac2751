#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "hook/messaging/PromptQueue.h"
#include "hook/rules/KstFlags.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/messaging/MessagingCenter.h"

namespace kst {

// What SpringBoard's services work with: the device's files, the process's
// flags (isShowingWindow) and the device orientation. SpringBoard uses the
// defaults; tests pass a temporary root and flags of their own.
struct KstServiceEnv {
  DeviceRoot root = DeviceRoot::process();
  FileSystem* fs = &FileSystem::real();
  KstFlags* flags = &kstFlags();
  // The one line of prompt questions that both question services share.
  PromptQueue* prompts = &PromptQueue::process();
  // The device orientation (1 portrait, 2 upside down, 3 and 4 landscape,
  // 5 face up, 6 face down, 0 unknown); empty: the process's provider.
  std::function<int()> deviceOrientation;

  int currentDeviceOrientation() const;
};

// The process's device orientation, as SpringBoard's shell reports it. The
// shell installs its provider at start-up; until then, and in every other
// process, the device is upright (1). Safe from any thread; an empty
// provider restores the default.
void setDeviceOrientationProvider(std::function<int()> provider);
int deviceOrientation();

// Obtains the centre of `service` under the env's root, binds each of
// `names` (in this order) to `handler` and starts serving on the calling
// thread's run loop. Null when the service cannot start.
std::shared_ptr<MessagingCenter> startService(const KstServiceEnv& env, std::string_view service,
                                              std::initializer_list<std::string_view> names,
                                              const MessagingCenter::Handler& handler);

}  // namespace kst
