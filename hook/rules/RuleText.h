#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Text operations shared by the literal matcher (performTest) and the rule
// index, so both read a rule exactly the same way. All of them work on bytes;
// "lower" is ASCII lower-casing, anything outside 'A'-'Z' is left alone.
namespace kst::ruletext {

inline char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string lowerAscii(std::string_view text);

// The leading-integer parse of rule texts: optional ASCII whitespace, an
// optional '+' or '-', then decimal digits; no digits gives 0. Values past
// the range of long long saturate to its ends, and comparisons with a port
// are made in 64 bits, so "99999999999999999999" is larger than every port.
long long leadingInteger(std::string_view text);

// Splits the way the rule files' original string API does: at every
// non-overlapping occurrence of `separator`, left to right, keeping empty
// pieces ("a::b" at ":" gives "a", "", "b"; "" gives one empty piece).
// `separator` must not be empty.
std::vector<std::string_view> split(std::string_view text, std::string_view separator);

// `text` with every non-overlapping occurrence of `what` removed, in one
// left-to-right pass (a removal does not create new occurrences to remove).
std::string removeAll(std::string_view text, std::string_view what);

bool contains(std::string_view text, std::string_view what);
bool containsLetter(std::string_view text);  // any of a-z or A-Z

// An inclusive range of 64-bit values.
struct Interval {
  long long lo;
  long long hi;
};

// Every value: what a rule without a port limit allows.
inline constexpr Interval kEveryValue{-0x7fffffffffffffffLL - 1, 0x7fffffffffffffffLL};

// The ports that pass the port test of `portText`: one value when it holds no
// "-", else the inclusive range between its two "-"-separated pieces; nothing
// (nullopt) when a range does not split into exactly two pieces or its low end
// is above its high end.
std::optional<Interval> portInterval(std::string_view portText);

}  // namespace kst::ruletext
