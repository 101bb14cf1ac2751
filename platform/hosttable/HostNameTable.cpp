#include "platform/hosttable/HostNameTable.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace kst {

namespace {

using L = HostNameTableLayout;

// Slot words: 0 sequence, 1 meta (checksum, address length, name length),
// 2 stamp, 3..8 address, 9..40 name.
constexpr std::size_t kSeqWord = 0;
constexpr std::size_t kMetaWord = 1;
constexpr std::size_t kStampWord = 2;
constexpr std::size_t kAddressWord = 3;
constexpr std::size_t kAddressWords = 6;
constexpr std::size_t kNameWord = kAddressWord + kAddressWords;
constexpr std::size_t kNameWords = 32;
constexpr std::size_t kSlotWords = kNameWord + kNameWords;
static_assert(kSlotWords * 8 <= L::kSlotSize);
static_assert(kAddressWords * 8 > L::kMaxAddress && kNameWords * 8 > L::kMaxName);

// Header fields, in 8-byte words.
constexpr std::size_t kHeaderMagic = 0;
constexpr std::size_t kHeaderVersionSlots = 1;  // version | slot count << 32
constexpr std::size_t kHeaderSizeOwner = 2;     // slot size | owner pid << 32

constexpr std::int64_t kCheckIntervalNs = 1'000'000'000;
constexpr int kReadAttempts = 4;

std::uint64_t* wordsAt(unsigned char* base, std::size_t offset) {
  return reinterpret_cast<std::uint64_t*>(base + offset);
}
const std::uint64_t* wordsAt(const unsigned char* base, std::size_t offset) {
  return reinterpret_cast<const std::uint64_t*>(base + offset);
}
std::size_t slotOffset(std::size_t index) {
  return L::kHeaderSize + index * L::kSlotSize;
}

std::uint64_t load(const std::uint64_t* w, std::memory_order order = std::memory_order_relaxed) {
  return std::atomic_ref<std::uint64_t>(*const_cast<std::uint64_t*>(w)).load(order);
}
void store(std::uint64_t* w, std::uint64_t v, std::memory_order order = std::memory_order_relaxed) {
  std::atomic_ref<std::uint64_t>(*w).store(v, order);
}

std::uint64_t fnv64(std::string_view s) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const unsigned char c : s) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

std::uint32_t checksum(std::string_view address, std::string_view name, std::uint64_t stamp) {
  std::uint64_t h = fnv64(address) ^ (fnv64(name) * 31) ^ (stamp * 0x9e3779b97f4a7c15ULL);
  h ^= h >> 29;
  // Never zero, so an all-zero slot is never "valid".
  const auto sum = static_cast<std::uint32_t>(h ^ (h >> 32));
  return sum == 0 ? 1 : sum;
}

std::uint64_t meta(std::uint32_t sum, std::size_t addressLength, std::size_t nameLength) {
  return static_cast<std::uint64_t>(sum) | (static_cast<std::uint64_t>(addressLength) << 32) |
         (static_cast<std::uint64_t>(nameLength) << 40);
}

std::size_t homeSlot(std::string_view address) {
  return fnv64(address) % L::kSlotCount;
}

std::int64_t monotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The sequence lock without fences (which the thread sanitizer cannot
// follow): the writer's data stores are releases after the odd sequence
// number, the reader's data loads acquires before its second look at it, so
// a reader that saw any new word sees the sequence number moved.

// Copies `bytes` into `words` (zero-padded).
void storeBytes(std::uint64_t* words, std::size_t count, std::string_view bytes) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t w = 0;
    const std::size_t at = i * 8;
    if (at < bytes.size()) std::memcpy(&w, bytes.data() + at, std::min<std::size_t>(8, bytes.size() - at));
    store(words + i, w, std::memory_order_release);
  }
}

void loadBytes(const std::uint64_t* words, std::size_t count, char* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t w = load(words + i, std::memory_order_acquire);
    std::memcpy(out + i * 8, &w, 8);
  }
}

// One consistent copy of a slot, or false.
struct SlotCopy {
  std::uint64_t meta = 0;
  std::uint64_t stamp = 0;
  char address[kAddressWords * 8];
  char name[kNameWords * 8];

  std::uint32_t sum() const { return static_cast<std::uint32_t>(meta); }
  std::size_t addressLength() const { return (meta >> 32) & 0xff; }
  std::size_t nameLength() const { return (meta >> 40) & 0xff; }
  bool valid() const {
    const std::size_t a = addressLength();
    const std::size_t n = nameLength();
    return a > 0 && a <= L::kMaxAddress && n > 0 && n <= L::kMaxName &&
           sum() == checksum(std::string_view(address, a), std::string_view(name, n), stamp);
  }
};

bool readSlot(const unsigned char* base, std::size_t index, SlotCopy* copy) {
  const std::uint64_t* w = wordsAt(base, slotOffset(index));
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    const std::uint64_t before = load(w + kSeqWord, std::memory_order_acquire);
    if ((before & 1) != 0) continue;  // being written (or its writer died)
    copy->meta = load(w + kMetaWord, std::memory_order_acquire);
    copy->stamp = load(w + kStampWord, std::memory_order_acquire);
    loadBytes(w + kAddressWord, kAddressWords, copy->address);
    loadBytes(w + kNameWord, kNameWords, copy->name);
    if (load(w + kSeqWord) == before) return true;
  }
  return false;
}

