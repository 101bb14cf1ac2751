#include "platform/reachability/LinuxReachability.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/runloop/PollRunLoop.h"
#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

constexpr std::uint32_t kReach = kReachabilityReachable;
constexpr std::uint32_t kWwan = kReachabilityReachable | kReachabilityIsWWAN;
constexpr auto kPatience = std::chrono::seconds(20);  // an upper bound only

sockaddr_in ipv4(const char* text) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  ::inet_pton(AF_INET, text, &in.sin_addr);
  return in;
}

// A run loop served by its own thread for the length of a test.
class LoopThread {
 public:
  LoopThread() : thread_([this] { loop_.run(); }) {}
  ~LoopThread() {
    loop_.stop();
    thread_.join();
  }
  PollRunLoop& loop() { return loop_; }
  // Returns once everything queued on the loop before it has run.
  void barrier() {
    loop_.performAndWait([] {});
  }

 private:
  PollRunLoop loop_;
  std::thread thread_;
};

// Collects callback calls, noting whether each ran on the expected loop.
class Recorder {
 public:
  NetworkReachability::ChangeCallback callback(RunLoop& loop) {
    return [this, &loop](std::uint32_t flags) {
      std::lock_guard lock(mu_);
      calls_.push_back(flags);
      allOnLoop_ = allOnLoop_ && loop.isLoopThread();
      cv_.notify_all();
    };
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, kPatience, [&] { return calls_.size() >= count; });
  }
  std::vector<std::uint32_t> calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }
  bool allOnLoop() const {
    std::lock_guard lock(mu_);
    return allOnLoop_;
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::uint32_t> calls_;
  bool allOnLoop_ = true;
};

// Clears the forced flags whatever the test's outcome.
class LinuxReachabilityTest : public ::testing::Test {
 protected:
  ~LinuxReachabilityTest() override { NetworkReachability::setFlagsForTesting(std::nullopt); }
};

TEST(ReachabilityTargetTest, AcceptsOnlyWholeIpAddressesAndSpotsLinkLocalOnes) {
  const sockaddr_in any = ipv4("0.0.0.0");
  const sockaddr_in local = ipv4("169.254.0.0");
  const sockaddr_in nearLocal = ipv4("169.253.255.255");
  const auto* anyAddr = reinterpret_cast<const sockaddr*>(&any);
  ASSERT_TRUE(reachabilityTargetOf(anyAddr, sizeof any).has_value());
  EXPECT_FALSE(reachabilityTargetOf(anyAddr, sizeof any)->linkLocal);
  EXPECT_TRUE(reachabilityTargetOf(reinterpret_cast<const sockaddr*>(&local), sizeof local)->linkLocal);
  EXPECT_FALSE(
      reachabilityTargetOf(reinterpret_cast<const sockaddr*>(&nearLocal), sizeof nearLocal)->linkLocal);
  EXPECT_EQ(reachabilityTargetOf(nullptr, sizeof any), std::nullopt);
  EXPECT_EQ(reachabilityTargetOf(anyAddr, sizeof any - 1), std::nullopt);
  EXPECT_EQ(reachabilityTargetOf(anyAddr, 1), std::nullopt);

  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr);
  EXPECT_TRUE(reachabilityTargetOf(reinterpret_cast<const sockaddr*>(&v6), sizeof v6)->linkLocal);
  EXPECT_EQ(reachabilityTargetOf(reinterpret_cast<const sockaddr*>(&v6), sizeof(sockaddr_in)), std::nullopt);
  sockaddr_un unixAddr{};
  unixAddr.sun_family = AF_UNIX;
  EXPECT_EQ(reachabilityTargetOf(reinterpret_cast<const sockaddr*>(&unixAddr), sizeof unixAddr),
            std::nullopt);

  EXPECT_EQ(reachabilityTargetOf(""), std::nullopt);
  EXPECT_EQ(reachabilityTargetOf(std::string_view("a\0b", 3)), std::nullopt);
  EXPECT_EQ(reachabilityTargetOf(std::string(300, 'a')), std::nullopt);
  EXPECT_FALSE(reachabilityTargetOf("example.org")->linkLocal);
  EXPECT_TRUE(reachabilityTargetOf("169.254.10.1")->linkLocal);
  EXPECT_TRUE(reachabilityTargetOf("fe80::2")->linkLocal);

  EXPECT_NE(NetworkReachability::withAddress(anyAddr, sizeof any), nullptr);
  EXPECT_EQ(NetworkReachability::withAddress(anyAddr, 0), nullptr);
  EXPECT_NE(NetworkReachability::withHostName("example.org"), nullptr);
  EXPECT_EQ(NetworkReachability::withHostName(""), nullptr);
}

