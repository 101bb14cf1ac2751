#include "hook/rules/RuleIndex.h"

#include <algorithm>

#include "hook/rules/RuleText.h"

namespace kst {
namespace {

using ruletext::contains;
using ruletext::Interval;
using ruletext::kEveryValue;
using ruletext::leadingInteger;
using ruletext::lowerAscii;
using ruletext::portInterval;
using ruletext::removeAll;
using ruletext::split;

constexpr auto npos = std::string_view::npos;

}  // namespace

RuleIndex::RuleIndex(const std::vector<std::string>& rules) {
  // Every rule without a leading "*" reaches the exact-name table.
  names_.reserve(static_cast<std::size_t>(std::count_if(
      rules.begin(), rules.end(), [](const std::string& rule) { return rule.empty() || rule[0] != '*'; })));
  for (const std::string& rule : rules) addRule(rule);
  anyHostPorts_.finish(1);
  addresses_.finish();
  networks_.finish();
  octetRanges_.finish();
  ipv6_.finish();
  names_.finish();
  containing_.finish();
  boundary_.finish();
}

void RuleIndex::addRule(std::string_view rule) {
  // An empty rule never matches (performTest skips it too).
  if (rule.empty()) return;
  addAnyHostRule(rule);
  addIpv4Rule(rule);
  addIpv6Rule(rule);
  addHostNameRule(rule);
}

void RuleIndex::addAnyHostRule(std::string_view rule) {
  if (rule.substr(0, 2) != "*:") return;
  if (const auto ports = portInterval(removeAll(rule, "*:"))) {
    anyHostPorts_.add(0, *ports);
    hasAnyHost_ = true;
  }
}

void RuleIndex::addIpv4Rule(std::string_view rule) {
  if (ruletext::containsLetter(rule)) return;
  const std::size_t colon = rule.find(':');
  Interval ports = kEveryValue;
  std::string_view a = rule;
  if (colon != npos) {
    if (rule.find(':', colon + 1) != npos) return;
    const auto limit = portInterval(rule.substr(colon + 1));
    if (!limit) return;
    ports = *limit;
    a = rule.substr(0, colon);
  }
  const bool star = contains(a, "*");
  const bool dash = contains(a, "-");
  if (!star && !dash) {
    addresses_.add(a, ports);
    return;
  }
  const auto parts = split(a, ".");
  if (parts.size() != 4) return;
  const std::string_view network = a.substr(0, parts[0].size() + parts[1].size() + parts[2].size() + 2);
  if (star) networks_.add(network, ports);
  if (dash) {
    const auto bounds = split(parts[3], "-");
    if (bounds.size() == 2) {
      octetRanges_.add(network, Interval{leadingInteger(bounds[0]), leadingInteger(bounds[1])}, ports);
    }
  }
}

void RuleIndex::addIpv6Rule(std::string_view rule) {
  if (std::count(rule.begin(), rule.end(), ':') < 2) return;
  if (!contains(rule, "]:")) {
    ipv6_.add(lowerAscii(rule), kEveryValue);
    return;
  }
  const auto parts = split(rule, "]:");
  if (parts.size() != 2) return;
  if (const auto ports = portInterval(parts[1])) ipv6_.add(lowerAscii(removeAll(parts[0], "[")), *ports);
}

void RuleIndex::addHostNameRule(std::string_view rule) {
  std::string_view name = rule;
  Interval ports = kEveryValue;
  if (const std::size_t colon = rule.find(':'); colon != npos) {
    name = rule.substr(0, colon);
    const std::string_view rest = rule.substr(colon + 1);
    const auto limit = portInterval(rest.substr(0, rest.find(':')));
    if (!limit) return;
    ports = *limit;
  }
  if (name.empty() || name[0] != '*') {
    names_.add(lowerAscii(name), ports);
    return;
  }
  const std::string pattern = removeAll(lowerAscii(name), "*");
  if (pattern.empty()) return;
  (pattern[0] == '.' ? containing_ : boundary_).add(pattern, ports);
}

bool RuleIndex::matches(std::string_view host, int port, std::string_view address) const {
  if (hasAnyHost_ && anyHostPorts_.contains(0, port)) return true;
  if (ipv4Matches(port, address)) return true;
  if (!ipv6_.empty() && (ipv6_.containsFolded(address, port) || ipv6_.containsFolded(host, port)))
    return true;
  return hostNameMatches(host, port);
}

bool RuleIndex::ipv4Matches(int port, std::string_view address) const {
  if (!addresses_.empty() && addresses_.contains(address, port)) return true;
  if (networks_.empty() && octetRanges_.empty()) return false;
  // Both wildcard shapes need an address of exactly four "."-separated parts.
  const std::size_t first = address.find('.');
  const std::size_t second = first == npos ? npos : address.find('.', first + 1);
  const std::size_t third = second == npos ? npos : address.find('.', second + 1);
  if (third == npos || address.find('.', third + 1) != npos) return false;
  const std::string_view network = address.substr(0, third);
  if (!networks_.empty() && networks_.contains(network, port)) return true;
  return !octetRanges_.empty() &&
         octetRanges_.matches(network, leadingInteger(address.substr(third + 1)), port);
}

bool RuleIndex::hostNameMatches(std::string_view host, int port) const {
  if (names_.empty() && containing_.empty() && boundary_.empty()) return false;
  const SubstringHashes hashes(host);
  if (!names_.empty() && names_.contains(host, hashes.of(0, host.size()), port)) return true;
  if (!containing_.empty()) {
    const auto anywhere = [](std::size_t) { return true; };
    for (std::size_t dot = host.find('.'); dot != npos; dot = host.find('.', dot + 1)) {
      if (containing_.anyAt(host, hashes, dot, port, anywhere)) return true;
    }
  }
  if (!boundary_.empty()) {
    for (std::size_t start = 0;;) {
      // A pattern counts only where it occurs in the host for the first time.
      const auto firstOccurrence = [host, start](std::size_t length) {
        return host.find(host.substr(start, length)) == start;
      };
      if (boundary_.anyAt(host, hashes, start, port, firstOccurrence)) return true;
      const std::size_t dot = host.find('.', start);
      if (dot == npos) break;
      start = dot + 1;
    }
  }
  return false;
}

std::size_t RuleIndex::memoryBytes() const {
  return anyHostPorts_.memoryBytes() + addresses_.memoryBytes() + networks_.memoryBytes() +
         octetRanges_.memoryBytes() + ipv6_.memoryBytes() + names_.memoryBytes() + containing_.memoryBytes() +
         boundary_.memoryBytes();
}

}  // namespace kst
