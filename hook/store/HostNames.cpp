#include "hook/store/HostNames.h"

#include "hook/store/KstHostClient.h"
#include "hook/store/KstHostMap.h"

namespace kst {

HostNames::HostNames(const KstStoreEnv& env)
    : env_(env), table_(std::make_unique<HostNameTableReader>(env.root.path(kHostNameTablePath))) {}

HostNames::~HostNames() = default;

void HostNames::doHostStuff(std::string_view name) {
  if (!env_.ownHostMap) {
    KstHostClient(env_.root).doHostStuff(name);
    return;
  }
  if (name.empty() || name == kSyntheticFontName || name == "conversation" || name == "contact") return;
  std::shared_ptr<KstHostMap> map;
  {
    std::lock_guard<std::mutex> lock(mapMu_);
    if (!map_) {
      KstHostMapEnv mapEnv;
      mapEnv.resolver = env_.resolver;
      mapEnv.mainLoop = env_.mainLoop;
      mapEnv.flags = env_.flags;
      map_ = std::make_shared<KstHostMap>(mapEnv);
    }
    map = map_;
  }
  // May resolve here, for seconds: outside the lock.
  map->doHostStuff(std::string(name));
}

std::shared_ptr<KstHostMap> HostNames::currentMap() {
  std::lock_guard<std::mutex> lock(mapMu_);
  return map_;
}

std::optional<plist::Dictionary> HostNames::getIPDictionary(std::string_view address) {
  if (!env_.ownHostMap) return KstHostClient(env_.root).getIPDictionary(address);
  const std::shared_ptr<KstHostMap> map = currentMap();
  if (!map) return plist::Dictionary();
  return map->getIPDictionary(std::string(address));
}

std::optional<std::string> HostNames::lastHostNameForAddress(std::string_view address) {
  if (env_.ownHostMap) {
    const std::shared_ptr<KstHostMap> map = currentMap();
    return map ? map->lastName(address) : std::nullopt;
  }
  // SpringBoard publishes its map's newest name per address; a missing or
  // orphaned table reads as no name, as an unanswered query would.
  return table_->lookup(address);
}

void HostNames::clear() {
  std::shared_ptr<KstHostMap> old;
  {
    std::lock_guard<std::mutex> lock(mapMu_);
    old = std::move(map_);
  }
  // Dropped outside the lock: the last holder waits for the map's worker.
}

}  // namespace kst
