#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "hook/rules/IntervalSets.h"
#include "hook/rules/StringTable.h"

namespace kst {

// The name patterns of "*" host-name rules (the name part lower-cased with
// every "*" removed), arranged to answer: which patterns does the host name
// begin with at a given position? The caller picks the positions (every "."
// for containment rules, the start and every label start for the others).
//
// A pattern is split at its last "." into a head ("itunes.apple.") and a
// tail without dots ("com"). A head can only match the host where the host
// has a "." at the head's last byte, so at one position the heads to try are
// the host's own substrings that end right after each later "." (the shorter
// heads of every pattern are stored too, so the walk stops at the first one
// that is not); the tails to try are the prefixes of the label that follows,
// of the lengths stored under that head. Every try is one hash lookup of a
// substring of the host, hashed in O(1) by SubstringHashes; the cost depends
// on the host name and the patterns actually present in it, not on how many
// patterns there are.
//
// Built by one thread (add, then finish); const lookups from any thread.
class NamePatterns {
 public:
  using Interval = ruletext::Interval;

  void add(std::string_view pattern, Interval ports);
  void finish();
  bool empty() const { return patterns_.empty(); }
  std::size_t memoryBytes() const;

  // Whether a stored pattern that `host` begins with at `start` allows
  // `port` and is accepted by `accept(patternLength)`. `hashes` are the
  // substring hashes of `host`.
  template <class Accept>
  bool anyAt(std::string_view host, const SubstringHashes& hashes, std::size_t start, int port,
             Accept&& accept) const;

 private:
  static constexpr unsigned kLongTail = 63;  // tails this long or longer share one bit

  StringTable heads_;
  std::vector<std::uint64_t> tailLengths_;  // per head: bit k set when a tail of length k exists
  bool emptyHead_ = false;                  // some pattern has no "."
  std::size_t longestHead_ = 0;             // no longer head is stored
  StringTable patterns_;
  IntervalSets ports_;
};

template <class Accept>
bool NamePatterns::anyAt(std::string_view host, const SubstringHashes& hashes, std::size_t start, int port,
                         Accept&& accept) const {
  std::size_t headEnd = start;
  for (;;) {
    const std::size_t dot = host.find('.', headEnd);
    const std::size_t labelEnd = dot == std::string_view::npos ? host.size() : dot;
    std::uint32_t head = StringTable::kNone;
    if (headEnd != start) {
      head = heads_.find(host.substr(start, headEnd - start), hashes.of(start, headEnd));
      if (head == StringTable::kNone) return false;  // no stored head goes on like this
    } else if (emptyHead_) {
      head = heads_.find(std::string_view(), hashes.of(start, start));
    }
    if (head != StringTable::kNone) {
      const std::uint64_t lengths = tailLengths_[head];
      for (std::size_t k = 0; headEnd + k <= labelEnd; ++k) {
        if (k < kLongTail && (lengths >> k) == 0) break;
        if (((lengths >> std::min<std::size_t>(k, kLongTail)) & 1) == 0) continue;
        const std::size_t end = headEnd + k;
        const std::uint32_t id = patterns_.find(host.substr(start, end - start), hashes.of(start, end));
        if (id != StringTable::kNone && ports_.contains(id, port) && accept(end - start)) return true;
      }
    }
    // Longer heads than any stored one cannot match; this bounds the work on hosts with many labels.
    if (dot == std::string_view::npos || dot + 1 - start > longestHead_) return false;
    headEnd = dot + 1;
  }
}

}  // namespace kst
