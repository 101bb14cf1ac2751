#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kst {

// A set of byte strings, each given a dense id (0, 1, 2, ... in order of
// first insertion), for the rule index. Open addressing over one array of
// small slots; the key bytes live in one arena, so a table of 100,000 names
// costs a few allocations, not 100,000.
//
// Keys are hashed with a polynomial hash (h = h * kMultiplier + byte), which
// lets a caller hash every substring of a host name in O(1) after one pass
// (see SubstringHashes) and look the substrings up without copying them.
//
// Built once by one thread with intern(); afterwards only const lookups,
// which are safe from any number of threads.
class StringTable {
 public:
  static constexpr std::uint32_t kNone = 0xffffffffu;
  static constexpr std::uint64_t kMultiplier = 0x100000001b3ull;
  static constexpr std::uint64_t kSeed = 0xcbf29ce484222325ull;

  static std::uint64_t hash(std::string_view key);
  // The hash of `key` lower-cased (ASCII), without building the lower-case copy.
  static std::uint64_t foldedHash(std::string_view key);

  // The id of `key`, adding it when new.
  std::uint32_t intern(std::string_view key);
  // Makes room for `keys` keys without regrowing (the count is a hint).
  void reserve(std::size_t keys);
  // Releases the slack left by growth. Call once when the table is complete.
  void compact();

  std::uint32_t find(std::string_view key) const { return find(key, hash(key)); }
  // `keyHash` must be hash(key).
  std::uint32_t find(std::string_view key, std::uint64_t keyHash) const;
  // Finds `key` ignoring ASCII case; only right when the stored keys are lower-case.
  std::uint32_t findFolded(std::string_view key) const;

  bool empty() const { return ends_.empty(); }
  std::size_t size() const { return ends_.size(); }
  std::size_t memoryBytes() const;

 private:
  struct Slot {
    std::uint32_t tag;
    std::uint32_t id;  // kNone when the slot is free
  };

  std::string_view key(std::uint32_t id) const;
  template <class Equal>
  std::uint32_t probe(std::uint64_t keyHash, Equal&& equal) const;
  void rehash(std::size_t capacity);

  std::vector<Slot> slots_;
  unsigned shift_ = 64;  // 64 - log2(slots_.size())
  std::string arena_;
  std::vector<std::uint32_t> ends_;  // key i is arena_[ends_[i-1], ends_[i])
};

// The hashes of all substrings of one text, as StringTable computes them, in
// O(1) each after a linear set-up. Short texts (every real host name) use
// inline storage; a query never allocates for them.
class SubstringHashes {
 public:
  explicit SubstringHashes(std::string_view text);
  SubstringHashes(const SubstringHashes&) = delete;
  SubstringHashes& operator=(const SubstringHashes&) = delete;

  // StringTable::hash(text.substr(begin, end - begin)).
  std::uint64_t of(std::size_t begin, std::size_t end) const;

 private:
  static constexpr std::size_t kInline = 128;
  std::uint64_t inline_[2 * (kInline + 1)];
  std::vector<std::uint64_t> heap_;
  const std::uint64_t* prefix_;  // prefix_[i]: hash of the first i bytes
  const std::uint64_t* power_;   // power_[i]: kMultiplier^i
};

}  // namespace kst
