#include "hook/intercept/ReverseNameCache.h"

#include <pthread.h>

#include <thread>
#include <vector>

#include "hook/intercept/KstLookedUpNames.h"
#include "hook/intercept/WatchedFiles.h"
#include "platform/resolver/DnsReverseLookup.h"
#include "platform/resolver/HostsFile.h"
#include "platform/resolver/ResolvConf.h"

namespace kst {

namespace {

ReverseNameCache* gProcessCache = nullptr;

}  // namespace

ReverseNameCache::ReverseNameCache(Clock& clock, std::size_t capacity, Clock::Duration timeToLive)
    : clock_(clock), capacity_(capacity == 0 ? 1 : capacity), timeToLive_(timeToLive) {}

std::optional<std::string> ReverseNameCache::nameOf(const sockaddr* address, socklen_t length,
                                                    const Lookup& lookup) {
  const std::optional<KstLookedUpNames::Address> a = KstLookedUpNames::addressOf(address, length);
  if (!a) return std::nullopt;
  const Key key{a->hi, a->lo};
  // Another thread asking about the address now: its answer is awaited (in
  // short sleeps, which survive fork unlike a condition variable) rather
  // than asked for twice; after kPendingWait this thread asks itself (the
  // other one may have vanished in a fork).
  const auto giveUp = std::chrono::steady_clock::now() + kPendingWait;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const auto it = entries_.find(key);
    if (it == entries_.end()) break;
    if (!it->second.pending) {
      if (it->second.expires > clock_.now()) return it->second.name;
      break;
    }
    if (std::chrono::steady_clock::now() >= giveUp) break;
    lock.unlock();
    std::this_thread::sleep_for(kPendingPoll);
    lock.lock();
  }
  if (entries_.find(key) == entries_.end()) makeRoomLocked(clock_.now());
  // Pending entries never expire and are the newest: making room takes others.
  entries_[key] = Entry{std::nullopt, Clock::TimePoint::max(), nextOrder_++, true};
  lock.unlock();

  std::optional<std::string> name;
  try {
    name = lookup(address, length);
  } catch (...) {
    lock.lock();
    entries_.erase(key);
    throw;
  }
  const Clock::TimePoint now = clock_.now();
  lock.lock();
  if (entries_.find(key) == entries_.end()) makeRoomLocked(now);
  entries_[key] = Entry{name, now + timeToLive_, nextOrder_++, false};
  return name;
}

void ReverseNameCache::makeRoomLocked(Clock::TimePoint now) {
  if (entries_.size() < capacity_) return;
  std::erase_if(entries_, [&](const auto& e) { return e.second.expires <= now; });
  while (entries_.size() >= capacity_) {
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->second.order < oldest->second.order) oldest = it;
    }
    entries_.erase(oldest);
  }
}

std::size_t ReverseNameCache::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

void ReverseNameCache::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
}

ReverseNameCache& ReverseNameCache::process() {
  static ReverseNameCache* const cache = [] {
    gProcessCache = new ReverseNameCache(Clock::real());
    // A fork while another thread holds the lock would leave it held in
    // the child: the lock is taken around fork, so it is free on both sides.
    ::pthread_atfork([] { gProcessCache->mu_.lock(); }, [] { gProcessCache->mu_.unlock(); },
                     [] { gProcessCache->mu_.unlock(); });
    return gProcessCache;
  }();
  return *cache;
}

std::optional<std::string> reverseNameFor(const sockaddr* address, socklen_t length) {
  const std::shared_ptr<const ResolvConf> conf = ResolvConfFile::process().current();
  if (conf->isNameserver(address, length)) return std::nullopt;
  // The hosts files are local and cost no traffic: looked at each time, so
  // that an edit counts at once, but parsed again only when changed.
  // While the library watches them, an unchanged file is not even looked at.
  static CachedHostsFile* const deviceHosts =
      new CachedHostsFile(WatchedFiles::process().deviceHostsPath(), &WatchedFiles::process().deviceHosts());
  static CachedHostsFile* const systemHosts =
      WatchedFiles::process().systemHosts() == nullptr
          ? nullptr
          : new CachedHostsFile(WatchedFiles::process().systemHostsPath(),
                                WatchedFiles::process().systemHosts());
  for (CachedHostsFile* file : {deviceHosts, systemHosts}) {
    if (file == nullptr) continue;
    if (const std::shared_ptr<const HostsFile> hosts = file->current()) {
      if (std::optional<std::string> name = hosts->nameOf(address, length)) return name;
    }
  }
  return ReverseNameCache::process().nameOf(address, length, [&](const sockaddr* a, socklen_t l) {
    ReverseAnswer answer = dnsReverseLookup(*conf, a, l, kReverseLookupBudget);
    return answer.status == ReverseStatus::kName ? std::optional<std::string>(std::move(answer.name))
                                                 : std::nullopt;
  });
}

}  // namespace kst
