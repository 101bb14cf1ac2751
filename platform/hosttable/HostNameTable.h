#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kst {

// A host-name map published as a file that every process of the same user
// maps read-only: address text -> the newest name the map's owner holds
// for it. The owner (one process: the shell) writes it; a connect in any
// process reads it with no system call and no lock, so naming a destination
// never waits for the owner and never allocates.
//
// Layout: a 64-byte header (magic, version, slot count, slot size, owner
// pid) and a fixed number of 328-byte slots in an open-addressed hash on the
// address text. Each slot is guarded by a sequence number (odd while the
// owner writes it) and a checksum of its contents, and is copied in 8-byte
// atomic words, so a reader gets a whole entry or none: never a torn one,
// never one from an owner killed mid-write, never one nobody stored.
//
// A file that is missing, of another user, writable by others, of another
// version or size, or whose owner is gone reads as "no name".

struct HostNameTableLayout {
  static constexpr std::uint64_t kMagic = 0x31504d4854534bULL;  // "KSTHMP1\0"
  static constexpr std::uint32_t kVersion = 1;
  static constexpr std::size_t kHeaderSize = 64;
  static constexpr std::size_t kSlotSize = 328;
  static constexpr std::size_t kSlotCount = 8192;
  static constexpr std::size_t kMaxAddress = 47;  // INET6_ADDRSTRLEN and a byte
  static constexpr std::size_t kMaxName = 255;
  // Slots tried from an address's home slot.
  static constexpr std::size_t kProbe = 8;
  static constexpr std::size_t fileSize() { return kHeaderSize + kSlotSize * kSlotCount; }
};

// The writing side: one per owner process. Thread-safe (one writer at a
// time under its own lock; readers never wait for it).
class HostNameTableWriter {
 public:
  // Creates (or replaces, atomically) the table at `path`, empty. Nullopt
  // when it cannot be made.
  static std::optional<HostNameTableWriter> create(const std::string& path);
  HostNameTableWriter(HostNameTableWriter&& other) noexcept;
  HostNameTableWriter& operator=(HostNameTableWriter&&) = delete;
  ~HostNameTableWriter();

  // The newest name for `address`; a name too long, or an address too long,
  // is not published (readers then fall back as for an unknown address).
  void publish(std::string_view address, std::string_view name);
  // Forgets one address, or everything.
  void remove(std::string_view address);
  void clear();

 private:
  HostNameTableWriter(unsigned char* base, std::string path);
  void writeSlot(std::size_t index, std::string_view address, std::string_view name, std::uint64_t stamp);

  std::mutex mu_;
  unsigned char* base_ = nullptr;
  std::string path_;
  std::uint64_t stamp_ = 0;  // guarded by mu_: orders publications, for eviction
};

// The reading side: a process-wide reader that maps the table on first use
// and re-checks for a new owner at most once a second.
class HostNameTableReader {
 public:
  explicit HostNameTableReader(std::string path);
  ~HostNameTableReader();
  HostNameTableReader(const HostNameTableReader&) = delete;
  HostNameTableReader& operator=(const HostNameTableReader&) = delete;

  // Copies the name for `address` into `out` (NUL-terminated, at most
  // outSize - 1 bytes) and returns its length, or 0 when there is none.
  // Allocation-free and lock-free in the common case (the table is mapped
  // and its owner was seen alive within the last second).
  std::size_t lookup(std::string_view address, char* out, std::size_t outSize);
  std::optional<std::string> lookup(std::string_view address);

  // For tests: forget the mapping and the last checks, so the next lookup
  // opens the file again.
  void reset();

 private:
  // Maps the file when it is there and sound; refreshes the owner check.
  const unsigned char* table();
  // The (re)mapping is done by one thread at a time: the one whose process
  // id it holds. A holder left over from before a fork is taken over.
  bool tryTakeChecker();
  void takeChecker();
  void releaseChecker() { checker_.store(0, std::memory_order_release); }
  void unmapChecked();
  const unsigned char* mapTable();

  const std::string path_;
  std::atomic<pid_t> checker_{0};
  std::atomic<const unsigned char*> base_{nullptr};
  std::atomic<std::int64_t> nextCheckNs_{0};  // monotonic time of the next owner check
  // Of the mapped table; only the checker touches them.
  pid_t owner_ = 0;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// Where the shell publishes its host-name map, under the device root.
inline constexpr const char* kHostNameTablePath = "/var/run/kestrix/hostnames.table";

}  // namespace kst
