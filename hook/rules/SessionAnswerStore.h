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

// Where the process keeps them: one snapshot of all three, taken whole by a
// decision (one lock), each change made as one step under that lock, from
// any thread.
class SessionAnswerStore {
 public:
  SessionAnswers current() const {
    const std::shared_ptr<const SessionAnswers> now = answers_.get();
    return now ? *now : SessionAnswers{};
  }
  std::shared_ptr<const RuleList> allowRules() const { return current().allow; }
  std::shared_ptr<const RuleList> denyRules() const { return current().deny; }
  std::shared_ptr<const std::string> all() const { return current().all; }

  void setAll(std::string value) {
    change([&](SessionAnswers& a) { a.all = std::make_shared<const std::string>(std::move(value)); });
  }
  void addAllowRule(std::string rule) {
    change([&](SessionAnswers& a) { a.allow = appended(a.allow.get(), std::move(rule)); });
  }
  void addDenyRule(std::string rule) {
    change([&](SessionAnswers& a) { a.deny = appended(a.deny.get(), std::move(rule)); });
  }
  // Both lists empty and the run-wide answer `neither`.
  void clear(std::string neither) {
    change([&](SessionAnswers& a) {
      a.allow = RuleList::empty();
      a.deny = RuleList::empty();
      a.all = std::make_shared<const std::string>(std::move(neither));
    });
  }

 private:
  template <class F>
  void change(F&& edit) {
    answers_.update([&](const SessionAnswers* old) {
      SessionAnswers next = old != nullptr ? *old : SessionAnswers{};
      edit(next);
      return std::make_shared<const SessionAnswers>(std::move(next));
    });
  }
  static std::shared_ptr<const RuleList> appended(const RuleList* old, std::string rule) {
    std::vector<std::string> rules = old != nullptr ? old->rules() : std::vector<std::string>();
    rules.push_back(std::move(rule));
    return RuleList::make(std::move(rules));
  }

  SharedField<SessionAnswers> answers_;
};

}  // namespace kst
