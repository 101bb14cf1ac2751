#pragma once

// Provided by the substrate: whether the calling thread runs a handler of
// the program's. Absent (no substrate, as in the library's own tests): never.
extern "C" int kst_substrate_in_signal_handler(void) __attribute__((weak));

namespace kst {

// Whether a replacement was entered from one of the program's signal
// handlers, where it may take no lock and allocate nothing.
inline bool inSignalHandler() noexcept {
  return kst_substrate_in_signal_handler != nullptr && kst_substrate_in_signal_handler() != 0;
}

}  // namespace kst
