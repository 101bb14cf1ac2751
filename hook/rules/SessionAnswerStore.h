#pragma once

#include <memory>
#include <string>

#include "hook/rules/RuleList.h"
#include "hook/rules/SharedField.h"

namespace kst {

// The answers given for this run, as one decision takes them: the run-wide
// one ("1" allows, "2" denies everything) and the session rules.
struct SessionAnswers {
  std::shared_ptr<const std::string> all;
  std::shared_ptr<const RuleList> allow;
  std::shared_ptr<const RuleList> deny;
};

// Where the process keeps them: each list changed as one step under its own
// lock, from any thread.
class SessionAnswerStore {
 public:
  SessionAnswers current() const { return SessionAnswers{all_.get(), allow_.get(), deny_.get()}; }
  std::shared_ptr<const RuleList> allowRules() const { return allow_.get(); }
  std::shared_ptr<const RuleList> denyRules() const { return deny_.get(); }
  std::shared_ptr<const std::string> all() const { return all_.get(); }

  void setAll(std::string value) { all_.set(std::make_shared<const std::string>(std::move(value))); }
  void addAllowRule(std::string rule) { add(allow_, std::move(rule)); }
  void addDenyRule(std::string rule) { add(deny_, std::move(rule)); }
  // Both lists empty and the run-wide answer `neither`.
  void clear(std::string neither) {
    deny_.set(RuleList::empty());
    allow_.set(RuleList::empty());
    setAll(std::move(neither));
  }

 private:
  static void add(SharedField<RuleList>& list, std::string rule) {
    list.update([&](const RuleList* old) {
      std::vector<std::string> rules = old != nullptr ? old->rules() : std::vector<std::string>();
      rules.push_back(std::move(rule));
      return RuleList::make(std::move(rules));
    });
  }

  SharedField<std::string> all_;
  SharedField<RuleList> allow_;
  SharedField<RuleList> deny_;
};

}  // namespace kst
