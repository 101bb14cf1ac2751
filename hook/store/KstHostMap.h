#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hook/rules/KstFlags.h"
#include "platform/clock/Clock.h"
#include "platform/hosttable/HostNameTable.h"
#include "platform/plist/PlistValue.h"
#include "platform/resolver/Resolver.h"
#include "platform/runloop/RunLoop.h"

namespace kst {

// A name the system looks up for its own fonts; never worth resolving.
inline constexpr std::string_view kSyntheticFontName = "system-synthetic-spliced-font";

// What a host-name map works with. Tests pass their own.
struct KstHostMapEnv {
  Resolver* resolver = nullptr;  // null: Resolver::real()
  RunLoop* mainLoop = nullptr;   // null: the process's main queue
  KstFlags* flags = nullptr;     // null: kstFlags()
};

// The host-name map: for every address that a looked-up name resolved to,
// the names that led there, oldest first, so that a connection to the
// address can be shown and matched by name. Names are handed in by
// doHostStuff(); the map resolves each itself.
//
// SpringBoard's KstHostSpringBoard owns one and serves it to every process;
// in the iOS 7/8 library each process's settings manager owns one.
//
// Threads: every public member may be called from any thread. The main loop
// (env.mainLoop) is "the main thread": a name handed in there, or in
// background mode, is resolved on the map's one worker thread; a name handed
// in elsewhere in foreground mode is resolved on the caller's thread. The
// elimination and IPv6 timers run on the main loop, on its clock; so does
// the wait before a retry while a prompt waits, after which the name goes
// to the worker. The map and its repeat list each have their own lock; the
// modes and the counter are single atomics.
//
// Destruction waits for a lookup in progress on the worker and drops the
// names still queued; timers still pending then do nothing when they fire.
// The main loop and the resolver must outlive the map.
class KstHostMap {
 public:
  using NameList = std::vector<std::string>;

  // The repeat list: names handed in recently are not resolved again.
  static constexpr std::size_t kLastNameLimit = 21;
  static constexpr std::size_t kLastNameTrim = 6;
  // Foreground lookups slower than these add 1 or 2 to the counter, faster
  // than kFastLookup take 1 off; at kBackgroundAfter the map goes to
  // background mode for kElimnationDelay.
  static constexpr Seconds kSlowLookup{0.8};
  static constexpr Seconds kVerySlowLookup{3.0};
  static constexpr Seconds kFastLookup{0.3};
  static constexpr int kBackgroundAfter = 6;
  static constexpr Seconds kElimnationDelay{120.0};
  // A lookup of every family slower than this drops IPv6 for kIPv6Pause.
  static constexpr Seconds kSlowIPv6Lookup{0.3};
  static constexpr Seconds kIPv6Pause{60.0};
  // While a prompt waits for its answer, a name is tried again this often.
  static constexpr Seconds kBusyRetry{0.2};

  explicit KstHostMap(KstHostMapEnv env = {});
  ~KstHostMap();
  KstHostMap(const KstHostMap&) = delete;
  KstHostMap& operator=(const KstHostMap&) = delete;

  // Accepts a name: skipped when handed in recently, else resolved and
  // recorded under each of its addresses.
  void doHostStuff(const std::string& name);

  // The reply of "com.Dovrane.Radazira.HostStuff.Get": {address: names,
  // oldest first}, or an empty dictionary when the map has nothing for it.
  plist::Dictionary getIPDictionary(const std::string& address) const;
  // The newest name recorded for an address.
  std::optional<std::string> lastName(std::string_view address) const;
  // A copy of the whole map, addresses sorted; nothing while it is absent
  // (before the first name, and after clear()).
  std::optional<plist::Dictionary> ipDictionary() const;
  // Discards the whole map (the iOS 7/8 resume); names arriving later
  // rebuild it. The repeat list is kept.
  void clear();
  // Publishes the map's newest name per address from now on, where every
  // process reads it without asking (SpringBoard's map); null stops it.
  void publishTo(std::shared_ptr<HostNameTableWriter> table);

  // The steps, named as the iOS 7/8 settings manager names them.
  // Resolves one name now, on the calling thread, and records it.
  void theHostStuff(const std::string& name);
  // The IPv6-only variant; nothing in the iOS 9 library calls it.
  void theHostStuff6(const std::string& name);
  void startElimnationTimer();
  void elimnate();
  void reenableIPV6TimerStart();
  void reenableIPV6();

  // State, for descriptions and tests.
  bool ignoreIPV6() const { return ignoreIPV6_.load(std::memory_order_relaxed); }
  // useBagroundedHostresolutionHowManyTimesAbove.
  int slowLookupCount() const { return slowLookups_.load(std::memory_order_relaxed); }
  NameList lastNameArray() const;

 private:
  // A name for the worker; `six` picks theHostStuff6.
  struct Job {
    std::string name;
    bool six = false;
    auto operator<=>(const Job&) const = default;
  };
  // Lets timer callbacks outlive the map: they run only while it lives, and
  // the destructor waits for one that is running.
  struct Life {
    std::mutex mu;
    bool alive = true;  // guarded by mu
  };

  // Foreground: resolve here, time it, move the counter.
  void doHostStuffNonThread(const std::string& name);
  // Background: hands the job to the worker, starting one when none runs.
  // A job already waiting is not queued twice; a retry is the waiting job.
  void queueOnWorker(Job job, bool retry);
  void workerLoop();
  // Runs the job again after kBusyRetry, on the worker, unless the same job
  // was queued meanwhile.
  void retryLater(Job job);
  // Both lookups; `queued` for the worker's jobs.
  void lookUp(const Job& job, bool queued);
  // The common start of both: nothing when the name is to be skipped (or
  // tried again later), else the name stripped of "www.".
  std::optional<std::string> prepare(const Job& job, bool queued);
  void record(const std::string& stripped, const Resolver::Addresses& addresses, bool six);
  // `fn` wrapped so that it runs only while the map lives.
  RunLoop::Callback guarded(std::function<void()> fn) const;

  Resolver& resolver_;
  RunLoop& mainLoop_;
  KstFlags& flags_;
  std::shared_ptr<Life> life_ = std::make_shared<Life>();

  mutable std::mutex ipMu_;
  std::optional<std::unordered_map<std::string, NameList>> ip_;  // guarded by ipMu_
  std::shared_ptr<HostNameTableWriter> table_;                   // guarded by ipMu_

  mutable std::mutex lastNamesMu_;
  std::deque<std::string> lastNames_;  // guarded by lastNamesMu_

  std::atomic<bool> ignoreIPV6_{false};
  std::atomic<int> slowLookups_{0};

  std::mutex timerMu_;
  std::optional<RunLoop::TimerId> elimnationTimer_;  // guarded by timerMu_
  std::optional<RunLoop::TimerId> ipv6Timer_;        // guarded by timerMu_

  std::mutex workerMu_;
  std::deque<Job> jobs_;         // guarded by workerMu_
  std::set<Job> waiting_;        // guarded by workerMu_: queued, or due for a retry
  bool workerBusy_ = false;      // guarded by workerMu_: the thread takes jobs
  bool stopping_ = false;        // guarded by workerMu_
  std::thread hostStuffThread_;  // started and joined under workerMu_

  // In a forked child the worker is gone: its handle is let go and the
  // queued names wait for a new one.
  friend struct HostMapForkGuard;
};

}  // namespace kst
