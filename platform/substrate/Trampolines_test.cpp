// The trampolines in one process: this test program links libsubstrate.so,
// so its own socket calls go through the substrate as in a preloaded
// application. Replacements stay for the life of the process, so each
// function is hooked once here and the tests steer the replacements.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/substrate/DeviceNameService.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/objc/UIApplication.h"
#include "platform/substrate/Substrate.h"

extern "C" int curl_easy_setopt(void* handle, int option, ...);
extern "C" int curl_url_set(void* url, int what, const char* part, unsigned int flags);

namespace kst::substrate {
namespace {

// ---- The launch entry, hooked by a constructor of this program, which
// runs after the substrate's and before main.

std::atomic<int> gLaunchCalls{0};
std::atomic<int> gWorkspaceCalls{0};
std::atomic<int> gLaunchInside{0};
int gLaunchArgc = -1;
using MainFn = int (*)(int, char**, const char*, const char*);
MainFn gOrigMain = nullptr;
objc::WorkspaceDidLaunchImp gOrigWorkspace = nullptr;

int recordMain(int argc, char** argv, const char* principal, const char* delegate) {
  ++gLaunchCalls;
  gLaunchArgc = argc;
  gLaunchInside = kst_substrate_inside();
  return gOrigMain(argc, argv, principal, delegate);
}

void recordWorkspace(KstId self, KstSel cmd, KstId workspace, KstId completion) {
  ++gWorkspaceCalls;
  gOrigWorkspace(self, cmd, workspace, completion);
}

__attribute__((constructor)) void hookLaunchBeforeMain() {
  MSHookFunction(reinterpret_cast<void*>(&UIApplicationMain), reinterpret_cast<void*>(&recordMain),
                 reinterpret_cast<void**>(&gOrigMain));
  MSHookMessageEx(kst_objc_getClass("UIApplication"), kst_objc_selector("workspace:didLaunchWithCompletion:"),
                  reinterpret_cast<KstImp>(&recordWorkspace), reinterpret_cast<KstImp*>(&gOrigWorkspace));
}

TEST(LaunchEntryTest, RanOnceBeforeMainThroughBothEntries) {
  EXPECT_EQ(gLaunchCalls.load(), 1);
  EXPECT_EQ(gWorkspaceCalls.load(), 1);  // the unhooked UIApplicationMain's work
  EXPECT_GE(gLaunchArgc, 1);
  EXPECT_EQ(gLaunchInside.load(), 1);
  ASSERT_NE(gOrigMain, nullptr);
  EXPECT_NE(gOrigMain, &UIApplicationMain);  // the stand-in's own, not the trampoline
}

// ---- Socket functions.

void* libcFunction(const char* name) {
  void* libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  return libc != nullptr ? ::dlsym(libc, name) : nullptr;
}

void* substrateFunction(const char* name) {
  void* lib = ::dlopen(KST_SUBSTRATE_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  return lib != nullptr ? ::dlsym(lib, name) : nullptr;
}

using ConnectFn = int (*)(int, const sockaddr*, socklen_t);
using SendtoFn = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
using SendmsgFn = ssize_t (*)(int, const msghdr*, int);
using SendmmsgFn = int (*)(int, mmsghdr*, unsigned int, int);
using GetaddrinfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

ConnectFn gRealConnect = nullptr;
SendtoFn gRealSendto = nullptr;
SendmsgFn gRealSendmsg = nullptr;
SendmmsgFn gRealSendmmsg = nullptr;
GetaddrinfoFn gRealGetaddrinfo = nullptr;

// What the replacements saw, and what they do besides letting the call
// through.
struct Seen {
  std::atomic<int> connects{0};
  std::atomic<int> sendtos{0};
  std::atomic<int> sendmsgs{0};
  std::atomic<int> sendmmsgs{0};
  std::atomic<int> lookups{0};
  std::atomic<int> insideConnect{0};
  std::atomic<int> insideLookup{0};
  std::atomic<const sockaddr*> lastAddr{nullptr};
  std::atomic<socklen_t> lastLen{0};
};
Seen gSeen;
std::atomic<bool> gRefuse{false};
std::atomic<int> gNestedUdpFd{-1};
sockaddr_in gNestedTo{};

int myConnect(int fd, const sockaddr* addr, socklen_t len) {
  ++gSeen.connects;
  gSeen.insideConnect = kst_substrate_inside();
  gSeen.lastAddr = addr;
  gSeen.lastLen = len;
  if (const int udp = gNestedUdpFd.load(); udp >= 0) {
    // A hooked function called from inside a replacement is not judged.
    ::sendto(udp, "nested", 6, 0, reinterpret_cast<const sockaddr*>(&gNestedTo), sizeof gNestedTo);
  }
  if (gRefuse) {
    errno = EPERM;
    return -1;
  }
  return gRealConnect(fd, addr, len);
}

ssize_t mySendto(int fd, const void* buf, size_t n, int flags, const sockaddr* addr, socklen_t len) {
  ++gSeen.sendtos;
  gSeen.lastAddr = addr;
  gSeen.lastLen = len;
  return gRealSendto(fd, buf, n, flags, addr, len);
}

ssize_t mySendmsg(int fd, const msghdr* message, int flags) {
  ++gSeen.sendmsgs;
  return gRealSendmsg(fd, message, flags);
}

int mySendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) {
  ++gSeen.sendmmsgs;
  return gRealSendmmsg(fd, messages, count, flags);
}

int myGetaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** result) {
  ++gSeen.lookups;
  gSeen.insideLookup = kst_substrate_inside();
  return gRealGetaddrinfo(name, service, hints, result);
}

// A loopback TCP listener and UDP receiver for the duration of a test.
class Loopback {
 public:
  Loopback() {
    tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = loopback(0);
    ::bind(tcp_, reinterpret_cast<sockaddr*>(&any), sizeof any);
    ::listen(tcp_, 128);
    ::bind(udp_, reinterpret_cast<sockaddr*>(&any), sizeof any);
    socklen_t len = sizeof tcpAddr_;
    ::getsockname(tcp_, reinterpret_cast<sockaddr*>(&tcpAddr_), &len);
    len = sizeof udpAddr_;
    ::getsockname(udp_, reinterpret_cast<sockaddr*>(&udpAddr_), &len);
    timeval tv{20, 0};
    ::setsockopt(udp_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Loopback() {
    ::close(tcp_);
    ::close(udp_);
  }
  static sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  const sockaddr* tcp() const { return reinterpret_cast<const sockaddr*>(&tcpAddr_); }
  const sockaddr* udp() const { return reinterpret_cast<const sockaddr*>(&udpAddr_); }
  const sockaddr_in& udpAddr() const { return udpAddr_; }
  // The next datagram, or "" after 20 seconds.
  std::string receive() {
    char buf[256];
    const ssize_t n = ::recv(udp_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  int tcp_ = -1;
  int udp_ = -1;
  sockaddr_in tcpAddr_{};
  sockaddr_in udpAddr_{};
};

class TrampolineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MSHookFunction(reinterpret_cast<void*>(&::connect), reinterpret_cast<void*>(&myConnect),
                   reinterpret_cast<void**>(&gRealConnect));
    MSHookFunction(reinterpret_cast<void*>(&::sendto), reinterpret_cast<void*>(&mySendto),
                   reinterpret_cast<void**>(&gRealSendto));
    // By the real function's address this time: the same slot.
    MSHookFunction(libcFunction("sendmsg"), reinterpret_cast<void*>(&mySendmsg),
                   reinterpret_cast<void**>(&gRealSendmsg));
    MSHookFunction(substrateFunction("sendmmsg"), reinterpret_cast<void*>(&mySendmmsg),
                   reinterpret_cast<void**>(&gRealSendmmsg));
    MSHookFunction(reinterpret_cast<void*>(&::getaddrinfo), reinterpret_cast<void*>(&myGetaddrinfo),
                   reinterpret_cast<void**>(&gRealGetaddrinfo));
  }
  void SetUp() override {
    gRefuse = false;
    gNestedUdpFd = -1;
  }

  static int tcpSocket(bool nonBlocking = false) {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
  }
  static int udpSocket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

  Loopback net_;
};

TEST_F(TrampolineTest, ReplacementGetsTheRealFunctions) {
  EXPECT_EQ(reinterpret_cast<void*>(gRealConnect), libcFunction("connect"));
  EXPECT_EQ(reinterpret_cast<void*>(gRealSendto), libcFunction("sendto"));
  EXPECT_EQ(reinterpret_cast<void*>(gRealSendmsg), libcFunction("sendmsg"));
  EXPECT_EQ(reinterpret_cast<void*>(gRealSendmmsg), libcFunction("sendmmsg"));
  // The name lookups' "real" function is the device's name service, which
  // answers from the device's hosts file before the C library's.
  EXPECT_NE(gRealGetaddrinfo, nullptr);
}

TEST(DeviceNameServiceTest, ForwardLookupsReadTheDeviceHostsFileFirst) {
  // The C library's own functions behind the device's, as the substrate
  // sets them up (taken from libc itself: this program's next definition
  // is the substrate's trampoline).
  void* libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  setLibcNameService(libcNameServiceFrom(libc));
  const std::string hosts = DeviceRoot::process().path("/etc/hosts");
  ASSERT_TRUE(FileSystem::real().writeFileAtomic(hosts, "127.0.0.77 device-only.test alias.test\n", true));
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* result = nullptr;
  ASSERT_EQ(deviceGetaddrinfo("Device-Only.test", "80", &hints, &result), 0);
  ASSERT_NE(result, nullptr);
  char text[INET_ADDRSTRLEN] = {};
  const auto* in = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.77");
  EXPECT_EQ(ntohs(in->sin_port), 80);
  EXPECT_STREQ(result->ai_canonname, "device-only.test")
      << "the line's first name, as the C library gives it";
  ::freeaddrinfo(result);  // the C library frees what it allocated, node by node
  const hostent* entry = deviceGethostbyname("alias.test");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->h_addrtype, AF_INET);
  EXPECT_EQ(static_cast<unsigned char>(entry->h_addr_list[0][3]), 77);
  EXPECT_EQ(entry->h_addr_list[1], nullptr);
  EXPECT_EQ(deviceGethostbyname2("alias.test", AF_INET6), nullptr)
      << "no IPv6 line, and no such name elsewhere";
  FileSystem::real().removeFile(hosts);
  EXPECT_EQ(deviceGetaddrinfo("device-only.test", "80", &hints, &result), EAI_NONAME)
      << "without the file the system's resolver answers";
}

TEST_F(TrampolineTest, SecondHookKeepsTheFirst) {
  ConnectFn slot = nullptr;
  MSHookFunction(reinterpret_cast<void*>(&::connect), reinterpret_cast<void*>(&mySendmsg),
                 reinterpret_cast<void**>(&slot));
  EXPECT_EQ(reinterpret_cast<void*>(slot), libcFunction("connect"));
  const int fd = tcpSocket();
  const int before = gSeen.connects;
  EXPECT_EQ(::connect(fd, net_.tcp(), sizeof(sockaddr_in)), 0);
  EXPECT_EQ(gSeen.connects, before + 1);
  ::close(fd);
}

// The receive calls and close: each reaches its replacement, which reaches
// the real function; inside a replacement they go straight through.
std::atomic<int> gRecvs{0};
std::atomic<int> gReads{0};
std::atomic<int> gCloses{0};
ssize_t (*gRealRecv)(int, void*, size_t, int) = nullptr;
ssize_t (*gRealRead)(int, void*, size_t) = nullptr;
int (*gRealClose)(int) = nullptr;
ssize_t myRecv(int fd, void* buf, size_t n, int flags) {
  ++gRecvs;
  return gRealRecv(fd, buf, n, flags);
}
ssize_t myRead(int fd, void* buf, size_t n) {
  ++gReads;
  // The replacement's own read (a nested call) is not seen again.
  return gRealRead(fd, buf, n);
}
int myClose(int fd) {
  ++gCloses;
  return gRealClose(fd);
}

TEST_F(TrampolineTest, ReceiveCallsAndCloseReachTheirReplacements) {
  MSHookFunction(reinterpret_cast<void*>(&::recv), reinterpret_cast<void*>(&myRecv),
                 reinterpret_cast<void**>(&gRealRecv));
  MSHookFunction(reinterpret_cast<void*>(&::read), reinterpret_cast<void*>(&myRead),
                 reinterpret_cast<void**>(&gRealRead));
  MSHookFunction(reinterpret_cast<void*>(&::close), reinterpret_cast<void*>(&myClose),
                 reinterpret_cast<void**>(&gRealClose));
  EXPECT_EQ(reinterpret_cast<void*>(gRealRecv), libcFunction("recv"));
  EXPECT_EQ(reinterpret_cast<void*>(gRealRead), libcFunction("read"));
  EXPECT_EQ(reinterpret_cast<void*>(gRealClose), libcFunction("close"));
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const int recvs = gRecvs, reads = gReads, closes = gCloses;
  ASSERT_EQ(::write(pair[1], "abcd", 4), 4);
  char buf[4];
  EXPECT_EQ(::recv(pair[0], buf, 2, 0), 2);
  EXPECT_EQ(::read(pair[0], buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "cd");
  EXPECT_EQ(::close(pair[0]), 0);
  EXPECT_EQ(::close(pair[1]), 0);
  EXPECT_EQ(gRecvs - recvs, 1);
  EXPECT_EQ(gReads - reads, 1);
  EXPECT_EQ(gCloses - closes, 2);
  EXPECT_EQ(::close(pair[0]), -1);  // the real close's result and errno
  EXPECT_EQ(errno, EBADF);
}

TEST_F(TrampolineTest, FunctionsItDoesNotInterposeCannotBeHooked) {
  void* slot = nullptr;
  MSHookFunction(reinterpret_cast<void*>(&::listen), reinterpret_cast<void*>(&myConnect), &slot);
  EXPECT_EQ(slot, reinterpret_cast<void*>(&::listen));
  MSHookFunction(nullptr, reinterpret_cast<void*>(&myConnect), &slot);
  EXPECT_EQ(slot, nullptr);
  MSHookFunction(reinterpret_cast<void*>(&::listen), reinterpret_cast<void*>(&myConnect), nullptr);
  const int fd = tcpSocket();
  EXPECT_EQ(::listen(fd, 1), 0);
  ::close(fd);
}

TEST_F(TrampolineTest, HookSeesTcpAndUdpCalls) {
  const int before = gSeen.connects;
  const int fd = tcpSocket();
  EXPECT_EQ(::connect(fd, net_.tcp(), sizeof(sockaddr_in)), 0);
  EXPECT_EQ(gSeen.connects, before + 1);
  EXPECT_EQ(gSeen.lastAddr.load(), net_.tcp());  // the caller's pointer, unaltered
  EXPECT_EQ(gSeen.insideConnect.load(), 1);
  ::close(fd);

  const int udp = udpSocket();
  const int sendtos = gSeen.sendtos;
  EXPECT_EQ(::sendto(udp, "to", 2, 0, net_.udp(), sizeof(sockaddr_in)), 2);
  EXPECT_EQ(net_.receive(), "to");
  EXPECT_EQ(gSeen.sendtos, sendtos + 1);

  const int sendmsgs = gSeen.sendmsgs;
  char payload[] = "msg";
  iovec iov{payload, 3};
  msghdr message{};
  message.msg_name = const_cast<sockaddr*>(net_.udp());
  message.msg_namelen = sizeof(sockaddr_in);
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  EXPECT_EQ(::sendmsg(udp, &message, 0), 3);
  EXPECT_EQ(net_.receive(), "msg");
  EXPECT_EQ(gSeen.sendmsgs, sendmsgs + 1);

  const int sendmmsgs = gSeen.sendmmsgs;
  mmsghdr batch[2]{};
  batch[0].msg_hdr = message;
  batch[1].msg_hdr = message;
  EXPECT_EQ(::sendmmsg(udp, batch, 2, 0), 2);
  EXPECT_EQ(net_.receive(), "msg");
  EXPECT_EQ(net_.receive(), "msg");
  EXPECT_EQ(gSeen.sendmmsgs, sendmmsgs + 1);
  ::close(udp);
  EXPECT_EQ(kst_substrate_inside(), 0);
}

TEST_F(TrampolineTest, CallFromInsideAReplacementGoesToTheRealFunction) {
  const int udp = udpSocket();
  gNestedTo = net_.udpAddr();
  gNestedUdpFd = udp;
  const int sendtos = gSeen.sendtos;
  const int fd = tcpSocket();
  EXPECT_EQ(::connect(fd, net_.tcp(), sizeof(sockaddr_in)), 0);
  EXPECT_EQ(net_.receive(), "nested");  // the real sendto ran
  EXPECT_EQ(gSeen.sendtos, sendtos);    // the replacement did not
  ::close(fd);
  ::close(udp);
}

TEST_F(TrampolineTest, ThreadMarkedInsidePassesUntouched) {
  const int connects = gSeen.connects;
  kst_substrate_leave();  // unpaired: ignored
  EXPECT_EQ(kst_substrate_inside(), 0);
  {
    PassThroughScope own;
    EXPECT_EQ(kst_substrate_inside(), 1);
    const int fd = tcpSocket();
    EXPECT_EQ(::connect(fd, net_.tcp(), sizeof(sockaddr_in)), 0);
    ::close(fd);
  }
  EXPECT_EQ(kst_substrate_inside(), 0);
  EXPECT_EQ(gSeen.connects, connects);
}

TEST_F(TrampolineTest, LookupRunsInsideAndStillWorks) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const int lookups = gSeen.lookups;
  ASSERT_EQ(::getaddrinfo("localhost", "80", &hints, &result), 0);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  ::freeaddrinfo(result);
  EXPECT_EQ(gSeen.lookups, lookups + 1);
  EXPECT_EQ(gSeen.insideLookup.load(), 1);
  // Unhooked lookups pass through too.
  EXPECT_NE(::gethostbyname("localhost"), nullptr);
  char host[NI_MAXHOST];
  EXPECT_EQ(::getnameinfo(net_.tcp(), sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST), 0);
  EXPECT_STREQ(host, "127.0.0.1");
}

TEST_F(TrampolineTest, ErrnoIsTheRealCallsOrTheReplacements) {
  // Success leaves errno as it was.
  int fd = tcpSocket();
  errno = 12345;
  EXPECT_EQ(::connect(fd, net_.tcp(), sizeof(sockaddr_in)), 0);
  EXPECT_EQ(errno, 12345);
  ::close(fd);

  // A non-blocking connect in progress says so.
  fd = tcpSocket(true);
  const int rc = ::connect(fd, net_.tcp(), sizeof(sockaddr_in));
  const int err = errno;
  EXPECT_TRUE(rc == 0 || (rc == -1 && err == EINPROGRESS)) << rc << " " << std::strerror(err);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
  ::close(fd);

  // A refusal is what the replacement made it.
  gRefuse = true;
  fd = tcpSocket();
  errno = 0;
  EXPECT_EQ(::connect(fd, net_.tcp(), sizeof(sockaddr_in)), -1);
  EXPECT_EQ(errno, EPERM);
  ::close(fd);
}

TEST_F(TrampolineTest, BadAddressesReachTheRealFunctionUnaltered) {
  struct Case {
    const sockaddr* addr;
    socklen_t len;
  };
  const sockaddr_in in = Loopback::loopback(9);
  const Case cases[] = {{nullptr, 0},
                        {nullptr, sizeof(sockaddr_in)},
                        {reinterpret_cast<const sockaddr*>(&in), 1},
                        {reinterpret_cast<const sockaddr*>(&in), 2},
                        {reinterpret_cast<const sockaddr*>(&in), sizeof(sockaddr_in) - 1},
                        {reinterpret_cast<const sockaddr*>(&in), 0x7fffffff}};
  for (const Case& c : cases) {
    int fd = tcpSocket();
    errno = 0;
    const int viaLibc = gRealConnect(fd, c.addr, c.len);
    const int libcErrno = errno;
    ::close(fd);
    fd = tcpSocket();
    errno = 0;
    EXPECT_EQ(::connect(fd, c.addr, c.len), viaLibc) << c.len;
    EXPECT_EQ(errno, libcErrno) << c.len;
    EXPECT_EQ(gSeen.lastAddr.load(), c.addr);
    EXPECT_EQ(gSeen.lastLen.load(), c.len);
    ::close(fd);

    const int udp = udpSocket();
    errno = 0;
    const ssize_t sent = gRealSendto(udp, "x", 1, 0, c.addr, c.len);
    const int sendErrno = errno;
    errno = 0;
    EXPECT_EQ(::sendto(udp, "x", 1, 0, c.addr, c.len), sent) << c.len;
    EXPECT_EQ(errno, sendErrno) << c.len;
    ::close(udp);
  }
  // Null messages and empty batches.
  const int udp = udpSocket();
  errno = 0;
  EXPECT_EQ(::sendmsg(udp, nullptr, 0), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(::sendmmsg(udp, nullptr, 0, 0), 0);
  msghdr noName{};
  errno = 0;
  EXPECT_EQ(::sendmsg(udp, &noName, 0), -1);
  EXPECT_EQ(errno, EDESTADDRREQ);
  ::close(udp);
}

TEST_F(TrampolineTest, ManyThreadsAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kEach = 10;  // within the listener's backlog: nobody accepts
  const int before = gSeen.connects;
  std::atomic<int> connected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        const int fd = tcpSocket();
        if (::connect(fd, net_.tcp(), sizeof(sockaddr_in)) == 0) ++connected;
        ::close(fd);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(connected.load(), kThreads * kEach);
  EXPECT_EQ(gSeen.connects, before + kThreads * kEach);
}

// ---- libcurl, which this program does not link.

struct CurlSeen {
  int option = -1;
  long number = 0;
  const void* pointer = nullptr;
  std::int64_t offset = 0;
};
CurlSeen gCurl;
using CurlSetoptFn = int (*)(void*, int, ...);
CurlSetoptFn gRealCurlSetopt = nullptr;

int myCurlEasySetopt(void* handle, int option, ...) {
  va_list args;
  va_start(args, option);
  gCurl = CurlSeen{};
  gCurl.option = option;
  int rc = 0;
  switch (curlOptionArgument(option)) {
    case CurlArgument::kLong:
      gCurl.number = va_arg(args, long);
      rc = gRealCurlSetopt(handle, option, gCurl.number);
      break;
    case CurlArgument::kOffset:
      gCurl.offset = va_arg(args, std::int64_t);
      rc = gRealCurlSetopt(handle, option, gCurl.offset);
      break;
    case CurlArgument::kFunction: {
      auto fn = va_arg(args, void (*)());
      gCurl.pointer = reinterpret_cast<const void*>(fn);
      rc = gRealCurlSetopt(handle, option, fn);
      break;
    }
    case CurlArgument::kObject:
    case CurlArgument::kBlob:
      gCurl.pointer = va_arg(args, void*);
      rc = gRealCurlSetopt(handle, option, gCurl.pointer);
      break;
  }
  va_end(args);
  return rc;
}

std::size_t discard(char*, std::size_t size, std::size_t n, void*) {
  return size * n;
}

TEST(CurlTrampolineTest, WithoutLibcurlFailsThenForwardsOnceLoaded) {
  ASSERT_EQ(::dlopen("libcurl.so.4", RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "this program must not link libcurl";
  constexpr int kUrl = 10002;  // CURLOPT_URL
  EXPECT_EQ(curl_easy_setopt(nullptr, kUrl, "http://example.invalid/"), kCurlFailedInit);
  EXPECT_EQ(curl_url_set(nullptr, 1, "http", 0), kCurlUrlBadHandle);

  // Hooked while libcurl is absent: the slot forwards once it appears.
  MSHookFunction(reinterpret_cast<void*>(&curl_easy_setopt), reinterpret_cast<void*>(&myCurlEasySetopt),
                 reinterpret_cast<void**>(&gRealCurlSetopt));
  ASSERT_NE(gRealCurlSetopt, nullptr);
  EXPECT_EQ(curl_easy_setopt(nullptr, kUrl, "http://example.invalid/"), kCurlFailedInit);
  EXPECT_EQ(gCurl.option, kUrl);

  // Loaded privately, as a plug-in would: outside the global scope.
  void* curl = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (curl == nullptr) GTEST_SKIP() << "libcurl.so.4 is not installed";
  auto easyInit = reinterpret_cast<void* (*)()>(::dlsym(curl, "curl_easy_init"));
  auto easyCleanup = reinterpret_cast<void (*)(void*)>(::dlsym(curl, "curl_easy_cleanup"));
  ASSERT_NE(easyInit, nullptr);
  void* handle = easyInit();
  ASSERT_NE(handle, nullptr);

  static const char kTarget[] = "http://example.invalid/path";
  EXPECT_EQ(curl_easy_setopt(handle, kUrl, kTarget), 0);
  EXPECT_EQ(gCurl.pointer, kTarget);
  EXPECT_EQ(curl_easy_setopt(handle, 41, 1L), 0);  // CURLOPT_VERBOSE: long
  EXPECT_EQ(gCurl.number, 1);
  EXPECT_EQ(curl_easy_setopt(handle, 41, 0L), 0);
  EXPECT_EQ(curl_easy_setopt(handle, 30115, static_cast<std::int64_t>(1) << 40), 0);  // INFILESIZE_LARGE
  EXPECT_EQ(gCurl.offset, static_cast<std::int64_t>(1) << 40);
  EXPECT_EQ(curl_easy_setopt(handle, 20011, &discard), 0);  // WRITEFUNCTION
  EXPECT_EQ(gCurl.pointer, reinterpret_cast<const void*>(&discard));
  EXPECT_EQ(curl_easy_setopt(handle, 40291, nullptr), 0);  // SSLCERT_BLOB: null clears it
  EXPECT_EQ(curl_easy_setopt(handle, 99999, 0L), 48);      // CURLE_UNKNOWN_OPTION, from libcurl
  easyCleanup(handle);
}

}  // namespace
}  // namespace kst::substrate
