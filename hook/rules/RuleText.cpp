#include "hook/rules/RuleText.h"

#include <cstdint>

namespace kst::ruletext {

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerAscii(c);
  return out;
}

long long leadingInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // The magnitude is gathered unsigned so that the most negative value is reachable.
  const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
  std::uint64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const auto digit = static_cast<std::uint64_t>(text[i] - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  if (!negative) return static_cast<long long>(magnitude);
  return magnitude == (std::uint64_t{1} << 63) ? kEveryValue.lo : -static_cast<long long>(magnitude);
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

std::string removeAll(std::string_view text, std::string_view what) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(what, start);
    if (at == std::string_view::npos) {
      out.append(text.substr(start));
      return out;
    }
    out.append(text.substr(start, at - start));
    start = at + what.size();
  }
}

bool contains(std::string_view text, std::string_view what) {
  return text.find(what) != std::string_view::npos;
}

bool containsLetter(std::string_view text) {
  for (char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  }
  return false;
}

std::optional<Interval> portInterval(std::string_view portText) {
  if (!contains(portText, "-")) {
    const long long value = leadingInteger(portText);
    return Interval{value, value};
  }
  const auto bounds = split(portText, "-");
  if (bounds.size() != 2) return std::nullopt;
  const Interval range{leadingInteger(bounds[0]), leadingInteger(bounds[1])};
  if (range.lo > range.hi) return std::nullopt;
  return range;
}

}  // namespace kst::ruletext
