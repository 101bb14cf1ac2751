#pragma once

#include <cstdint>
#include <string_view>

#include "hook/rules/IntervalSets.h"
#include "hook/rules/StringTable.h"

namespace kst {

// Text keys (an address, a network, a host name) each with the ports the
// rules under that key allow: the common shape of most rule index paths.
// Several rules with one key share an entry whose port set is their union.
// Built by one thread (add, then finish); const lookups from any thread.
class KeyedPorts {
 public:
  using Interval = ruletext::Interval;

  void reserve(std::size_t keys) { keys_.reserve(keys); }
  void add(std::string_view key, Interval ports) { ports_.add(keys_.intern(key), ports); }
  void finish() {
    ports_.finish(keys_.size());
    keys_.compact();
  }

  bool empty() const { return keys_.empty(); }
  bool contains(std::string_view key, int port) const { return allows(keys_.find(key), port); }
  // `keyHash` is StringTable::hash(key), e.g. from SubstringHashes.
  bool contains(std::string_view key, std::uint64_t keyHash, int port) const {
    return allows(keys_.find(key, keyHash), port);
  }
  // Ignores ASCII case in `key`; the keys must have been added lower-case.
  bool containsFolded(std::string_view key, int port) const { return allows(keys_.findFolded(key), port); }

  std::size_t memoryBytes() const { return keys_.memoryBytes() + ports_.memoryBytes(); }

 private:
  bool allows(std::uint32_t id, int port) const {
    return id != StringTable::kNone && ports_.contains(id, port);
  }

  StringTable keys_;
  IntervalSets ports_;
};

}  // namespace kst
