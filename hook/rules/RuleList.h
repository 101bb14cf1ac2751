#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hook/rules/RuleIndex.h"

namespace kst {

// One rule list of the settings manager (the texts of an "allow", "deny",
// "globalAllow", "globalDeny" or session list, in stored order) together
// with its compiled matcher. Immutable once made: a list is replaced, never
// edited, so readers may share it across threads without locking.
//
// make() compiles the index, which for a long list takes a noticeable time
// (tens of milliseconds for 100,000 rules): call it before taking any lock
// that connections wait for, and only swap the finished list in under it.
class RuleList {
 public:
  static std::shared_ptr<const RuleList> make(std::vector<std::string> rules);
  static std::shared_ptr<const RuleList> empty();

  const std::vector<std::string>& rules() const { return rules_; }
  bool isEmpty() const { return rules_.empty(); }
  std::size_t size() const { return rules_.size(); }

  // The same answer as performTest(&rules(), host, port, address), from the index.
  bool matches(std::string_view host, int port, std::string_view address) const;

  explicit RuleList(std::vector<std::string> rules);

 private:
  std::vector<std::string> rules_;
  RuleIndex index_;
};

}  // namespace kst
