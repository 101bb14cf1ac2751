#include "hook/rules/performTest.h"

#include "hook/rules/RuleText.h"

// The literal matcher: every rule is re-read on every call, step by step, in
// the order the rule files have always been interpreted. It is kept simple on
// purpose: it is the reference the rule index is checked against.

namespace kst {
namespace {

using ruletext::contains;
using ruletext::leadingInteger;
using ruletext::lowerAscii;
using ruletext::removeAll;
using ruletext::split;

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool portTest(std::string_view text, int port) {
  const long long p = port;
  if (!contains(text, "-")) return leadingInteger(text) == p;
  const auto bounds = split(text, "-");
  if (bounds.size() != 2) return false;
  return leadingInteger(bounds[0]) <= p && p <= leadingInteger(bounds[1]);
}

// Step 1: "*:443", "*:5000-5100".
bool anyHostRuleMatches(std::string_view rule, int port) {
  if (!startsWith(rule, "*:")) return false;
  return portTest(removeAll(rule, "*:"), port);
}

// Step 2: "10.0.0.5", "10.0.0.*", "10.0.0.20-30", each with an optional ":port".
bool ipv4RuleMatches(std::string_view rule, int port, std::string_view address) {
  const std::string lowered = lowerAscii(rule);
  if (lowered.find_first_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) return false;
  const auto pieces = split(rule, ":");
  if (pieces.size() > 2) return false;
  const std::string_view a = pieces[0];
  const bool limited = pieces.size() == 2;
  const auto portPasses = [&] { return !limited || portTest(pieces[1], port); };

  const bool star = contains(a, "*");
  const bool dash = contains(a, "-");
  if (!star && !dash) return a == address && portPasses();

  const auto ruleParts = split(a, ".");
  const auto addressParts = split(address, ".");
  const bool sameNetwork = ruleParts.size() == 4 && addressParts.size() == 4 &&
                           ruleParts[0] == addressParts[0] && ruleParts[1] == addressParts[1] &&
                           ruleParts[2] == addressParts[2];
  if (star && sameNetwork && portPasses()) return true;
  if (dash && sameNetwork) {
    const auto bounds = split(ruleParts[3], "-");
    if (bounds.size() != 2) return false;
    const long long last = leadingInteger(addressParts[3]);
    return leadingInteger(bounds[0]) <= last && last <= leadingInteger(bounds[1]) && portPasses();
  }
  return false;
}

// Step 3: "fe80::1", "[fe80::1]:443".
bool ipv6RuleMatches(std::string_view rule, std::string_view host, int port, std::string_view address) {
  if (split(rule, ":").size() < 3) return false;
  const std::string lowerAddress = lowerAscii(address);
  const std::string lowerHost = lowerAscii(host);
  if (!contains(rule, "]:")) {
    const std::string lowered = lowerAscii(rule);
    return lowered == lowerAddress || lowered == lowerHost;
  }
  const auto parts = split(rule, "]:");
  if (parts.size() != 2) return false;
  const std::string addressPart = lowerAscii(removeAll(parts[0], "["));
  return portTest(parts[1], port) && (addressPart == lowerAddress || addressPart == lowerHost);
}

// The name test of step 4. The host is compared as it is; only the rule is lower-cased.
bool nameMatches(std::string_view name, std::string_view host) {
  if (!startsWith(name, "*")) return host == lowerAscii(name);
  const std::string n = removeAll(lowerAscii(name), "*");
  if (n.empty()) return false;
  const std::size_t at = host.find(n);
  if (n[0] == '.') return at != std::string_view::npos;
  return at != std::string_view::npos && (at == 0 || host[at - 1] == '.');
}

// Step 4: "example.com", "*example.com", "*.example.com", each with an optional ":port".
bool hostNameRuleMatches(std::string_view rule, std::string_view host, int port) {
  if (!contains(rule, ":")) return nameMatches(rule, host);
  const auto pieces = split(rule, ":");
  return nameMatches(pieces[0], host) && portTest(pieces[1], port);
}

bool ruleMatches(std::string_view rule, std::string_view host, int port, std::string_view address) {
  // An empty rule never matches, not even an empty host name.
  if (rule.empty()) return false;
  return anyHostRuleMatches(rule, port) || ipv4RuleMatches(rule, port, address) ||
         ipv6RuleMatches(rule, host, port, address) || hostNameRuleMatches(rule, host, port);
}

}  // namespace

bool performTest(const std::vector<std::string>* rules, std::string_view host, int port,
                 std::string_view address) {
  if (rules == nullptr) return false;
  for (const std::string& rule : *rules) {
    if (ruleMatches(rule, host, port, address)) return true;
  }
  return false;
}

}  // namespace kst
