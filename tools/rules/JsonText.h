#pragma once

#include <string>
#include <string_view>

namespace kst::rules {

// `text` as a JSON string, quotes included. Rule files are written by
// several programs, so a text may hold bytes that are not UTF-8: each such
// byte becomes U+FFFD, and control characters are escaped, so the output
// always parses.
std::string jsonString(std::string_view text);

}  // namespace kst::rules
