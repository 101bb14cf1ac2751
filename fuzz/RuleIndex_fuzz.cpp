// Differential fuzzing of the rule index: any input is read as a destination
// and a rule list, and the index must give the literal matcher's answer.
//
// Input: lines separated by '\n'. Line 0 is the host, line 1 the address,
// line 2 the port (leading integer, clamped to int); every further line is a
// rule. Each input is also tried with the address as the host (no name
// known) and with the host as the address.

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "hook/rules/RuleList.h"
#include "hook/rules/RuleText.h"
#include "hook/rules/performTest.h"

namespace {

void compare(const std::vector<std::string>& rules, const kst::RuleList& list, std::string_view host,
             int port, std::string_view address) {
  const bool expected = kst::performTest(&rules, host, port, address);
  if (list.matches(host, port, address) == expected) return;
  std::fprintf(stderr,
               "index differs from performTest (expected %d) for host [%.*s] port %d address [%.*s]\n",
               expected, static_cast<int>(host.size()), host.data(), port, static_cast<int>(address.size()),
               address.data());
  for (const auto& rule : rules) std::fprintf(stderr, "  rule [%s]\n", rule.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto lines = kst::ruletext::split(input, "\n");
  const std::string_view host = lines[0];
  const std::string_view address = lines.size() > 1 ? lines[1] : std::string_view();
  long long port = lines.size() > 2 ? kst::ruletext::leadingInteger(lines[2]) : 0;
  if (port > INT_MAX) port = INT_MAX;
  if (port < INT_MIN) port = INT_MIN;
  std::vector<std::string> rules;
  for (std::size_t i = 3; i < lines.size(); ++i) rules.emplace_back(lines[i]);

  const auto list = kst::RuleList::make(rules);
  compare(rules, *list, host, static_cast<int>(port), address);
  compare(rules, *list, address, static_cast<int>(port), address);
  compare(rules, *list, host, static_cast<int>(port), host);
  return 0;
}
