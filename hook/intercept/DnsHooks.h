#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>

#include "platform/substrate/LibcFunctionTypes.h"

// The receive replacements that read the answers of a program's own DNS
// client: on a DNS socket (see DnsSockets) each one hands a copy of what the
// real call returned to the DNS response parser, and records every address
// the answer gives under the name asked for, in the process's own record and
// in the host-name map, as a getaddrinfo capture does; on any other
// descriptor they only call the real function. What the program receives,
// the result and errno are never changed. Closing a descriptor clears its
// mark (see DescriptorHooks).
namespace kst {

extern RecvFn orig_recv;
extern RecvfromFn orig_recvfrom;
extern RecvmsgFn orig_recvmsg;
extern RecvmmsgFn orig_recvmmsg;
extern ReadFn orig_read;
extern RecvChkFn orig___recv_chk;
extern RecvfromChkFn orig___recvfrom_chk;
extern ReadChkFn orig___read_chk;

// The socket hooks' part: a connect or send to port 53 marks the socket.
void noteDestination(int fd, const sockaddr* address, socklen_t length) noexcept;

ssize_t my_recv(int fd, void* buffer, size_t length, int flags) noexcept;
ssize_t my_recvfrom(int fd, void* buffer, size_t length, int flags, sockaddr* from,
                    socklen_t* fromLength) noexcept;
ssize_t my_recvmsg(int fd, msghdr* message, int flags) noexcept;
int my_recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) noexcept;
ssize_t my_read(int fd, void* buffer, size_t length) noexcept;
ssize_t my___recv_chk(int fd, void* buffer, size_t length, size_t bufferLength, int flags) noexcept;
ssize_t my___recvfrom_chk(int fd, void* buffer, size_t length, size_t bufferLength, int flags, sockaddr* from,
                          socklen_t* fromLength) noexcept;
ssize_t my___read_chk(int fd, void* buffer, size_t length, size_t bufferLength) noexcept;

}  // namespace kst