bool ownerAlive(pid_t pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

}  // namespace

// ---- writer ----

std::optional<HostNameTableWriter> HostNameTableWriter::create(const std::string& path) {
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return std::nullopt;
  void* map = MAP_FAILED;
  if (::ftruncate(fd, static_cast<off_t>(L::fileSize())) == 0) {
    map = ::mmap(nullptr, L::fileSize(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  ::close(fd);
  if (map == MAP_FAILED) {
    ::unlink(temporary.c_str());
    return std::nullopt;
  }
  auto* base = static_cast<unsigned char*>(map);
  std::uint64_t* header = wordsAt(base, 0);
  store(header + kHeaderVersionSlots, L::kVersion | (static_cast<std::uint64_t>(L::kSlotCount) << 32));
  store(header + kHeaderSizeOwner,
        L::kSlotSize | (static_cast<std::uint64_t>(static_cast<std::uint32_t>(::getpid())) << 32));
  // The magic last: a reader that sees it sees the rest.
  store(header + kHeaderMagic, L::kMagic, std::memory_order_release);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::munmap(map, L::fileSize());
    ::unlink(temporary.c_str());
    return std::nullopt;
  }
  return HostNameTableWriter(base, path);
}

HostNameTableWriter::HostNameTableWriter(unsigned char* base, std::string path)
    : base_(base), path_(std::move(path)) {}

HostNameTableWriter::HostNameTableWriter(HostNameTableWriter&& other) noexcept
    : base_(other.base_), path_(std::move(other.path_)), stamp_(other.stamp_) {
  other.base_ = nullptr;
}

HostNameTableWriter::~HostNameTableWriter() {
  if (base_ == nullptr) return;
  // Readers of a table whose owner is gone find no names; removing the file
  // (when it is still ours) says so at once.
  const std::uint64_t owner = load(wordsAt(base_, 0) + kHeaderSizeOwner) >> 32;
  ::munmap(base_, L::fileSize());
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0) {
    std::uint64_t words[3] = {};
    if (::pread(fd, words, sizeof words, 0) == static_cast<ssize_t>(sizeof words) && words[0] == L::kMagic &&
        (words[kHeaderSizeOwner] >> 32) == owner && static_cast<pid_t>(owner) == ::getpid()) {
      ::unlink(path_.c_str());
    }
    ::close(fd);
  }
}

void HostNameTableWriter::writeSlot(std::size_t index, std::string_view address, std::string_view name,
                                    std::uint64_t stamp) {
  std::uint64_t* w = wordsAt(base_, slotOffset(index));
  const std::uint64_t seq = load(w + kSeqWord);
  store(w + kSeqWord, seq + 1);
  if (address.empty()) {
    store(w + kMetaWord, 0, std::memory_order_release);
    store(w + kStampWord, 0, std::memory_order_release);
    storeBytes(w + kAddressWord, kAddressWords, {});
    storeBytes(w + kNameWord, kNameWords, {});
  } else {
    store(w + kMetaWord, meta(checksum(address, name, stamp), address.size(), name.size()),
          std::memory_order_release);
    store(w + kStampWord, stamp, std::memory_order_release);
    storeBytes(w + kAddressWord, kAddressWords, address);
    storeBytes(w + kNameWord, kNameWords, name);
  }
  store(w + kSeqWord, seq + 2, std::memory_order_release);
}

void HostNameTableWriter::publish(std::string_view address, std::string_view name) {
  if (address.empty() || address.size() > L::kMaxAddress) return;
  if (name.empty() || name.size() > L::kMaxName) {
    remove(address);
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  const std::size_t home = homeSlot(address);
  std::optional<std::size_t> same, empty, oldest;
  std::uint64_t oldestStamp = UINT64_MAX;
  for (std::size_t i = 0; i < L::kProbe; ++i) {
    const std::size_t index = (home + i) % L::kSlotCount;
    SlotCopy copy;
    // Only this writer writes, so its own read is always consistent.
    if (!readSlot(base_, index, &copy) || !copy.valid()) {
      if (!empty) empty = index;
      continue;
    }
    if (std::string_view(copy.address, copy.addressLength()) == address) {
      same = index;
      break;
    }
    if (copy.stamp < oldestStamp) {
      oldestStamp = copy.stamp;
      oldest = index;
    }
  }
  const std::size_t index = same ? *same : empty ? *empty : *oldest;
  writeSlot(index, address, name, ++stamp_);
}

void HostNameTableWriter::remove(std::string_view address) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::size_t home = homeSlot(address);
  for (std::size_t i = 0; i < L::kProbe; ++i) {
    const std::size_t index = (home + i) % L::kSlotCount;
    SlotCopy copy;
    if (readSlot(base_, index, &copy) && copy.valid() &&
        std::string_view(copy.address, copy.addressLength()) == address) {
      writeSlot(index, {}, {}, 0);
    }
  }
}

void HostNameTableWriter::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  for (std::size_t index = 0; index < L::kSlotCount; ++index) {
    if (load(wordsAt(base_, slotOffset(index)) + kMetaWord) != 0) writeSlot(index, {}, {}, 0);
  }
}

