#include "hook/intercept/KstDecision.h"

#include "hook/rules/KstFiles.h"
#include "hook/store/KstSettingsManager.h"

namespace kst {

DecisionInput decisionInput(KstSettingsManager& m, Transport transport) {
  std::shared_ptr<const RuleSet> rules = m.ruleSet();
  if (!rules || !rules->global) {
    m.reloadGlobalSettings();
    rules = m.ruleSet();
  }
  if (transport == Transport::kUDP && m.needsAppReload()) {
    m.reloadAppSettings();
    rules = m.ruleSet();
  }
  const KstFlags& flags = m.flags();
  DecisionInput in;
  in.rules = std::move(rules);
  in.session = m.sessionAnswers();
  in.networkBlocked = get(flags.blockNonWiFi) || get(flags.blockSpecificWiFi);
  in.logging = get(flags.logging);
  in.canAsk = get(flags.SpringBoardDidFinish);
  return in;
}

Decision decideConnection(KstSettingsManager& m, Transport transport, const Destination& d) {
  return decide(decisionInput(m, transport), transport, d);
}

bool udpAllowedAtOnce(const KstSettingsManager& m) {
  const std::shared_ptr<const RuleSet> rules = m.ruleSet();
  const AppRuleSet* app = rules ? rules->app.get() : nullptr;
  return app != nullptr && !app->detailedRules && app->allowEverything &&
         *app->allowEverything == files::kAllowEverything;
}

}  // namespace kst
