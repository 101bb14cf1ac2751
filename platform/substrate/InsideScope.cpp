#include "platform/substrate/InsideScope.h"

namespace kst::substrate {

// Initial-exec: the library is loaded at start, so its TLS sits in the
// static block and no access ever goes through __tls_get_addr (which may
// allocate on a thread's first touch).
constinit thread_local int tInsideDepth __attribute__((tls_model("initial-exec"))) = 0;

}  // namespace kst::substrate
