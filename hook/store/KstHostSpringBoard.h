#pragma once

#include <memory>
#include <string>

#include "hook/store/KstHostMap.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/messaging/MessagingCenter.h"
#include "platform/plist/PlistValue.h"

namespace kst {

// SpringBoard's host-name service "com.Dovrane.Radazira.HostStuff": one
// host-name map shared by every process of the iOS 9 library. Processes hand
// in the names they look up ("...HostStuff.Send") and ask for the names of
// an address ("...HostStuff.Get").
//
// SpringBoard's start-up creates one and calls initSBSMessaging() on its
// main thread; it lives as long as SpringBoard. The handlers run on the
// thread that serves the service. Destroy it on that thread, or once its
// run loop has stopped; the map's env must outlive it.
class KstHostSpringBoard {
 public:
  explicit KstHostSpringBoard(KstHostMapEnv env = {}, DeviceRoot root = DeviceRoot::process());
  ~KstHostSpringBoard();
  KstHostSpringBoard(const KstHostSpringBoard&) = delete;
  KstHostSpringBoard& operator=(const KstHostSpringBoard&) = delete;

  // Registers both messages and serves them on the calling thread's run
  // loop. False when the service cannot be started.
  bool initSBSMessaging();

  // "com.Dovrane.Radazira.HostStuff.Send" {"host": name}: hands the name to
  // the map. No reply. Anything else in `userInfo` is ignored.
  void handleMessageNamedSend(const std::string& messageName, const plist::Dictionary* userInfo);
  // "com.Dovrane.Radazira.HostStuff.Get" {"IP": address}: {address: names};
  // an empty dictionary for an unknown address, a missing or mistyped "IP",
  // or any other message name.
  plist::Dictionary handleMessageNamed(const std::string& messageName, const plist::Dictionary* userInfo);

  KstHostMap& hostMap() { return map_; }

 private:
  DeviceRoot root_;
  KstHostMap map_;
  // Destroyed first: no handler runs once the map goes.
  std::shared_ptr<MessagingCenter> messaging_;
};

}  // namespace kst
