#pragma once

namespace kst::substrate {

// How deep the calling thread is inside a replacement or a host-name lookup.
// While it is above zero, every trampoline goes straight to the real
// function: those calls are the hook library's own traffic or the C
// library resolver's, never the application's. Thread-local and lock-free,
// so it costs one memory access; kept in static TLS so that reading it
// never allocates, also before the allocator is ready.
extern constinit thread_local int tInsideDepth __attribute__((tls_model("initial-exec")));

inline bool inside() noexcept {
  return tInsideDepth > 0;
}

// Marks the calling thread inside for the scope's lifetime. Leaves errno
// alone, so it may wrap a call whose errno the caller reads.
class InsideScope {
 public:
  InsideScope() noexcept { ++tInsideDepth; }
  ~InsideScope() { --tInsideDepth; }
  InsideScope(const InsideScope&) = delete;
  InsideScope& operator=(const InsideScope&) = delete;
};

}  // namespace kst::substrate
