#include "hook/intercept/KstDecision.h"

#include <algorithm>

#include "hook/store/KstFiles.h"
#include "hook/store/KstSettingsManager.h"

namespace kst {

namespace {

Decision decided(Verdict v, DecisionStep step, bool logs, const KstFlags& flags) {
  return Decision{v, step, logs && get(flags.logging)};
}

bool listMatches(const std::shared_ptr<const RuleList>& list, const Destination& d) {
  return list && !list->isEmpty() && list->matches(d.host, d.port, d.address);
}

// The run-wide answer: "1" allows everything, "2" denies everything.
std::optional<Decision> sessionAnswer(const KstSettingsManager& m, const KstFlags& flags) {
  std::shared_ptr<const std::string> all = m.tempAllowAllString();
  if (!all) return std::nullopt;
  if (*all == files::kAllowEverything) return decided(Verdict::kAllow, DecisionStep::kSessionAnswer, true, flags);
  if (*all == files::kDenyEverything) return decided(Verdict::kDeny, DecisionStep::kSessionAnswer, true, flags);
  return std::nullopt;
}

std::optional<Decision> appEverything(const KstSettingsManager& m, const KstFlags& flags) {
  std::shared_ptr<const std::string> everything = m.allowEverything();
  if (!everything) return std::nullopt;
  if (*everything == files::kDenyEverything)
    return decided(Verdict::kDeny, DecisionStep::kAppEverything, true, flags);
  if (*everything == files::kAllowEverything)
    return decided(Verdict::kAllow, DecisionStep::kAppEverything, true, flags);
  return std::nullopt;
}

}  // namespace

std::string_view Decision::what() const { return verdict == Verdict::kDeny ? "denied" : "allowed"; }

Decision decideConnection(KstSettingsManager& m, Transport transport, const Destination& d) {
  const KstFlags& flags = m.flags();

  // 1. Not on WiFi while a WiFi-only switch is on.
  if (get(flags.blockNonWiFi) || get(flags.blockSpecificWiFi))
    return decided(Verdict::kDeny, DecisionStep::kNetworkBlock, false, flags);

  // 2. The white list names the host exactly.
  if (auto white = m.whiteListArray(); white && std::find(white->begin(), white->end(), d.host) != white->end())
    return decided(Verdict::kAllow, DecisionStep::kWhiteList, false, flags);

  // 3. The built-in host, for everyone but the settings application.
  if (transport == Transport::kTCP) {
    auto basic = m.basicString();
    auto bundle = m.currentBundleIdentifier();
    if (basic && d.host == *basic && !(bundle && *bundle == kPanelBundleId))
      return decided(Verdict::kAllow, DecisionStep::kBuiltInHost, false, flags);
  }

  // 4. The run-wide answer wins over global rules unless they are respected.
  if (!get(flags.respectGlobal))
    if (auto answer = sessionAnswer(m, flags)) return *answer;

  // 5. Global rules, deny first.
  if (!m.globalAllowArray() || !m.globalDenyArray()) m.reloadGlobalSettings();
  if (listMatches(m.globalDenyArray(), d)) return decided(Verdict::kDeny, DecisionStep::kGlobalDeny, true, flags);
  if (listMatches(m.globalAllowArray(), d))
    return decided(Verdict::kAllow, DecisionStep::kGlobalAllow, true, flags);

  // 6.
  if (get(flags.respectGlobal))
    if (auto answer = sessionAnswer(m, flags)) return *answer;

  if (transport == Transport::kUDP && m.needsAppReload()) m.reloadAppSettings();

  // 7. The application's own rules; "allowEverything" before or after the
  // detailed rules, as "stillUseRules" says.
  if (get(flags.bundleExistsInPlist)) {
    const bool detailed = get(flags.useDetailedRules);
    if (!detailed)
      if (auto all = appEverything(m, flags)) return *all;
    if (listMatches(m.denyArray(), d)) return decided(Verdict::kDeny, DecisionStep::kAppDeny, true, flags);
    if (listMatches(m.allowArray(), d)) return decided(Verdict::kAllow, DecisionStep::kAppAllow, true, flags);
    if (detailed)
      if (auto all = appEverything(m, flags)) return *all;
  }

  // 8. Answers for this run.
  if (listMatches(m.tempDenyArray(), d)) return decided(Verdict::kDeny, DecisionStep::kTempDeny, true, flags);
  if (listMatches(m.tempAllowArray(), d)) return decided(Verdict::kAllow, DecisionStep::kTempAllow, true, flags);

  // 9. No prompt can be shown before SpringBoard is ready.
  if (!get(flags.SpringBoardDidFinish))
    return decided(Verdict::kAllow, DecisionStep::kSpringBoardNotReady, false, flags);

  return Decision{};
}

bool udpAllowedAtOnce(const KstSettingsManager& m) {
  if (get(m.flags().useDetailedRules)) return false;
  auto everything = m.allowEverything();
  return everything && *everything == files::kAllowEverything;
}

std::string_view describeStep(DecisionStep step) {
  switch (step) {
    case DecisionStep::kNetworkBlock: return "not on WiFi while a WiFi-only switch is on";
    case DecisionStep::kWhiteList: return "white list";
    case DecisionStep::kBuiltInHost: return "built-in host";
    case DecisionStep::kSessionAnswer: return "answer for the whole application this run";
    case DecisionStep::kGlobalDeny: return "global deny rule";
    case DecisionStep::kGlobalAllow: return "global allow rule";
    case DecisionStep::kAppEverything: return "application allows or denies everything";
    case DecisionStep::kAppDeny: return "application deny rule";
    case DecisionStep::kAppAllow: return "application allow rule";
    case DecisionStep::kTempDeny: return "session deny rule";
    case DecisionStep::kTempAllow: return "session allow rule";
    case DecisionStep::kSpringBoardNotReady: return "SpringBoard not ready to ask";
    case DecisionStep::kUndecided: return "no rule decides: the user would be asked";
  }
  return "";
}

}  // namespace kst
