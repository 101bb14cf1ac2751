#pragma once

#include "platform/substrate/LibcFunctionTypes.h"

// The replacements of the calls that end or replace a descriptor number:
// close, dup2, dup3, close_range and closefrom. Before the real call, each
// tells what the library keeps by number that the number is going:
//  - a DNS socket's mark is cleared, so a socket that takes the number at
//    once is never read as DNS;
//  - a number known to hold a datagram socket is known no more;
//  - a parked connect's socket lives on in the library's own descriptor
//    until its answer, no longer under the program's number;
//  - the watch of the files a judged call depends on is not asked through
//    a number the program closes or fills with a file of its own.
// The result and errno are the real call's.
namespace kst {

extern CloseFn orig_close;
extern Dup2Fn orig_dup2;
extern Dup3Fn orig_dup3;
extern CloseRangeFn orig_close_range;
extern ClosefromFn orig_closefrom;

int my_close(int fd) noexcept;
int my_dup2(int oldFd, int newFd) noexcept;
int my_dup3(int oldFd, int newFd, int flags) noexcept;
int my_close_range(unsigned int first, unsigned int last, int flags) noexcept;
void my_closefrom(int lowest) noexcept;

}  // namespace kst
