#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/clock/Clock.h"

namespace kst {

// The reverse lookups the socket hooks made over DNS, found or not, kept
// process-wide so that an address is asked about at most once per
// time-to-live: without it every connect to an address without a known name
// sent a PTR question, dozens per page load. Bounded: at most `capacity`
// addresses; a new one pushes out the expired ones, then the oldest.
//
// Threads: any thread. The lock is held only to read or change the table,
// never while looking up; a thread that misses an address another thread is
// looking up waits for that answer (up to kPendingWait) instead of asking
// again. The child of a fork gets a free lock.
class ReverseNameCache {
 public:
  static constexpr std::size_t kCapacity = 1024;
  static constexpr std::chrono::seconds kTimeToLive{300};
  // Longer than any lookup the hooks make (kReverseLookupBudget).
  static constexpr std::chrono::milliseconds kPendingWait{2000};
  static constexpr std::chrono::milliseconds kPendingPoll{5};

  // The lookup: the name, or nothing when there is none or no answer.
  using Lookup = std::function<std::optional<std::string>(const sockaddr*, socklen_t)>;

  explicit ReverseNameCache(Clock& clock, std::size_t capacity = kCapacity,
                            Clock::Duration timeToLive = kTimeToLive);
  ReverseNameCache(const ReverseNameCache&) = delete;
  ReverseNameCache& operator=(const ReverseNameCache&) = delete;

  // The kept answer for the address (an IPv4 address and its mapped IPv6
  // form are one), else `lookup`'s, kept from now on. Nothing, and no
  // lookup, for an address that is not IPv4 or IPv6.
  std::optional<std::string> nameOf(const sockaddr* address, socklen_t length, const Lookup& lookup);

  std::size_t size() const;
  void clear();

  // The hooks' cache on the steady clock. Never destroyed.
  static ReverseNameCache& process();

 private:
  using Key = std::pair<std::uint64_t, std::uint64_t>;
  struct Entry {
    std::optional<std::string> name;
    Clock::TimePoint expires;
    std::uint64_t order = 0;  // insertion number: the smallest is the oldest
    bool pending = false;     // a thread is looking it up
  };
  void makeRoomLocked(Clock::TimePoint now);

  Clock& clock_;
  const std::size_t capacity_;
  const Clock::Duration timeToLive_;
  mutable std::mutex mu_;
  std::map<Key, Entry> entries_;
  std::uint64_t nextOrder_ = 0;
};

// The socket hooks' reverse lookup of a destination with no known name:
// none for a nameserver of the device's resolver configuration (its own
// address is no host the program named, and asking it about itself is
// traffic the program never made); else the device's hosts file, then the
// system's /etc/hosts; else one PTR question to the configured nameservers
// through the cache, which waits at most kReverseLookupBudget. Nothing when
// there is no name.
inline constexpr std::chrono::milliseconds kReverseLookupBudget{1000};
std::optional<std::string> reverseNameFor(const sockaddr* address, socklen_t length);

}  // namespace kst
