#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kst::rules {

// Rule texts typed on a command line or read from a list are checked before
// they reach a rule file: lower-cased as the settings application stores
// them; the empty text, control characters, spaces and texts longer than
// any host name with a pattern and a port range could be are refused.
inline constexpr std::size_t kMaxRuleLength = 1024;

// The stored form of `text`, or none with the reason in `why`.
std::optional<std::string> checkedRuleText(std::string_view text, std::string* why);

// The host names of a hosts-style list ("0.0.0.0 ads.example tracker.example")
// or of a one-name-a-line list: comments ("#" to the end of the line) and
// blank lines skipped, an address that leads a line dropped, the names of
// the machine itself ("localhost" and its kin) and bare addresses skipped,
// each name checked as a rule text (bad ones skipped), duplicates dropped,
// in order of appearance.
std::vector<std::string> hostListNames(std::string_view text);

}  // namespace kst::rules
