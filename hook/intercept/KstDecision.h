#pragma once

#include "hook/rules/Decision.h"

namespace kst {

class KstSettingsManager;

// The manager's input, once: reloads the global part first when it was
// never read and, for UDP, the application's when it is incomplete.
DecisionInput decisionInput(KstSettingsManager& manager, Transport transport);

// decide() over the manager's current input. Any thread; the hooks call it
// while holding their protocol lock.
Decision decideConnection(KstSettingsManager& manager, Transport transport, const Destination& destination);

// UDP only, before the lock and the host lookup: an application that allows
// everything without detailed rules sends its datagrams at once, unlogged.
bool udpAllowedAtOnce(const KstSettingsManager& manager);

}  // namespace kst
