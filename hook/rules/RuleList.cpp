#include "hook/rules/RuleList.h"

namespace kst {

RuleList::RuleList(std::vector<std::string> rules) : rules_(std::move(rules)), index_(rules_) {}

std::shared_ptr<const RuleList> RuleList::make(std::vector<std::string> rules) {
  return std::make_shared<const RuleList>(std::move(rules));
}

std::shared_ptr<const RuleList> RuleList::empty() {
  static const auto* none = new std::shared_ptr<const RuleList>(make({}));
  return *none;
}

bool RuleList::matches(std::string_view host, int port, std::string_view address) const {
  return index_.matches(host, port, address);
}

}  // namespace kst
