#pragma once

#include <string>
#include <vector>

namespace kst::springboard {

// springboard-ctl: drives a running shell through its control socket.
//
//   springboard-ctl [--root DIR] COMMAND [ARGUMENT...]
//
// The device root is --root, else KESTRIX_ROOT, else the default root.
// Prints the shell's answer; exits 0 on success, 1 when the shell refused
// or is not running, 2 on a bad command line.
int springboardCtlMain(const std::vector<std::string>& args);

}  // namespace kst::springboard
