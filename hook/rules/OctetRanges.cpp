#include "hook/rules/OctetRanges.h"

#include <algorithm>

namespace kst {

void OctetRanges::add(std::string_view network, Interval lastPart, Interval ports) {
  if (lastPart.lo > lastPart.hi || ports.lo > ports.hi) return;
  const std::uint32_t id = networks_.intern(network);
  if (ports.lo == ruletext::kEveryValue.lo && ports.hi == ruletext::kEveryValue.hi) {
    anyPort_.add(id, lastPart);
  } else {
    pending_.emplace_back(id, Box{lastPart, ports});
  }
}

void OctetRanges::finish() {
  anyPort_.finish(networks_.size());
  networks_.compact();
  std::sort(pending_.begin(), pending_.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second.lastPart.lo < b.second.lastPart.lo;
  });
  first_.assign(networks_.size() + 1, 0);
  boxes_.clear();
  boxes_.reserve(pending_.size());
  std::size_t next = 0;
  for (std::uint32_t id = 0; id < networks_.size(); ++id) {
    first_[id] = static_cast<std::uint32_t>(boxes_.size());
    for (; next < pending_.size() && pending_[next].first == id; ++next)
      boxes_.push_back(pending_[next].second);
  }
  first_[networks_.size()] = static_cast<std::uint32_t>(boxes_.size());
  std::vector<std::pair<std::uint32_t, Box>>().swap(pending_);
}

bool OctetRanges::matches(std::string_view network, long long lastPart, int port) const {
  const std::uint32_t id = networks_.find(network);
  if (id == StringTable::kNone) return false;
  if (anyPort_.contains(id, lastPart)) return true;
  for (std::uint32_t i = first_[id]; i < first_[id + 1] && boxes_[i].lastPart.lo <= lastPart; ++i) {
    const Box& box = boxes_[i];
    if (lastPart <= box.lastPart.hi && box.ports.lo <= port && port <= box.ports.hi) return true;
  }
  return false;
}

std::size_t OctetRanges::memoryBytes() const {
  return networks_.memoryBytes() + anyPort_.memoryBytes() + first_.capacity() * sizeof(std::uint32_t) +
         boxes_.capacity() * sizeof(Box);
}

}  // namespace kst
