#include "hook/rules/Decision.h"

#include <algorithm>

#include "hook/rules/KstFiles.h"

namespace kst {

namespace {

Decision decided(Verdict v, DecisionStep step, bool logs, const DecisionInput& in) {
  return Decision{v, step, logs && in.logging};
}

bool listMatches(const std::shared_ptr<const RuleList>& list, const Destination& d) {
  return list && !list->isEmpty() && list->matches(d.host, d.port, d.address);
}

// The run-wide answer: "1" allows everything, "2" denies everything.
std::optional<Decision> sessionAnswer(const DecisionInput& in) {
  const std::shared_ptr<const std::string>& all = in.session.all;
  if (!all) return std::nullopt;
  if (*all == files::kAllowEverything)
    return decided(Verdict::kAllow, DecisionStep::kSessionAnswer, true, in);
  if (*all == files::kDenyEverything) return decided(Verdict::kDeny, DecisionStep::kSessionAnswer, true, in);
  return std::nullopt;
}

std::optional<Decision> appEverything(const AppRuleSet& app, const DecisionInput& in) {
  if (!app.allowEverything) return std::nullopt;
  if (*app.allowEverything == files::kDenyEverything)
    return decided(Verdict::kDeny, DecisionStep::kAppEverything, true, in);
  if (*app.allowEverything == files::kAllowEverything)
    return decided(Verdict::kAllow, DecisionStep::kAppEverything, true, in);
  return std::nullopt;
}

}  // namespace

std::string_view Decision::what() const {
  return verdict == Verdict::kDeny ? "denied" : "allowed";
}

Decision decide(const DecisionInput& in, Transport transport, const Destination& d) {
  static const RuleSet kNothingRead;
  const RuleSet& rules = in.rules ? *in.rules : kNothingRead;
  const AppRuleSet* app = rules.app.get();
  const GlobalRuleSet* global = rules.global.get();

  // 1. Not on WiFi while a WiFi-only switch is on.
  if (in.networkBlocked) return decided(Verdict::kDeny, DecisionStep::kNetworkBlock, false, in);

  // 2. The white list names the host exactly.
  if (app != nullptr && app->whiteList &&
      std::find(app->whiteList->begin(), app->whiteList->end(), d.host) != app->whiteList->end())
    return decided(Verdict::kAllow, DecisionStep::kWhiteList, false, in);

  // 3. The built-in host, for everyone but the settings application.
  if (transport == Transport::kTCP && rules.builtInHost && d.host == *rules.builtInHost &&
      !(rules.bundleId && *rules.bundleId == kPanelBundleId))
    return decided(Verdict::kAllow, DecisionStep::kBuiltInHost, false, in);

  // 4. The run-wide answer wins over global rules unless they are respected.
  const bool respectGlobal = global != nullptr && global->respectGlobal;
  if (!respectGlobal)
    if (auto answer = sessionAnswer(in)) return *answer;

  // 5. Global rules, deny first.
  if (global != nullptr) {
    if (listMatches(global->deny, d)) return decided(Verdict::kDeny, DecisionStep::kGlobalDeny, true, in);
    if (listMatches(global->allow, d)) return decided(Verdict::kAllow, DecisionStep::kGlobalAllow, true, in);
  }

  // 6.
  if (respectGlobal)
    if (auto answer = sessionAnswer(in)) return *answer;

  // 7. The application's own rules; "allowEverything" before or after the
  // detailed rules, as "stillUseRules" says.
  if (app != nullptr && app->inRulesFile) {
    if (!app->detailedRules)
      if (auto all = appEverything(*app, in)) return *all;
    if (listMatches(app->deny, d)) return decided(Verdict::kDeny, DecisionStep::kAppDeny, true, in);
    if (listMatches(app->allow, d)) return decided(Verdict::kAllow, DecisionStep::kAppAllow, true, in);
    if (app->detailedRules)
      if (auto all = appEverything(*app, in)) return *all;
  }

  // 8. Answers for this run.
  if (listMatches(in.session.deny, d)) return decided(Verdict::kDeny, DecisionStep::kTempDeny, true, in);
  if (listMatches(in.session.allow, d)) return decided(Verdict::kAllow, DecisionStep::kTempAllow, true, in);

  // 9. No prompt can be shown before SpringBoard is ready.
  if (!in.canAsk) return decided(Verdict::kAllow, DecisionStep::kSpringBoardNotReady, false, in);

  return Decision{};
}

std::string_view describeStep(DecisionStep step) {
  switch (step) {
    case DecisionStep::kNetworkBlock:
      return "not on WiFi while a WiFi-only switch is on";
    case DecisionStep::kWhiteList:
      return "white list";
    case DecisionStep::kBuiltInHost:
      return "built-in host";
    case DecisionStep::kSessionAnswer:
      return "answer for the whole application this run";
    case DecisionStep::kGlobalDeny:
      return "global deny rule";
    case DecisionStep::kGlobalAllow:
      return "global allow rule";
    case DecisionStep::kAppEverything:
      return "application allows or denies everything";
    case DecisionStep::kAppDeny:
      return "application deny rule";
    case DecisionStep::kAppAllow:
      return "application allow rule";
    case DecisionStep::kTempDeny:
      return "session deny rule";
    case DecisionStep::kTempAllow:
      return "session allow rule";
    case DecisionStep::kSpringBoardNotReady:
      return "SpringBoard not ready to ask";
    case DecisionStep::kUndecided:
      return "no rule decides: the user would be asked";
  }
  return "";
}

}  // namespace kst
