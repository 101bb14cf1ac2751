#include "hook/rules/IntervalSets.h"

#include <algorithm>
#include <limits>

namespace kst {

void IntervalSets::add(std::uint32_t owner, Interval interval) {
  if (interval.lo <= interval.hi) pending_.emplace_back(owner, interval);
}

void IntervalSets::finish(std::size_t owners) {
  std::sort(pending_.begin(), pending_.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second.lo < b.second.lo;
  });
  first_.assign(owners + 1, 0);
  everyValue_.assign((owners + 63) / 64, 0);
  intervals_.clear();
  intervals_.reserve(pending_.size());
  std::size_t next = 0;
  for (std::uint32_t owner = 0; owner < owners; ++owner) {
    first_[owner] = static_cast<std::uint32_t>(intervals_.size());
    const std::size_t begin = intervals_.size();
    for (; next < pending_.size() && pending_[next].first == owner; ++next) {
      const Interval& in = pending_[next].second;
      if (intervals_.size() > begin) {
        Interval& last = intervals_.back();
        // Overlapping or touching: extend (hi + 1 would overflow at the top).
        if (last.hi == std::numeric_limits<long long>::max() || in.lo <= last.hi + 1) {
          last.hi = std::max(last.hi, in.hi);
          continue;
        }
      }
      intervals_.push_back(in);
    }
    if (intervals_.size() == begin + 1 && intervals_.back().lo == ruletext::kEveryValue.lo &&
        intervals_.back().hi == ruletext::kEveryValue.hi) {
      intervals_.pop_back();
      everyValue_[owner / 64] |= std::uint64_t{1} << (owner % 64);
    }
  }
  first_[owners] = static_cast<std::uint32_t>(intervals_.size());
  intervals_.shrink_to_fit();
  std::vector<std::pair<std::uint32_t, Interval>>().swap(pending_);
}

bool IntervalSets::contains(std::uint32_t owner, long long value) const {
  if (owner + std::size_t{1} >= first_.size()) return false;
  if ((everyValue_[owner / 64] >> (owner % 64)) & 1) return true;
  const Interval* begin = intervals_.data() + first_[owner];
  const Interval* end = intervals_.data() + first_[owner + 1];
  // The first interval whose low end is above the value; the one before it is the only candidate.
  const Interval* after =
      std::upper_bound(begin, end, value, [](long long v, const Interval& in) { return v < in.lo; });
  return after != begin && value <= (after - 1)->hi;
}

std::size_t IntervalSets::memoryBytes() const {
  return first_.capacity() * sizeof(std::uint32_t) + intervals_.capacity() * sizeof(Interval) +
         everyValue_.capacity() * sizeof(std::uint64_t);
}

}  // namespace kst
