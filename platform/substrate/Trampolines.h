#pragma once

#include "platform/substrate/HookTable.h"

namespace kst::substrate {

// The addresses behind the hook table, from the file that defines the
// trampolines.

// The library's own exported definition of the slot's function.
void* trampolineAddress(Hook hook);
// For a slot whose real function may appear only later (libcurl): a
// function of the same shape that resolves the real one when called and
// forwards to it, or fails like the trampoline when there is none. The
// replacement's slot gets it until the real function is known. nullptr for
// the other slots.
void* lateForwarderAddress(Hook hook);
// The stand-in's own implementation of a builtin slot; nullptr otherwise.
void* builtinAddress(Hook hook);

}  // namespace kst::substrate