TEST_F(LinuxReachabilityTest, ThisMachineGivesKnownFlags) {
  const sockaddr_in any = ipv4("0.0.0.0");
  auto handle = NetworkReachability::withAddress(reinterpret_cast<const sockaddr*>(&any), sizeof any);
  ASSERT_NE(handle, nullptr);
  const std::optional<std::uint32_t> flags = handle->flags();
  ASSERT_TRUE(flags.has_value()) << "/proc/net/route should be readable on Linux";
  EXPECT_EQ(*flags & ~std::uint32_t{kReachabilityReachable | kReachabilityIsWWAN}, 0u);  // never direct here
}

TEST_F(LinuxReachabilityTest, ForcedFlagsOverrideEveryHandleUntilCleared) {
  testing::TempRoot empty;  // no tables at all: unreadable
  LinuxReachability a({}, {empty.dir() + "/proc", empty.dir() + "/sys"});
  LinuxReachability b({.linkLocal = true}, {empty.dir() + "/proc", empty.dir() + "/sys"});
  EXPECT_EQ(a.flags(), std::nullopt);
  NetworkReachability::setFlagsForTesting(kWwan);
  EXPECT_EQ(a.flags(), kWwan);
  EXPECT_EQ(b.flags(), kWwan);
  NetworkReachability::setFlagsForTesting(std::nullopt);
  EXPECT_EQ(b.flags(), std::nullopt);
}

TEST_F(LinuxReachabilityTest, ForcedFlagsNotifyScheduledHandlesOnTheirLoops) {
  LoopThread one, two;
  LinuxReachability first({}), second({}), idle({});
  Recorder r1, r2, rIdle;
  ASSERT_TRUE(first.setCallback(r1.callback(one.loop())));
  ASSERT_TRUE(second.setCallback(r2.callback(two.loop())));
  ASSERT_TRUE(idle.setCallback(rIdle.callback(one.loop())));
  ASSERT_TRUE(first.schedule(one.loop()));
  ASSERT_TRUE(second.schedule(two.loop()));

  NetworkReachability::setFlagsForTesting(kWwan);
  ASSERT_TRUE(r1.waitFor(1));
  ASSERT_TRUE(r2.waitFor(1));
  // Forcing the same flags again still counts as a network change.
  NetworkReachability::setFlagsForTesting(kWwan);
  NetworkReachability::setFlagsForTesting(kReach);
  ASSERT_TRUE(r1.waitFor(3));
  one.barrier();
  EXPECT_EQ(r1.calls(), (std::vector<std::uint32_t>{kWwan, kWwan, kReach}));
  EXPECT_TRUE(r1.allOnLoop());
  EXPECT_TRUE(r2.allOnLoop());
  EXPECT_TRUE(rIdle.calls().empty());
}

TEST_F(LinuxReachabilityTest, UnscheduleAndDestructionDropNotificationsAlreadyQueued) {
  LoopThread t;
  auto kept = std::make_unique<LinuxReachability>(ReachabilityTarget{});
  auto doomed = std::make_unique<LinuxReachability>(ReachabilityTarget{});
  Recorder rKept, rDoomed;
  kept->setCallback(rKept.callback(t.loop()));
  doomed->setCallback(rDoomed.callback(t.loop()));
  ASSERT_TRUE(kept->schedule(t.loop()));
  ASSERT_TRUE(doomed->schedule(t.loop()));

  // Hold the loop so the notifications queue up behind it.
  std::mutex mu;
  std::condition_variable cv;
  bool held = false, release = false;
  t.loop().perform([&] {
    std::unique_lock lock(mu);
    held = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  });
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return held; });
  }
  NetworkReachability::setFlagsForTesting(kWwan);
  kept->unschedule();
  doomed.reset();
  {
    std::lock_guard lock(mu);
    release = true;
  }
  cv.notify_all();
  t.barrier();
  EXPECT_TRUE(rKept.calls().empty());
  EXPECT_TRUE(rDoomed.calls().empty());

  // Unscheduled for good: later changes are not delivered either, until it
  // is scheduled again.
  NetworkReachability::setFlagsForTesting(kReach);
  t.barrier();
  EXPECT_TRUE(rKept.calls().empty());
  ASSERT_TRUE(kept->schedule(t.loop()));
  NetworkReachability::setFlagsForTesting(kWwan);
  ASSERT_TRUE(rKept.waitFor(1));
  EXPECT_EQ(rKept.calls(), std::vector<std::uint32_t>{kWwan});
}

