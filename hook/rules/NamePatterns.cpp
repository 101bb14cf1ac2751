#include "hook/rules/NamePatterns.h"

namespace kst {

void NamePatterns::add(std::string_view pattern, Interval ports) {
  const std::size_t lastDot = pattern.rfind('.');
  const std::size_t headLength = lastDot == std::string_view::npos ? 0 : lastDot + 1;
  // Every shorter head of the pattern (each prefix ending at a ".") is stored
  // too, without tails, so that a lookup can stop at the first head the host
  // does not continue.
  for (std::size_t dot = pattern.find('.'); dot < lastDot; dot = pattern.find('.', dot + 1)) {
    heads_.intern(pattern.substr(0, dot + 1));
  }
  const std::uint32_t head = heads_.intern(pattern.substr(0, headLength));
  tailLengths_.resize(heads_.size(), 0);
  const std::size_t tailLength = pattern.size() - headLength;
  tailLengths_[head] |= std::uint64_t{1} << std::min<std::size_t>(tailLength, kLongTail);
  if (headLength == 0) emptyHead_ = true;
  longestHead_ = std::max(longestHead_, headLength);
  ports_.add(patterns_.intern(pattern), ports);
}

void NamePatterns::finish() {
  ports_.finish(patterns_.size());
  heads_.compact();
  patterns_.compact();
  tailLengths_.shrink_to_fit();
}

std::size_t NamePatterns::memoryBytes() const {
  return heads_.memoryBytes() + tailLengths_.capacity() * sizeof(std::uint64_t) + patterns_.memoryBytes() +
         ports_.memoryBytes();
}

}  // namespace kst
