#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "hook/rules/RuleList.h"
#include "hook/rules/RuleSet.h"
#include "hook/rules/SessionAnswerStore.h"

namespace kst {

enum class Transport { kTCP, kUDP };
enum class Verdict { kAllow, kDeny, kUndecided };

// The step of the decision order that settled a connection.
enum class DecisionStep {
  kNetworkBlock,
  kWhiteList,
  kBuiltInHost,
  kSessionAnswer,  // the run-wide "All Session" answer
  kGlobalDeny,
  kGlobalAllow,
  kAppEverything,  // the application's "allowEverything"
  kAppDeny,
  kAppAllow,
  kTempDeny,
  kTempAllow,
  kSpringBoardNotReady,
  kUndecided,
};

// One destination as the socket hooks prepared it.
struct Destination {
  std::string host;     // the name it is known by, "www." already removed
  int port = 0;         // host byte order
  std::string address;  // the address text
};

struct Decision {
  Verdict verdict = Verdict::kUndecided;
  DecisionStep step = DecisionStep::kUndecided;
  // The decision goes to the connection log (logging is on and the step is
  // one that logs).
  bool log = false;

  // "allowed" or "denied", the word of the log line.
  std::string_view what() const;
};

// Everything one decision reads, taken once.
struct DecisionInput {
  std::shared_ptr<const RuleSet> rules;  // null: nothing read yet
  SessionAnswers session;
  bool networkBlocked = false;  // not on WiFi while a WiFi-only switch is on
  bool logging = false;         // the connection log is on
  bool canAsk = false;          // SpringBoard has finished starting
};

// The decision order as a function of its input alone (no I/O, no reload):
// network block, white list, built-in host (TCP only), run-wide answer,
// global rules, application rules, session rules, SpringBoard not yet
// ready to ask.
Decision decide(const DecisionInput& input, Transport transport, const Destination& destination);

std::string_view describeStep(DecisionStep step);

// The settings application, which may not reach the built-in host freely.
inline constexpr std::string_view kPanelBundleId = "com.Dovrane.KestrixPanel";

}  // namespace kst
