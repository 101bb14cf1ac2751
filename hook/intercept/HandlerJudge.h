#pragma once

#include "hook/intercept/JudgedAddress.h"

namespace kst {

// Socket calls made from a signal handler. A handler may have interrupted its
// thread anywhere: inside malloc, inside a lock of the settings manager, or
// inside a replacement that holds a protocol lock while it waits for an
// answer. So the handler's own call neither allocates nor takes a lock: it
// copies the destination into a preallocated slot, wakes the judge thread
// and waits for its verdict on a futex, at most kHandlerJudgeWaitMs. The
// judge thread (every signal blocked) runs the
// ordinary decision without the protocol lock and never asks. The judge
// starts with the process's first socket call outside a handler (a process
// runs no thread of ours before it needs one).
//
// The rule for what cannot be judged there: a destination no rule decides
// (a question cannot be put from a handler), a verdict that does not come
// within the bound, a judge still busy with one request after the bound
// (it waits on something an interrupted thread holds), all slots busy, or
// no judge thread: the call is refused with EPERM.
enum class HandlerCall { kTcp, kFastOpen, kDatagram };

struct HandlerRequest {
  HandlerCall call = HandlerCall::kTcp;
  JudgedAddress address;
};

inline constexpr int kHandlerJudgeWaitMs = 1000;

// What the judge thread runs for one request: true lets the call through.
// Runs on the judge thread only, marked as the library's own calls.
using HandlerJudgeFn = bool (*)(const HandlerRequest& request);

// Starts the judge thread if it is not running (again after fork: a child
// has none until it makes a call outside a handler, and refuses its
// handlers' calls until then). Not from a signal handler. Returns whether
// it runs; cheap when it does.
bool startHandlerJudge(HandlerJudgeFn judge);

// From a signal handler: the verdict for `request` (true: let through).
// Async-signal-safe: no allocation, no lock, errno preserved.
bool judgeFromHandler(const HandlerRequest& request) noexcept;

}  // namespace kst
