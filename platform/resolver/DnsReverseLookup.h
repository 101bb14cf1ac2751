#pragma once

#include <sys/socket.h>

#include <chrono>
#include <string>

#include "platform/resolver/ResolvConf.h"

namespace kst {

// What a reverse lookup over DNS found.
enum class ReverseStatus {
  kName,      // a PTR name
  kNoName,    // the nameserver answered: no name (NXDOMAIN, no PTR record)
  kNoAnswer,  // no usable answer within the time allowed
};

struct ReverseAnswer {
  ReverseStatus status = ReverseStatus::kNoAnswer;
  std::string name;  // kName only: the name without its final dot
};

// One PTR question for `address` (IPv4 or IPv6; an IPv4-mapped IPv6
// address is asked as IPv4) sent over UDP to the configuration's
// nameservers in turn, each once, until one answers with a name or a
// definite "no name"; a server that fails (SERVFAIL, REFUSED, a reply that
// does not match the question) or stays silent hands on to the next. The
// whole lookup returns within `budget`, shared out between the servers that
// remain. The reply is read with the C library's DNS message parser. Sends
// nothing without nameservers. Blocks the calling thread; safe to call from
// several threads.
ReverseAnswer dnsReverseLookup(const ResolvConf& conf, const sockaddr* address, socklen_t length,
                               std::chrono::milliseconds budget);

// The question name of a PTR lookup: "4.3.2.1.in-addr.arpa" or the nibbles
// of "...ip6.arpa"; empty for another family or a short length.
std::string reverseQueryName(const sockaddr* address, socklen_t length);

}  // namespace kst
