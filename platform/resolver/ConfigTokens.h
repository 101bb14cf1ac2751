#pragma once

#include <string_view>

namespace kst::resolver {

// The blanks that separate fields in the system's name files (hosts,
// resolv.conf); a NUL counts too, so a damaged file only fails to match.
inline bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\0';
}

// Takes the next blank-separated token off the front of `rest`; empty at
// the end.
inline std::string_view nextToken(std::string_view& rest) {
  std::size_t i = 0;
  while (i < rest.size() && isBlank(rest[i])) ++i;
  std::size_t j = i;
  while (j < rest.size() && !isBlank(rest[j])) ++j;
  const std::string_view token = rest.substr(i, j - i);
  rest.remove_prefix(j);
  return token;
}

}  // namespace kst::resolver