// ---- reader ----

HostNameTableReader::HostNameTableReader(std::string path) : path_(std::move(path)) {}

HostNameTableReader::~HostNameTableReader() {
  takeChecker();
  unmapChecked();
  releaseChecker();
}

bool HostNameTableReader::tryTakeChecker() {
  const pid_t self = ::getpid();
  pid_t holder = 0;
  if (checker_.compare_exchange_strong(holder, self, std::memory_order_acquire)) return true;
  // A holder of another process id took it before this process was forked
  // from its parent: nobody here will ever release it.
  return holder != self && checker_.compare_exchange_strong(holder, self, std::memory_order_acquire);
}

void HostNameTableReader::takeChecker() {
  while (!tryTakeChecker()) ::sched_yield();
}

void HostNameTableReader::unmapChecked() {
  const unsigned char* base = base_.exchange(nullptr, std::memory_order_acq_rel);
  if (base == nullptr) return;
  // A reader on another thread may still be copying from the old mapping:
  // put zero pages in its place instead of unmapping, so such a read finds
  // empty slots, never a fault.
  ::mmap(const_cast<unsigned char*>(base), L::fileSize(), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
         -1, 0);
}

const unsigned char* HostNameTableReader::table() {
  const unsigned char* base = base_.load(std::memory_order_acquire);
  const std::int64_t now = monotonicNs();
  if (now < nextCheckNs_.load(std::memory_order_relaxed)) return base;
  // Only one thread checks; the others (and a signal handler that
  // interrupted the checker) go on with what is mapped.
  if (!tryTakeChecker()) return base;
  nextCheckNs_.store(now + kCheckIntervalNs, std::memory_order_relaxed);
  const unsigned char* mapped = base;
  if (mapped != nullptr) {
    struct stat st {};
    const bool sameFile = ::stat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_;
    if (!sameFile || !ownerAlive(owner_)) {
      unmapChecked();
      mapped = nullptr;
    }
  }
  if (mapped == nullptr) mapped = mapTable();
  releaseChecker();
  return mapped;
}

const unsigned char* HostNameTableReader::mapTable() {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return nullptr;
  struct stat st {};
  void* map = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 022) == 0 &&
      static_cast<std::size_t>(st.st_size) == L::fileSize()) {
    map = ::mmap(nullptr, L::fileSize(), PROT_READ, MAP_SHARED, fd, 0);
  }
  ::close(fd);
  if (map == MAP_FAILED) return nullptr;
  const auto* mapped = static_cast<const unsigned char*>(map);
  const std::uint64_t* header = wordsAt(mapped, 0);
  const std::uint64_t versionSlots = load(header + kHeaderVersionSlots);
  const std::uint64_t sizeOwner = load(header + kHeaderSizeOwner);
  const auto owner = static_cast<pid_t>(sizeOwner >> 32);
  if (load(header + kHeaderMagic, std::memory_order_acquire) != L::kMagic ||
      versionSlots != (L::kVersion | (static_cast<std::uint64_t>(L::kSlotCount) << 32)) ||
      (sizeOwner & 0xffffffffu) != L::kSlotSize || !ownerAlive(owner)) {
    ::munmap(map, L::fileSize());
    return nullptr;
  }
  owner_ = owner;
  device_ = st.st_dev;
  inode_ = st.st_ino;
  base_.store(mapped, std::memory_order_release);
  return mapped;
}

std::size_t HostNameTableReader::lookup(std::string_view address, char* out, std::size_t outSize) {
  if (outSize == 0) return 0;
  out[0] = '\0';
  if (address.empty() || address.size() > L::kMaxAddress) return 0;
  const unsigned char* base = table();
  if (base == nullptr) return 0;
  const std::size_t home = homeSlot(address);
  SlotCopy best;
  bool found = false;
  for (std::size_t i = 0; i < L::kProbe; ++i) {
    SlotCopy copy;
    if (!readSlot(base, (home + i) % L::kSlotCount, &copy) || !copy.valid()) continue;
    if (std::string_view(copy.address, copy.addressLength()) != address) continue;
    // Normally one slot per address; after a writer died mid-move, the
    // newest wins.
    if (!found || copy.stamp > best.stamp) best = copy;
    found = true;
  }
  if (!found || best.nameLength() + 1 > outSize) return 0;
  std::memcpy(out, best.name, best.nameLength());
  out[best.nameLength()] = '\0';
  return best.nameLength();
}

std::optional<std::string> HostNameTableReader::lookup(std::string_view address) {
  char name[L::kMaxName + 1];
  const std::size_t length = lookup(address, name, sizeof name);
  if (length == 0) return std::nullopt;
  return std::string(name, length);
}

void HostNameTableReader::reset() {
  takeChecker();
  unmapChecked();
  nextCheckNs_.store(0, std::memory_order_relaxed);
  releaseChecker();
}

}  // namespace kst
