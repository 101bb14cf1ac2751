#include "tools/rules/RuleTexts.h"

#include <arpa/inet.h>

#include <array>
#include <unordered_set>

#include "panel/store/Entries.h"

namespace kst::rules {

namespace {

// Names hosts files give the machine itself; a deny rule for them would
// only break local programs.
constexpr std::array<std::string_view, 12> kLocalNames = {
    "localhost",     "localhost.localdomain", "local",        "broadcasthost",
    "ip6-localhost", "ip6-loopback",          "ip6-localnet", "ip6-mcastprefix",
    "ip6-allnodes",  "ip6-allrouters",        "ip6-allhosts", "0.0.0.0"};

bool isAddress(const std::string& text) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

bool isLocalName(std::string_view name) {
  for (std::string_view local : kLocalNames)
    if (name == local) return true;
  return false;
}

std::vector<std::string> fields(std::string_view line) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) out.emplace_back(line.substr(start, i - start));
  }
  return out;
}

}  // namespace

std::optional<std::string> checkedRuleText(std::string_view text, std::string* why) {
  auto refuse = [&](const char* reason) -> std::optional<std::string> {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  };
  if (text.empty()) return refuse("a rule cannot be empty");
  if (text.size() > kMaxRuleLength) return refuse("a rule is at most 1024 characters long");
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return refuse("a rule cannot hold control characters");
    if (c == ' ') return refuse("a rule cannot hold spaces");
  }
  return panel::lowerCased(text);
}

std::vector<std::string> hostListNames(std::string_view text) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    std::vector<std::string> words = fields(line);
    // "ADDRESS NAME..." names the hosts after the address; a lone word is a name.
    std::size_t first = words.size() > 1 && isAddress(words[0]) ? 1 : 0;
    for (std::size_t i = first; i < words.size(); ++i) {
      std::optional<std::string> rule = checkedRuleText(words[i], nullptr);
      if (!rule || isLocalName(*rule) || isAddress(*rule)) continue;
      if (seen.insert(*rule).second) names.push_back(std::move(*rule));
    }
    start = end + 1;
  }
  return names;
}

}  // namespace kst::rules
