#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "hook/rules/IntervalSets.h"
#include "hook/rules/KeyedPorts.h"
#include "hook/rules/NamePatterns.h"
#include "hook/rules/OctetRanges.h"

namespace kst {

// One rule list compiled for lookups: answers exactly what performTest
// answers for the same list, host, port and address, in time that depends on
// the host and address texts and on the rules that actually fit them, not on
// the length of the list.
//
// Every rule is read once, the way performTest reads it, and entered under
// each path by which it can match (a plain IPv4 rule both as an address and
// as a host name, an IPv6 rule both as an address and by its first
// ":"-piece, and so on):
//   any-host port rules          one port set
//   IPv4 exact                   address text -> ports
//   IPv4 "*"                     first three parts -> ports
//   IPv4 last-part range         first three parts -> ranges and ports
//   IPv6, with or without port   lower-case address -> ports (host or address,
//                                case ignored)
//   exact names                  lower-case name -> ports (host as it is)
//   "*." names                   patterns found at every "." of the host
//   other "*" names              patterns found at every label start of the
//                                host, kept only where the pattern occurs
//                                for the first time
//
// Immutable after construction; matches() may be called from any thread.
class RuleIndex {
 public:
  explicit RuleIndex(const std::vector<std::string>& rules);

  bool matches(std::string_view host, int port, std::string_view address) const;
  // Heap bytes held by the index (an estimate from container capacities).
  std::size_t memoryBytes() const;

 private:
  void addRule(std::string_view rule);
  void addAnyHostRule(std::string_view rule);
  void addIpv4Rule(std::string_view rule);
  void addIpv6Rule(std::string_view rule);
  void addHostNameRule(std::string_view rule);

  bool ipv4Matches(int port, std::string_view address) const;
  bool hostNameMatches(std::string_view host, int port) const;

  IntervalSets anyHostPorts_;  // one set, owner 0
  bool hasAnyHost_ = false;
  KeyedPorts addresses_;
  KeyedPorts networks_;
  OctetRanges octetRanges_;
  KeyedPorts ipv6_;
  KeyedPorts names_;
  NamePatterns containing_;
  NamePatterns boundary_;
};

}  // namespace kst