TEST_F(LinuxReachabilityTest, SchedulesOnOneLoopAtATime) {
  LoopThread one, two;
  LinuxReachability handle({});
  EXPECT_TRUE(handle.schedule(one.loop()));
  EXPECT_TRUE(handle.schedule(one.loop()));
  EXPECT_FALSE(handle.schedule(two.loop()));
  handle.unschedule();
  handle.unschedule();
  EXPECT_TRUE(handle.schedule(two.loop()));

  Recorder r;
  handle.setCallback(r.callback(two.loop()));
  NetworkReachability::setFlagsForTesting(kReach);
  ASSERT_TRUE(r.waitFor(1));
  EXPECT_TRUE(r.allOnLoop());
}

// --- Real netlink messages, in a network namespace of our own ---------------

bool setLoopbackUp(bool up) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  if (ok) {
    req.ifr_flags = static_cast<short>(up ? (req.ifr_flags | IFF_UP) : (req.ifr_flags & ~IFF_UP));
    ok = ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  }
  ::close(fd);
  return ok;
}

void writeRoutes(const std::string& procDir, bool withDefault) {
  std::ofstream(procDir + "/net/route")
      << "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
      << (withDefault ? "eth0\t00000000\t0102A8C0\t0003\t0\t0\t0\t00000000\n" : "");
}

// Runs in the forked child; the exit code says what went wrong.
int watchLinkChanges(const NetPaths& paths) {
  LinuxReachability handle({}, paths);
  PollRunLoop loop;
  std::vector<std::uint32_t> calls;
  handle.setCallback([&](std::uint32_t flags) { calls.push_back(flags); });
  if (!handle.schedule(loop)) return 10;

  // The kernel queues the link message before the ioctl returns, so one
  // pass of the loop sees it. Nothing changed in the tables: no callback.
  if (!setLoopbackUp(true)) return 11;
  loop.runFor(Seconds(0));
  if (!calls.empty()) return 12;

  writeRoutes(paths.proc, true);
  if (!setLoopbackUp(false)) return 11;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (calls.empty() && std::chrono::steady_clock::now() < deadline) loop.runFor(Seconds(0.05));
  if (calls != std::vector<std::uint32_t>{kReach}) return 13;

  handle.unschedule();
  writeRoutes(paths.proc, false);
  if (!setLoopbackUp(true)) return 11;
  loop.runFor(Seconds(0));
  return calls.size() == 1 ? 0 : 14;
}

TEST(LinuxReachabilityNetlinkTest, RouteAndLinkMessagesNotifyOnlyWhenTheFlagsChange) {
  testing::TempRoot root;
  const NetPaths paths{root.dir() + "/proc", root.dir() + "/sys"};
  std::filesystem::create_directories(paths.proc + "/net");
  std::filesystem::create_directories(paths.sys + "/class/net/eth0");
  std::ofstream(paths.sys + "/class/net/eth0/type") << "1\n";
  writeRoutes(paths.proc, false);

  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A fresh network namespace, so the test neither needs nor touches the
    // machine's own interfaces. Unprivileged users need a user namespace.
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWNET) != 0) ::_exit(77);
    ::_exit(watchLinkChanges(paths));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespaces here";
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "10: no netlink socket, 11: ioctl failed, 12: callback without a change, "
         "13: no single callback for the change, 14: callback after unschedule";
}

}  // namespace
}  // namespace kst
