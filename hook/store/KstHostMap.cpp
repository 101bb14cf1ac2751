#include "hook/store/KstHostMap.h"

#include <pthread.h>

#include <algorithm>
#include <map>
#include <set>
#include <system_error>

#include "hook/rules/HostText.h"
#include "platform/runloop/LibraryThread.h"

namespace kst {

// Keeps every map's worker lock consistent across fork(), and gives the
// child's maps a worker of their own on their next name: the parent's
// worker thread does not exist in the child.
struct HostMapForkGuard {
  static std::mutex& mu() {
    static auto* m = new std::mutex;
    return *m;
  }
  static std::set<KstHostMap*>& maps() {
    static auto* s = new std::set<KstHostMap*>;
    return *s;
  }
  static void prepare() {
    mu().lock();
    for (KstHostMap* m : maps()) m->workerMu_.lock();
  }
  static void parent() {
    for (KstHostMap* m : maps()) m->workerMu_.unlock();
    mu().unlock();
  }
  static void child() {
    for (KstHostMap* m : maps()) {
      // Detaching only marks the copied handle; nothing runs behind it.
      if (m->hostStuffThread_.joinable()) m->hostStuffThread_.detach();
      m->workerBusy_ = false;
      m->workerMu_.unlock();
    }
    mu().unlock();
  }
  static void add(KstHostMap* m) {
    static const int installed = ::pthread_atfork(&prepare, &parent, &child);
    (void)installed;
    std::lock_guard lock(mu());
    maps().insert(m);
  }
  static void remove(KstHostMap* m) {
    std::lock_guard lock(mu());
    maps().erase(m);
  }
};

KstHostMap::KstHostMap(KstHostMapEnv env)
    : resolver_(env.resolver != nullptr ? *env.resolver : Resolver::real()),
      mainLoop_(env.mainLoop != nullptr ? *env.mainLoop : mainQueue()),
      flags_(env.flags != nullptr ? *env.flags : kstFlags()) {
  HostMapForkGuard::add(this);
}

KstHostMap::~KstHostMap() {
  HostMapForkGuard::remove(this);
  {
    std::lock_guard lock(life_->mu);
    life_->alive = false;
  }
  {
    std::lock_guard lock(workerMu_);
    stopping_ = true;
    jobs_.clear();
    waiting_.clear();
  }
  // The worker needs workerMu_ to see that it is to stop.
  if (hostStuffThread_.joinable()) hostStuffThread_.join();
  std::lock_guard lock(timerMu_);
  if (elimnationTimer_) mainLoop_.cancelTimer(*elimnationTimer_);
  if (ipv6Timer_) mainLoop_.cancelTimer(*ipv6Timer_);
}

void KstHostMap::doHostStuff(const std::string& name) {
  {
    std::lock_guard lock(lastNamesMu_);
    if (std::find(lastNames_.begin(), lastNames_.end(), name) != lastNames_.end()) return;
    if (lastNames_.size() >= kLastNameLimit)
      lastNames_.erase(lastNames_.begin(), lastNames_.begin() + kLastNameTrim);
  }
  if (get(flags_.useBackgroundedHostresolutionKst) || mainLoop_.isLoopThread()) {
    queueOnWorker(Job{name, false}, false);
  } else {
    doHostStuffNonThread(name);
  }
}

void KstHostMap::doHostStuffNonThread(const std::string& name) {
  const Clock& clock = mainLoop_.clock();
  const Clock::TimePoint start = clock.now();
  theHostStuff(name);
  const Clock::Duration took = clock.now() - start;
  if (took > kVerySlowLookup) {
    slowLookups_.fetch_add(2, std::memory_order_relaxed);
  } else if (took > kSlowLookup) {
    slowLookups_.fetch_add(1, std::memory_order_relaxed);
  } else if (took < kFastLookup && slowLookups_.load(std::memory_order_relaxed) >= 1) {
    slowLookups_.fetch_sub(1, std::memory_order_relaxed);
  }
  if (slowLookups_.load(std::memory_order_relaxed) >= kBackgroundAfter &&
      !get(flags_.useBackgroundedHostresolutionKst)) {
    set(flags_.useBackgroundedHostresolutionKst, true);
    startElimnationTimer();
  }
}

void KstHostMap::queueOnWorker(Job job, bool retry) {
  std::lock_guard lock(workerMu_);
  if (stopping_) return;
  if (!retry && !waiting_.insert(job).second) return;
  jobs_.push_back(std::move(job));
  if (workerBusy_) return;
  // The last worker has left its loop; only its exit is left to wait for.
  if (hostStuffThread_.joinable()) hostStuffThread_.join();
  try {
    AllSignalsBlocked blocked;  // the program's handlers never run on the worker
    hostStuffThread_ = std::thread(&KstHostMap::workerLoop, this);
    workerBusy_ = true;
  } catch (const std::system_error&) {
    // No thread to be had: the name goes unresolved, as a failed lookup.
    waiting_.erase(jobs_.back());
    jobs_.pop_back();
  }
}

void KstHostMap::workerLoop() {
  for (;;) {
    Job job;
    {
      std::lock_guard lock(workerMu_);
      if (stopping_ || jobs_.empty()) {
        workerBusy_ = false;
        return;
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
      waiting_.erase(job);
    }
    lookUp(job, true);
  }
}

void KstHostMap::retryLater(Job job) {
  {
    std::lock_guard lock(workerMu_);
    if (stopping_ || !waiting_.insert(job).second) return;
  }
  mainLoop_.addTimer(kBusyRetry, guarded([this, job = std::move(job)] { queueOnWorker(job, true); }));
}

RunLoop::Callback KstHostMap::guarded(std::function<void()> fn) const {
  return [life = life_, fn = std::move(fn)] {
    std::lock_guard lock(life->mu);
    if (life->alive) fn();
  };
}

std::optional<std::string> KstHostMap::prepare(const Job& job, bool queued) {
  if (job.name == kSyntheticFontName) return std::nullopt;
  // A prompt waits for its answer in SpringBoard; keep the lookups out of
  // its way until it is answered.
  if (get(flags_.waitUntilDone)) {
    retryLater(job);
    return std::nullopt;
  }
  std::string stripped = withoutWww(std::string(job.name));
  if (stripped.empty()) return std::nullopt;
  {
    std::lock_guard lock(ipMu_);
    if (!ip_) ip_.emplace();
  }
  {
    std::lock_guard lock(lastNamesMu_);
    // A queued name that another lookup took meanwhile (one handed in again
    // while a prompt waited) is not looked up twice.
    if (queued && std::find(lastNames_.begin(), lastNames_.end(), job.name) != lastNames_.end())
      return std::nullopt;
    lastNames_.push_back(job.name);
  }
  return stripped;
}

void KstHostMap::theHostStuff(const std::string& name) {
  lookUp(Job{name, false}, false);
}

void KstHostMap::theHostStuff6(const std::string& name) {
  lookUp(Job{name, true}, false);
}

void KstHostMap::lookUp(const Job& job, bool queued) {
  const std::optional<std::string> stripped = prepare(job, queued);
  if (!stripped) return;
  // The name is looked up as the application asked for it, so that the
  // addresses are the ones it will connect to; it is recorded stripped.
  std::optional<Resolver::Addresses> addresses;
  if (job.six) {
    addresses = resolver_.resolve(job.name, AddressFamily::kIPv6);
  } else if (ignoreIPV6()) {
    addresses = resolver_.resolve(job.name, AddressFamily::kIPv4);
  } else {
    const Clock& clock = mainLoop_.clock();
    const Clock::TimePoint start = clock.now();
    addresses = resolver_.resolve(job.name, AddressFamily::kAny);
    if (clock.now() - start > kSlowIPv6Lookup) reenableIPV6TimerStart();
  }
  if (!addresses || addresses->empty()) return;
  record(*stripped, *addresses, job.six);
}

void KstHostMap::record(const std::string& stripped, const Resolver::Addresses& addresses, bool six) {
  std::lock_guard lock(ipMu_);
  if (!ip_) ip_.emplace();  // cleared while the lookup ran
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    NameList& names = (*ip_)[addresses[i]];
    const bool already = !names.empty() && names.back() == stripped;
    if (six) {
      // Only the first address is spared a repeat.
      if (i == 0 && already) continue;
    } else if (already) {
      // Recorded by an earlier lookup of the same name: so is the rest.
      break;
    }
    names.push_back(stripped);
    if (table_) table_->publish(addresses[i], stripped);
  }
}

plist::Dictionary KstHostMap::getIPDictionary(const std::string& address) const {
  plist::Array names;
  {
    std::lock_guard lock(ipMu_);
    if (!ip_) return {};
    const auto it = ip_->find(address);
    if (it == ip_->end() || it->second.empty()) return {};
    names.assign(it->second.begin(), it->second.end());
  }
  plist::Dictionary reply;
  reply.appendUnchecked(address, plist::Value(std::move(names)));
  return reply;
}

std::optional<std::string> KstHostMap::lastName(std::string_view address) const {
  std::lock_guard lock(ipMu_);
  if (!ip_) return std::nullopt;
  const auto it = ip_->find(std::string(address));
  if (it == ip_->end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

std::optional<plist::Dictionary> KstHostMap::ipDictionary() const {
  std::map<std::string, NameList> sorted;
  {
    std::lock_guard lock(ipMu_);
    if (!ip_) return std::nullopt;
    sorted.insert(ip_->begin(), ip_->end());
  }
  plist::Dictionary out;
  for (auto& [address, names] : sorted)
    out.appendUnchecked(address, plist::Value(plist::Array(names.begin(), names.end())));
  return out;
}

void KstHostMap::clear() {
  std::optional<std::unordered_map<std::string, NameList>> old;
  std::lock_guard lock(ipMu_);
  old.swap(ip_);
  if (table_) table_->clear();
}

void KstHostMap::publishTo(std::shared_ptr<HostNameTableWriter> table) {
  std::lock_guard lock(ipMu_);
  table_ = std::move(table);
  if (!table_) return;
  table_->clear();
  if (!ip_) return;
  for (const auto& [address, names] : *ip_) {
    if (!names.empty()) table_->publish(address, names.back());
  }
}

KstHostMap::NameList KstHostMap::lastNameArray() const {
  std::lock_guard lock(lastNamesMu_);
  return NameList(lastNames_.begin(), lastNames_.end());
}

void KstHostMap::startElimnationTimer() {
  std::lock_guard lock(timerMu_);
  if (elimnationTimer_) mainLoop_.cancelTimer(*elimnationTimer_);
  elimnationTimer_ = mainLoop_.addTimer(kElimnationDelay, guarded([this] { elimnate(); }));
}

void KstHostMap::elimnate() {
  set(flags_.useBackgroundedHostresolutionKst, false);
  slowLookups_.store(0, std::memory_order_relaxed);
}

void KstHostMap::reenableIPV6TimerStart() {
  ignoreIPV6_.store(true, std::memory_order_relaxed);
  std::lock_guard lock(timerMu_);
  if (ipv6Timer_) mainLoop_.cancelTimer(*ipv6Timer_);
  ipv6Timer_ = mainLoop_.addTimer(kIPv6Pause, guarded([this] { reenableIPV6(); }));
}

void KstHostMap::reenableIPV6() {
  ignoreIPV6_.store(false, std::memory_order_relaxed);
}

}  // namespace kst
