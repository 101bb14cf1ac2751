#include "hook/intercept/KstLookedUpNames.h"

#include <netinet/in.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>

namespace kst {

namespace {

constinit KstLookedUpNames gLookedUpNames;
std::atomic<bool> gForkRepairRegistered{false};

void repairInChild() {
  gLookedUpNames.repairAfterFork();
}

}  // namespace

KstLookedUpNames& lookedUpNames() noexcept {
  return gLookedUpNames;
}

std::optional<KstLookedUpNames::Address> KstLookedUpNames::addressOf(const sockaddr* address,
                                                                     socklen_t length) noexcept {
  if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return std::nullopt;
  sa_family_t family = 0;
  std::memcpy(&family, address, sizeof family);
  const auto* bytes = reinterpret_cast<const unsigned char*>(address);
  if (family == AF_INET) {
    if (length < static_cast<socklen_t>(offsetof(sockaddr_in, sin_addr) + sizeof(in_addr)))
      return std::nullopt;
    return addressOf(AF_INET, bytes + offsetof(sockaddr_in, sin_addr));
  }
  if (family == AF_INET6) {
    if (length < static_cast<socklen_t>(offsetof(sockaddr_in6, sin6_addr) + sizeof(in6_addr)))
      return std::nullopt;
    return addressOf(AF_INET6, bytes + offsetof(sockaddr_in6, sin6_addr));
  }
  return std::nullopt;
}

std::optional<KstLookedUpNames::Address> KstLookedUpNames::addressOf(int family, const void* bytes) noexcept {
  if (bytes == nullptr) return std::nullopt;
  unsigned char v6[16] = {};
  if (family == AF_INET) {
    v6[10] = 0xff;
    v6[11] = 0xff;
    std::memcpy(v6 + 12, bytes, 4);
  } else if (family == AF_INET6) {
    std::memcpy(v6, bytes, 16);
  } else {
    return std::nullopt;
  }
  Address a;
  std::memcpy(&a.hi, v6, 8);
  std::memcpy(&a.lo, v6 + 8, 8);
  return a;
}

void KstLookedUpNames::record(const Address& address, std::string_view name) noexcept {
  if (name.empty() || name.size() > kMaxName) return;
  if (!gForkRepairRegistered.exchange(true)) ::pthread_atfork(nullptr, nullptr, &repairInChild);

  char existing[kNameBuffer];
  std::size_t existingLength = 0;
  const std::uint64_t stamp = findStamp(address, existing, &existingLength);
  if (stamp != 0 && std::string_view(existing, existingLength) == name &&
      stamp + kFreshWindow > next_.load(std::memory_order_relaxed))
    return;

  for (std::size_t attempt = 0; attempt < kSlots; ++attempt) {
    const std::uint64_t n = next_.fetch_add(1, std::memory_order_relaxed);
    const std::size_t index = n % kSlots;
    Slot& s = slots_[index];
    std::uint64_t seq = s.seq.load(std::memory_order_relaxed);
    // Another writer is in this slot: take the next one.
    if ((seq & 1) != 0 ||
        !s.seq.compare_exchange_strong(seq, seq + 1, std::memory_order_acquire, std::memory_order_relaxed))
      continue;
    // Release stores after the acquiring claim: a reader that sees any of
    // them (with an acquire load) then sees the odd sequence number too. No
    // fences, which the thread sanitizer cannot follow.
    s.hi.store(address.hi, std::memory_order_release);
    lows_[index].store(address.lo, std::memory_order_release);
    s.length.store(name.size(), std::memory_order_release);
    for (std::size_t w = 0; w * sizeof(std::uint64_t) < name.size(); ++w) {
      std::uint64_t word = 0;
      const std::size_t from = w * sizeof word;
      std::memcpy(&word, name.data() + from, std::min(sizeof word, name.size() - from));
      names_[index][w].store(word, std::memory_order_release);
    }
    s.stamp.store(n + 1, std::memory_order_release);
    s.seq.store(seq + 2, std::memory_order_release);
    return;
  }
}

bool KstLookedUpNames::readSlot(std::size_t index, const Address& address, bool* matches,
                                std::uint64_t* stamp, char (&name)[kNameBuffer],
                                std::size_t* length) const noexcept {
  const Slot& s = slots_[index];
  // Most slots hold another address: one load tells. (A slot rewritten
  // meanwhile holds a name newer than this read; missing it is no error.)
  if (lows_[index].load(std::memory_order_acquire) != address.lo) {
    *matches = false;
    return true;
  }
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    const std::uint64_t before = s.seq.load(std::memory_order_acquire);
    if ((before & 1) != 0) continue;
    const std::uint64_t st = s.stamp.load(std::memory_order_acquire);
    bool match = st != 0 && s.hi.load(std::memory_order_acquire) == address.hi &&
                 lows_[index].load(std::memory_order_acquire) == address.lo;
    std::size_t len = 0;
    if (match) {
      len = static_cast<std::size_t>(s.length.load(std::memory_order_acquire));
      match = len > 0 && len <= kMaxName;
      for (std::size_t w = 0; match && w * sizeof(std::uint64_t) < len; ++w) {
        const std::uint64_t word = names_[index][w].load(std::memory_order_acquire);
        std::memcpy(name + w * sizeof word, &word, sizeof word);
      }
    }
    if (s.seq.load(std::memory_order_acquire) != before) continue;
    *matches = match;
    *stamp = st;
    if (match) {
      name[len] = '\0';
      *length = len;
    }
    return true;
  }
  return false;
}

std::uint64_t KstLookedUpNames::findStamp(const Address& address, char (&name)[kNameBuffer],
                                          std::size_t* length) const noexcept {
  const std::uint64_t head = next_.load(std::memory_order_acquire);
  const std::uint64_t count = std::min<std::uint64_t>(head, kSlots);
  for (std::uint64_t k = 0; k < count; ++k) {
    bool matches = false;
    std::uint64_t stamp = 0;
    if (!readSlot((head - 1 - k) % kSlots, address, &matches, &stamp, name, length)) continue;
    if (matches) return stamp;
  }
  *length = 0;
  name[0] = '\0';
  return 0;
}

std::size_t KstLookedUpNames::find(const Address& address, char (&name)[kNameBuffer]) const noexcept {
  std::size_t length = 0;
  return findStamp(address, name, &length) != 0 ? length : 0;
}

std::size_t KstLookedUpNames::find(const sockaddr* address, socklen_t length,
                                   char (&name)[kNameBuffer]) const noexcept {
  const std::optional<Address> key = addressOf(address, length);
  if (!key) {
    name[0] = '\0';
    return 0;
  }
  return find(*key, name);
}

std::optional<std::string> KstLookedUpNames::findName(const sockaddr* address, socklen_t length) const {
  char name[kNameBuffer];
  const std::size_t n = find(address, length, name);
  if (n == 0) return std::nullopt;
  return std::string(name, n);
}

void KstLookedUpNames::repairAfterFork() noexcept {
  for (Slot& s : slots_) {
    const std::uint64_t seq = s.seq.load(std::memory_order_relaxed);
    if ((seq & 1) == 0) continue;
    s.stamp.store(0, std::memory_order_relaxed);
    s.length.store(0, std::memory_order_relaxed);
    s.seq.store(seq + 1, std::memory_order_release);
  }
}

}  // namespace kst
