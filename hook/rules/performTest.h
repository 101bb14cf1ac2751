#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kst {

// Whether at least one rule of `rules` matches the destination: `host` is
// the name the destination is known by ("www." already removed), `port` the
// destination port in host order, `address` the address text (dotted IPv4
// or IPv6 text). Rules are tried in order, each through the four shapes:
// any-host port rule, IPv4 rule, IPv6 rule, host-name rule. An absent or
// empty list gives false. Pure: safe from any thread.
//
// This is the literal, linear matcher; RuleList answers the same question
// from an index and is what the hooks use.
bool performTest(const std::vector<std::string>* rules, std::string_view host, int port,
                 std::string_view address);

}  // namespace kst
