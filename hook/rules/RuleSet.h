#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hook/rules/RuleList.h"

namespace kst {

// The application's part of the rule files, as one reload read it.
struct AppRuleSet {
  bool inRulesFile = false;    // its entry exists ("bundleExistsInPlist")
  bool detailedRules = false;  // "stillUseRules"
  // "allowEverything" as stored: "", "0", "1" (allow) or "2" (deny).
  std::shared_ptr<const std::string> allowEverything;
  std::shared_ptr<const RuleList> allow;
  std::shared_ptr<const RuleList> deny;
  std::shared_ptr<const std::vector<std::string>> whiteList;
};

// The global part of the rule files, as one reload read it.
struct GlobalRuleSet {
  std::shared_ptr<const RuleList> allow;
  std::shared_ptr<const RuleList> deny;
  bool respectGlobal = false;
};

// Everything a decision reads from the rule files, as one value. A reload
// builds its part whole and publishes a new set with one swap, so a
// decision that takes the set once never pairs a new list with an old one
// or with old switches. A part is null until it was first read.
struct RuleSet {
  std::shared_ptr<const AppRuleSet> app;
  std::shared_ptr<const GlobalRuleSet> global;
  std::shared_ptr<const std::string> builtInHost;  // "basicString"
  std::shared_ptr<const std::string> bundleId;
};

}  // namespace kst
