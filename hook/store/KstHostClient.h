#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/fs/DeviceRoot.h"
#include "platform/plist/PlistValue.h"

namespace kst {

// The client side of SpringBoard's host-name service, used by the settings
// manager of every process of the iOS 9 library. Keeps nothing between
// calls; any thread may call it. A service that is not there costs nothing
// but a failed connect; a hung or stopped one costs one "Get" the messaging
// limits (5 s at most) and then nothing while it is backed off, and the
// one-way "Send" never waits at all (a full backlog drops the name).
class KstHostClient {
 public:
  explicit KstHostClient(DeviceRoot root = DeviceRoot::process()) : root_(std::move(root)) {}

  // Hands a name the process is about to look up to the service, without
  // waiting. Absent names (null) and the names the system looks up for
  // itself ("system-synthetic-spliced-font", "conversation", "contact") are
  // not sent.
  void doHostStuff(const char* name) const;
  void doHostStuff(std::string_view name) const;

  // Asks the service for the names of an address and waits for the reply:
  // {address: [names, oldest first]}, or an empty dictionary when it knows
  // none (or cannot be reached). Nothing for an absent address.
  std::optional<plist::Dictionary> getIPDictionary(const char* address) const;
  std::optional<plist::Dictionary> getIPDictionary(std::string_view address) const;

 private:
  DeviceRoot root_;
};

// The newest name a reply of getIPDictionary() gives for `address`: the last
// element of its entry, when that is an array whose last element is text.
std::optional<std::string> lastHostName(const plist::Dictionary& reply, std::string_view address);

}  // namespace kst
