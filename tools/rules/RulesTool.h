#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kst::rules {

// kestrix-rules: lists and edits the rule store of a device root from a
// terminal, through the same store code as the settings application (whole
// files written atomically, "150" kept, an unreadable file kept aside), and
// announces every change with the reload notification so that running
// programs follow at once.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;     // an argument was refused; nothing written
inline constexpr int kExitUnwritable = 2;  // the store could not be written

int runRules(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kst::rules
