#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "hook/rules/IntervalSets.h"
#include "hook/rules/StringTable.h"

namespace kst {

// The IPv4 range rules ("10.0.0.20-30", "10.0.0.20-30:80-90"): for each
// network (the address text before its third ".") the ranges of the last
// part, each with its ports. Ranges without a port limit are merged into one
// interval set per network; ranges with a limit are kept as boxes sorted by
// their low end, and a lookup reads only the boxes of its own network that
// start at or below the address's last part.
// Built by one thread (add, then finish); const lookups from any thread.
class OctetRanges {
 public:
  using Interval = ruletext::Interval;

  void add(std::string_view network, Interval lastPart, Interval ports);
  void finish();

  bool empty() const { return networks_.empty(); }
  bool matches(std::string_view network, long long lastPart, int port) const;
  std::size_t memoryBytes() const;

 private:
  struct Box {
    Interval lastPart;
    Interval ports;
  };

  StringTable networks_;
  IntervalSets anyPort_;
  std::vector<std::pair<std::uint32_t, Box>> pending_;
  std::vector<std::uint32_t> first_;  // network i's boxes: boxes_[first_[i], first_[i+1])
  std::vector<Box> boxes_;
};

}  // namespace kst
