#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kst {

// The names this process itself looked up, by the addresses its lookups
// returned: the capture hooks record every (address, name) pair before the
// lookup returns, and the socket hooks ask here first, so a connect is judged
// by the name its own program asked for, from the first connect on, whatever
// SpringBoard's map learns later or resolves differently.
//
// A fixed ring of kSlots entries, newest first, oldest out: the record never
// grows and never allocates. An IPv4 address and its IPv4-mapped IPv6 form
// are one address. Names longer than kMaxName bytes are not recorded.
//
// Threads and signals: any thread may record and find at once. find() takes
// no lock, allocates nothing and never waits for a writer (each slot carries
// a sequence number, odd while it is written; a reader that meets a slot
// being written, or changed under it, retries a few times and then passes
// it by), so it is safe in a signal handler. Writers never block a reader;
// two writers only skip each other's slot. Survives fork: a slot a vanished
// writer left half-written is wiped in the child.
class KstLookedUpNames {
 public:
  static constexpr std::size_t kSlots = 512;
  // The longest host name DNS can carry.
  static constexpr std::size_t kMaxName = 253;
  // A buffer that holds any recorded name and its terminating zero.
  static constexpr std::size_t kNameBuffer = 256;

  // An address as the record keys it: IPv6 bytes, IPv4 in its mapped form.
  struct Address {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    bool operator==(const Address&) const = default;
  };

  constexpr KstLookedUpNames() = default;
  KstLookedUpNames(const KstLookedUpNames&) = delete;
  KstLookedUpNames& operator=(const KstLookedUpNames&) = delete;

  // The key of a socket address, reading only the bytes `length` covers;
  // nothing for a family other than IPv4 and IPv6 or a length too short.
  static std::optional<Address> addressOf(const sockaddr* address, socklen_t length) noexcept;
  // The key of raw address bytes (4 for AF_INET, 16 for AF_INET6).
  static std::optional<Address> addressOf(int family, const void* bytes) noexcept;

  // Records that `name` resolved to `address`, as the newest entry. Skipped
  // when the address's newest entry, recent enough, already holds the name;
  // ignored for an empty name or one longer than kMaxName.
  void record(const Address& address, std::string_view name) noexcept;

  // The newest name recorded for `address`, copied with its terminating
  // zero into `name`; returns its length, 0 when there is none.
  std::size_t find(const Address& address, char (&name)[kNameBuffer]) const noexcept;
  std::size_t find(const sockaddr* address, socklen_t length, char (&name)[kNameBuffer]) const noexcept;
  // The same, as a string (allocates; not for signal handlers).
  std::optional<std::string> findName(const sockaddr* address, socklen_t length) const;

  // Wipes slots left half-written (by a thread that vanished in fork).
  void repairAfterFork() noexcept;

 private:
  static constexpr std::size_t kNameWords = kNameBuffer / sizeof(std::uint64_t);
  // Tries a slot changed under a reader this often before passing it by.
  static constexpr int kReadAttempts = 4;
  // A repeat is not recorded again while its entry is in the newer part of
  // the ring; older, it is recorded anew so it is not the next one out.
  static constexpr std::uint64_t kFreshWindow = kSlots / 2;

  // The part a reader scans, kept apart from the names so that a scan
  // touches few cache lines; the low halves of the addresses, which tell
  // most slots apart, apart again in one dense array.
  struct Slot {
    std::atomic<std::uint64_t> seq{0};    // odd while being written
    std::atomic<std::uint64_t> stamp{0};  // write number + 1; 0: empty
    std::atomic<std::uint64_t> hi{0};
    std::atomic<std::uint64_t> length{0};  // of the name
  };
  using NameWords = std::atomic<std::uint64_t>[kNameWords];

  // The newest slot for `address` (its stamp) with its name copied out;
  // 0 when none.
  std::uint64_t findStamp(const Address& address, char (&name)[kNameBuffer],
                          std::size_t* length) const noexcept;
  // One consistent read of a slot: false when it is empty, being written or
  // keeps changing.
  bool readSlot(std::size_t index, const Address& address, bool* matches, std::uint64_t* stamp,
                char (&name)[kNameBuffer], std::size_t* length) const noexcept;

  std::atomic<std::uint64_t> next_{0};  // the next write number
  Slot slots_[kSlots];
  std::atomic<std::uint64_t> lows_[kSlots] = {};
  NameWords names_[kSlots] = {};
};

// The process's record, shared by the capture and the socket hooks.
KstLookedUpNames& lookedUpNames() noexcept;

}  // namespace kst
