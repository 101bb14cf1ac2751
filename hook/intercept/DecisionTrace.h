#pragma once

#include <string>
#include <string_view>

#include "hook/intercept/KstDecision.h"

namespace kst {

// Explains decisions to a person: the rule that decided (for kestrix-judge)
// and, in a process started with KESTRIX_VERBOSE=1 (kestrix-launch
// --verbose), one line per judged connection on the program's standard
// error, so "why was this refused?" has an answer without the log file.

// The first rule of the list behind `step` that matches the destination;
// empty for steps that are not a rule list.
std::string matchingRule(const KstSettingsManager& manager, DecisionStep step,
                         const Destination& destination);

// Whether this process traces; read from the environment once.
bool decisionTracing();

// The line for a decision the rules reached, and for one the person's answer
// (answer code `answer`; negative when no answer came) settled.
std::string decisionLine(std::string_view app, Transport transport, const Destination& destination,
                         const Decision& decision, std::string_view rule);
std::string answerLine(std::string_view app, Transport transport, const Destination& destination,
                       bool allowed, int answer);

// Writes the line to standard error in one write, when tracing.
void traceLine(const std::string& line);

}  // namespace kst
