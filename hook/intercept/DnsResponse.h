#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hook/intercept/KstLookedUpNames.h"

namespace kst {

// What a DNS response tells about names: the name asked for and the IPv4
// and IPv6 addresses the answer gives for it, directly or through a chain of
// CNAME records (the chain's target names are not what the program asked
// for, and rules judge by the name asked for).
struct DnsAnswer {
  std::string question;                              // lower case, without the final dot
  std::vector<KstLookedUpNames::Address> addresses;  // in answer order, each once
};

// Reads one DNS message (no TCP length prefix) with the C library's parser
// (ns_initparse, ns_parserr, ns_name_uncompress: bounds, compression
// pointers and their loops are checked there). Nothing unless it is a
// successful response (QR set, a standard query, no error) to one question
// of class IN and type A or AAAA whose answer holds at least one address
// for the name; a message it cannot read whole records nothing. Reads only
// the `length` bytes at `message`; allocates; safe from any thread.
std::optional<DnsAnswer> parseDnsResponse(const unsigned char* message, std::size_t length);

// The ID and the one question of a DNS message, query or response alike
// (name lower case, without the final dot); nothing for a message that
// cannot be read or holds other than one question. The same bounds.
struct DnsQuestion {
  std::uint16_t id = 0;
  std::string name;
  bool operator==(const DnsQuestion&) const = default;
};
std::optional<DnsQuestion> parseDnsQuestion(const unsigned char* message, std::size_t length);

}  // namespace kst
