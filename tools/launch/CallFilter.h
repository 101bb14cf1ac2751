#pragma once

#include <string>

#include "hook/intercept/JudgedCall.h"

namespace kst::launch {

// The system-call filter of a supervised tree, installed by the process
// about to exec the program (single-threaded, after fork). It sets
// no_new_privs, then hands to the supervisor every connect, sendto with an
// address, sendmsg and sendmmsg, except those that carry `token` (the hook
// library's own, already judged); refuses io_uring_setup with ENOSYS, so
// that programs fall back to calls the filter sees; and refuses the socket
// calls of the machine's other system-call ABIs (32-bit, x32), which the
// supervisor does not read, with EPERM. Everything else passes in the
// filter itself.
//
// Returns the listener (close-on-exec), or -1 with `error` set. `killable`
// tells whether a call waits for its answer killably once the supervisor has
// it (newer kernels): then no signal but a fatal one interrupts it, and a
// restarted call never asks twice.
struct InstalledFilter {
  int listener = -1;
  bool killable = false;
  // An outer launch's filter already has the tree's one listener (the
  // kernel allows one): this program stays under that filter alone.
  bool underOuterFilter = false;
};
InstalledFilter installCallFilter(const CallToken& token, std::string* error);

// The token as KESTRIX_CALL_TOKEN carries it.
std::string callTokenText(const CallToken& token);
// A fresh token from the kernel's random source; nothing when it has none.
std::optional<CallToken> newCallToken();

}  // namespace kst::launch
