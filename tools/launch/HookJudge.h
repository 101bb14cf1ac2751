#pragma once

#include <string>

#include "tools/launch/Supervisor.h"

namespace kst::launch {

// The supervisor's judge: the hook library's own decision, question and log
// line, on this process's settings manager for the launched bundle. Its
// session answers live as long as the supervisor, that is as long as the
// tree; it reloads the rules when the shell says they changed, as a hooked
// process does. Made once per process, before its first judgement, with the
// application's identity already in the environment.
class HookJudge : public CallJudge {
 public:
  explicit HookJudge(const std::string& bundleIdentifier);
  bool connectAllowed(const JudgedAddress& address) override;
  bool datagramAllowed(const JudgedAddress& address, const void* payload, std::size_t length) override;
};

}  // namespace kst::launch
