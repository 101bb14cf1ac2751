#include "hook/intercept/DecisionTrace.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "hook/rules/RuleList.h"
#include "hook/rules/performTest.h"
#include "hook/store/KstSettingsManager.h"

namespace kst {

namespace {

constexpr const char* kTraceVariable = "KESTRIX_VERBOSE";

std::shared_ptr<const RuleList> listOf(const KstSettingsManager& m, DecisionStep step) {
  switch (step) {
    case DecisionStep::kGlobalDeny:
      return m.globalDenyArray();
    case DecisionStep::kGlobalAllow:
      return m.globalAllowArray();
    case DecisionStep::kAppDeny:
      return m.denyArray();
    case DecisionStep::kAppAllow:
      return m.allowArray();
    case DecisionStep::kTempDeny:
      return m.tempDenyArray();
    case DecisionStep::kTempAllow:
      return m.tempAllowArray();
    default:
      return nullptr;
  }
}

// The prompt's answers by code, as a person would name them.
std::string_view answerName(int answer) {
  static constexpr std::string_view kNames[] = {"allow once",
                                                "deny once",
                                                "always allow",
                                                "always deny",
                                                "allow all",
                                                "deny all",
                                                "allow for this session",
                                                "deny for this session",
                                                "global allow",
                                                "global deny",
                                                "allow everything this session",
                                                "deny everything this session"};
  return answer >= 0 && answer < static_cast<int>(std::size(kNames)) ? kNames[answer] : "no answer";
}

std::string head(std::string_view app, Transport transport, const Destination& d) {
  std::string line = "kestrix: ";
  line += app.empty() ? std::string_view("(unnamed)") : app;
  line += " -> " + d.host + ":" + std::to_string(d.port);
  if (d.address != d.host) line += " (" + d.address + ")";
  line += transport == Transport::kUDP ? " UDP " : " TCP ";
  return line;
}

}  // namespace

std::string matchingRule(const KstSettingsManager& manager, DecisionStep step, const Destination& d) {
  const std::shared_ptr<const RuleList> list = listOf(manager, step);
  if (!list) return {};
  for (const std::string& rule : list->rules()) {
    const std::vector<std::string> one{rule};
    if (performTest(&one, d.host, d.port, d.address)) return rule;
  }
  return {};
}

bool decisionTracing() {
  static const bool on = [] {
    const char* value = std::getenv(kTraceVariable);
    return value != nullptr && value[0] != '\0' && std::string_view(value) != "0";
  }();
  return on;
}

std::string decisionLine(std::string_view app, Transport transport, const Destination& d,
                         const Decision& decision, std::string_view rule) {
  std::string line = head(app, transport, d);
  line += decision.verdict == Verdict::kAllow  ? "allowed"
          : decision.verdict == Verdict::kDeny ? "denied"
                                               : "undecided";
  line += " by ";
  line += describeStep(decision.step);
  if (!rule.empty()) line += " \"" + std::string(rule) + "\"";
  return line + "\n";
}

std::string answerLine(std::string_view app, Transport transport, const Destination& d, bool allowed,
                       int answer) {
  std::string line = head(app, transport, d);
  line += allowed ? "allowed" : "denied";
  if (answer < 0) return line + ": no rule decides and no answer came (is the shell running?)\n";
  line += " by the answer \"";
  line += answerName(answer);
  return line + "\"\n";
}

void traceLine(const std::string& line) {
  if (!decisionTracing()) return;
  // One write keeps lines of several threads whole; a failed one is dropped.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace kst
