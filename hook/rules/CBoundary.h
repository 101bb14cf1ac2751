#pragma once

#include <syslog.h>

#include <utility>

namespace kst {

// The line the system log gets when something fails inside the library
// where the program called in (a replaced function, an exported function, a
// constructor, a notification callback); %s names the place.
inline constexpr const char* kInternalFailureLogFormat = "Kestrix: internal failure in %s; the call goes on";

// Runs `body` at a C boundary: nothing it throws reaches the caller. On a
// failure (memory exhausted, a broken invariant) one line goes to the
// system log and `fallback` is returned; the caller then goes on as after a
// failed exchange with SpringBoard.
template <class R, class F>
R atCBoundary(const char* where, R fallback, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    syslog(LOG_ERR, kInternalFailureLogFormat, where);
    return fallback;
  }
}

template <class F>
void atCBoundary(const char* where, F&& body) noexcept {
  try {
    std::forward<F>(body)();
  } catch (...) {
    syslog(LOG_ERR, kInternalFailureLogFormat, where);
  }
}

}  // namespace kst
