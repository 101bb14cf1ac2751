#include "hook/rules/StringTable.h"

#include "hook/rules/RuleText.h"

namespace kst {
namespace {

// Spreads the polynomial hash over all bits; slot positions come from the
// top bits and the tag from the bottom ones.
std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

}  // namespace

std::uint64_t StringTable::hash(std::string_view key) {
  std::uint64_t h = kSeed;
  for (char c : key) h = h * kMultiplier + static_cast<unsigned char>(c);
  return h;
}

std::uint64_t StringTable::foldedHash(std::string_view key) {
  std::uint64_t h = kSeed;
  for (char c : key) h = h * kMultiplier + static_cast<unsigned char>(ruletext::lowerAscii(c));
  return h;
}

std::string_view StringTable::key(std::uint32_t id) const {
  const std::uint32_t begin = id == 0 ? 0 : ends_[id - 1];
  return std::string_view(arena_).substr(begin, ends_[id] - begin);
}

template <class Equal>
std::uint32_t StringTable::probe(std::uint64_t keyHash, Equal&& equal) const {
  if (slots_.empty()) return kNone;
  const std::uint64_t mixed = mix(keyHash);
  const auto tag = static_cast<std::uint32_t>(mixed);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(mixed >> shift_);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.id == kNone) return kNone;
    if (slot.tag == tag && equal(key(slot.id))) return slot.id;
  }
}

std::uint32_t StringTable::find(std::string_view wanted, std::uint64_t keyHash) const {
  return probe(keyHash, [wanted](std::string_view stored) { return stored == wanted; });
}

std::uint32_t StringTable::findFolded(std::string_view wanted) const {
  return probe(foldedHash(wanted), [wanted](std::string_view stored) {
    if (stored.size() != wanted.size()) return false;
    for (std::size_t i = 0; i < stored.size(); ++i) {
      if (stored[i] != ruletext::lowerAscii(wanted[i])) return false;
    }
    return true;
  });
}

std::uint32_t StringTable::intern(std::string_view wanted) {
  const std::uint64_t keyHash = hash(wanted);
  const std::uint32_t found = find(wanted, keyHash);
  if (found != kNone) return found;
  // Keep the load at or below one half so that probes stay short.
  if ((ends_.size() + 1) * 2 > slots_.size()) rehash(slots_.empty() ? 16 : slots_.size() * 2);
  const auto id = static_cast<std::uint32_t>(ends_.size());
  arena_.append(wanted);
  ends_.push_back(static_cast<std::uint32_t>(arena_.size()));
  const std::uint64_t mixed = mix(keyHash);
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(mixed >> shift_);
  while (slots_[i].id != kNone) i = (i + 1) & mask;
  slots_[i] = Slot{static_cast<std::uint32_t>(mixed), id};
  return id;
}

void StringTable::reserve(std::size_t keys) {
  std::size_t capacity = 16;
  while (capacity < keys * 2) capacity *= 2;
  if (capacity > slots_.size()) rehash(capacity);
  ends_.reserve(keys);
}

void StringTable::rehash(std::size_t capacity) {
  slots_.assign(capacity, Slot{0, kNone});
  shift_ = 64;
  for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
  const std::size_t mask = capacity - 1;
  for (std::uint32_t id = 0; id < ends_.size(); ++id) {
    const std::uint64_t mixed = mix(hash(key(id)));
    std::size_t i = static_cast<std::size_t>(mixed >> shift_);
    while (slots_[i].id != kNone) i = (i + 1) & mask;
    slots_[i] = Slot{static_cast<std::uint32_t>(mixed), id};
  }
}

void StringTable::compact() {
  arena_.shrink_to_fit();
  ends_.shrink_to_fit();
}

std::size_t StringTable::memoryBytes() const {
  return slots_.capacity() * sizeof(Slot) + arena_.capacity() + ends_.capacity() * sizeof(std::uint32_t);
}

SubstringHashes::SubstringHashes(std::string_view text) {
  std::uint64_t* storage = inline_;
  if (text.size() > kInline) {
    heap_.resize(2 * (text.size() + 1));
    storage = heap_.data();
  }
  std::uint64_t* prefix = storage;
  std::uint64_t* power = storage + text.size() + 1;
  prefix[0] = 0;
  power[0] = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    prefix[i + 1] = prefix[i] * StringTable::kMultiplier + static_cast<unsigned char>(text[i]);
    power[i + 1] = power[i] * StringTable::kMultiplier;
  }
  prefix_ = prefix;
  power_ = power;
}

std::uint64_t SubstringHashes::of(std::size_t begin, std::size_t end) const {
  // hash(s) = seed * M^n + poly(s); poly of a substring comes from the prefixes.
  const std::size_t n = end - begin;
  return StringTable::kSeed * power_[n] + (prefix_[end] - prefix_[begin] * power_[n]);
}

}  // namespace kst
