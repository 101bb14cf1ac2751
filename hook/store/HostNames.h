#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "hook/store/KstStoreEnv.h"
#include "platform/hosttable/HostNameTable.h"
#include "platform/plist/PlistValue.h"

namespace kst {

class KstHostMap;

// The names a process's connections are known by, over either variant of
// the host-name map: the process's own map (the iOS 7/8 library), or
// SpringBoard's, which names arrive at through its service and which is read
// through its shared table without a round trip (the iOS 9 library).
class HostNames {
 public:
  explicit HostNames(const KstStoreEnv& env);
  ~HostNames();
  HostNames(const HostNames&) = delete;
  HostNames& operator=(const HostNames&) = delete;

  // A name the application looked up; the map resolves and records it.
  void doHostStuff(std::string_view name);
  std::optional<plist::Dictionary> getIPDictionary(std::string_view address);
  // The newest name recorded for the address.
  std::optional<std::string> lastHostNameForAddress(std::string_view address);
  // Discards the process's own map (nothing for SpringBoard's).
  void clear();

 private:
  std::shared_ptr<KstHostMap> currentMap();

  const KstStoreEnv& env_;
  // The lock guards the pointer alone: a lookup runs outside it (on a
  // reference of its own), so that the connect hooks reading the map never
  // wait behind another thread's name lookup; the map's own locks guard its
  // contents.
  std::shared_ptr<KstHostMap> map_;
  std::mutex mapMu_;
  std::unique_ptr<HostNameTableReader> table_;
};

}  // namespace kst
