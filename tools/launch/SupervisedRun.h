#pragma once

#include "tools/launch/Launcher.h"

namespace kst::launch {

// Runs the plan's program under the system-call filter, supervised.
//
// Three processes: this one (the launcher) forks the supervisor, which
// forks the program. The program installs the filter and hands its
// listener to the supervisor before it execs; the supervisor judges the
// calls of the whole tree (it must be the program's ancestor to take its
// sockets and read its memory) until the last process under the filter has
// ended, so that a program's background children stay judged after it
// exits. The launcher forwards the signals sent to it to the program and
// exits with the program's status as soon as the program ends.
int runSupervised(const Plan& plan);

}  // namespace kst::launch
