#include "hook/intercept/DescriptorHooks.h"

#include <linux/close_range.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "hook/intercept/DatagramSockets.h"
#include "hook/intercept/DnsSockets.h"
#include "hook/intercept/ParkedConnects.h"
#include "hook/intercept/SignalHandlerState.h"
#include "hook/intercept/WatchedFiles.h"

namespace kst {

CloseFn orig_close = ::close;
Dup2Fn orig_dup2 = ::dup2;
Dup3Fn orig_dup3 = ::dup3;
CloseRangeFn orig_close_range = ::close_range;
ClosefromFn orig_closefrom = ::closefrom;

namespace {

// The numbers first..last are about to be closed or replaced.
void programGivesUp(int first, int last) noexcept {
  if (first < 0 || last < first) return;
  WatchedFiles::programTakes(first, last);
  datagramSockets().forget(first, last);
  // From a signal handler only the marks go (no lock); bytes gathered for
  // a number are dropped when it is marked again.
  const bool mayLock = !inSignalHandler();
  DnsSockets& dns = dnsSockets();
  const int lastMarkable = std::min(last, DnsSockets::kMaxDescriptor - 1);
  for (int fd = first; fd <= lastMarkable; ++fd) {
    if (dns.kindOf(fd) != DnsSockets::Kind::kNone) [[unlikely]]
      dns.clear(fd, mayLock);
  }
  if (ParkedConnects::anyParked() && mayLock) [[unlikely]]
    ParkedConnects::process().programCloses(first, last);
}

int asInt(unsigned int n) noexcept {
  return n > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

}  // namespace

int my_close(int fd) noexcept {
  programGivesUp(fd, fd);
  return orig_close(fd);
}

int my_dup2(int oldFd, int newFd) noexcept {
  // dup2 of a number onto itself changes nothing.
  if (oldFd != newFd) programGivesUp(newFd, newFd);
  return orig_dup2(oldFd, newFd);
}

int my_dup3(int oldFd, int newFd, int flags) noexcept {
  if (oldFd != newFd) programGivesUp(newFd, newFd);
  return orig_dup3(oldFd, newFd, flags);
}

int my_close_range(unsigned int first, unsigned int last, int flags) noexcept {
  // Marked close-on-exec only: every number stays what it is until an exec.
  if ((static_cast<unsigned int>(flags) & CLOSE_RANGE_CLOEXEC) == 0 && first <= last)
    programGivesUp(asInt(first), asInt(last));
  return orig_close_range(first, last, flags);
}

void my_closefrom(int lowest) noexcept {
  programGivesUp(std::max(lowest, 0), INT_MAX);
  orig_closefrom(lowest);
}

}  // namespace kst
