#pragma once

#include "hook/store/KstSettingsManager.h"

namespace kst {

// A hooked process runs no thread of ours until it needs one: a program that
// forks helpers and checks that it is single-threaded (a browser's zygote)
// must stay so, and a process that never connects never needs one. So its
// notification observer (registered at start-up without listening) and its
// resume watch start at its first judged call, and again in a forked child.
//
// What such a process misses before then is the reload notifications: it
// reads them back from the rule files. Every reload that follows the files
// notes what they were; the first judged call reloads both parts when they
// have changed since (a reload notification is only ever posted after one
// of them changed).
//
// Both functions may be called from any thread, never from a signal handler.

// Just before a reload of both parts (start-up, the reload notification).
void noteRuleFilesRead(const KstSettingsManager& m);

// At each judged call, before its checks: starts what waits for the first
// one. Two atomic loads once started.
void startWatchesForJudging(KstSettingsManager& m);

}  // namespace kst
