#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kst::tools {

// kestrix-notify: posts or watches Darwin notifications from the shell.
//   kestrix-notify post NAME [--root DIR]
//   kestrix-notify observe NAME [--count N] [--root DIR]
// "observe" prints the name once per arrival and, with --count, exits after
// N arrivals. Returns the exit status: 0 done, 1 failed, 2 usage error.
int runNotifyTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kst::tools
