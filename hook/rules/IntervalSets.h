#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "hook/rules/RuleText.h"

namespace kst {

// Many small sets of 64-bit values, each a union of inclusive intervals (the
// ports one key of the rule index allows), stored side by side in one array.
// Set i belongs to the key with id i of the table next to it.
//
// Filled with add() by the one thread that builds the index, then finish()
// sorts and merges every set; afterwards contains() is const and safe from
// any number of threads.
class IntervalSets {
 public:
  using Interval = ruletext::Interval;

  void add(std::uint32_t owner, Interval interval);
  // Sorts and merges; `owners` is the number of sets (ids 0..owners-1).
  void finish(std::size_t owners);

  // Whether `value` lies in set `owner`. O(log k) in the set's own size.
  bool contains(std::uint32_t owner, long long value) const;
  std::size_t memoryBytes() const;

 private:
  std::vector<std::pair<std::uint32_t, Interval>> pending_;
  std::vector<std::uint32_t> first_;  // set i is intervals_[first_[i], first_[i+1])
  std::vector<Interval> intervals_;   // sorted, disjoint, not adjacent
  // Sets holding every value (rules without a port limit, the usual case)
  // keep no interval, only their bit here.
  std::vector<std::uint64_t> everyValue_;
};

}  // namespace kst
