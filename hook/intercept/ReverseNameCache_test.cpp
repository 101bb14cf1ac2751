#include "hook/intercept/ReverseNameCache.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace kst {
namespace {

sockaddr_in v4(const std::string& text) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, text.c_str(), &a.sin_addr);
  return a;
}

class ReverseNameCacheTest : public ::testing::Test {
 protected:
  // Counts the lookups; "name-" and the last octet for .1 to .99, no name
  // from .100 on.
  std::optional<std::string> ask(ReverseNameCache& cache, const std::string& address) {
    const sockaddr_in a = v4(address);
    return cache.nameOf(reinterpret_cast<const sockaddr*>(&a), sizeof a,
                        [&](const sockaddr* s, socklen_t) -> std::optional<std::string> {
                          asked.push_back(address);
                          const auto* in = reinterpret_cast<const sockaddr_in*>(s);
                          const int last = ntohl(in->sin_addr.s_addr) & 0xff;
                          if (last >= 100) return std::nullopt;
                          return "name-" + std::to_string(last);
                        });
  }
  ManualClock clock;
  std::vector<std::string> asked;
};

TEST_F(ReverseNameCacheTest, FoundAndNotFoundAreKeptForTheTimeToLive) {
  ReverseNameCache cache(clock, 16, std::chrono::seconds(300));
  EXPECT_EQ(ask(cache, "10.0.0.1"), "name-1");
  EXPECT_EQ(ask(cache, "10.0.0.100"), std::nullopt);
  clock.advance(Seconds(299));
  EXPECT_EQ(ask(cache, "10.0.0.1"), "name-1");
  EXPECT_EQ(ask(cache, "10.0.0.100"), std::nullopt);
  EXPECT_EQ(asked, (std::vector<std::string>{"10.0.0.1", "10.0.0.100"}));
  clock.advance(Seconds(1));
  EXPECT_EQ(ask(cache, "10.0.0.1"), "name-1");
  EXPECT_EQ(asked.size(), 3u);
  EXPECT_EQ(cache.size(), 2u);
}

TEST_F(ReverseNameCacheTest, AnAddressAndItsMappedFormAreOneOthersAreNotLookedUp) {
  ReverseNameCache cache(clock);
  EXPECT_EQ(ask(cache, "10.0.0.7"), "name-7");
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, "::ffff:10.0.0.7", &mapped.sin6_addr);
  int lookups = 0;
  auto count = [&](const sockaddr*, socklen_t) -> std::optional<std::string> {
    ++lookups;
    return "other";
  };
  EXPECT_EQ(cache.nameOf(reinterpret_cast<const sockaddr*>(&mapped), sizeof mapped, count), "name-7");
  sockaddr un{};
  un.sa_family = AF_UNIX;
  EXPECT_EQ(cache.nameOf(&un, sizeof un, count), std::nullopt);
  EXPECT_EQ(cache.nameOf(nullptr, 0, count), std::nullopt);
  EXPECT_EQ(lookups, 0);
}

TEST_F(ReverseNameCacheTest, BoundedExpiredGoFirstThenTheOldest) {
  ReverseNameCache cache(clock, 4, std::chrono::seconds(300));
  for (int i = 1; i <= 4; ++i) ask(cache, "10.0.0." + std::to_string(i));
  clock.advance(Seconds(200));
  ask(cache, "10.0.0.5");  // full: the oldest (.1) makes room
  EXPECT_EQ(cache.size(), 4u);
  asked.clear();
  for (const char* kept : {"10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}) ask(cache, kept);
  EXPECT_TRUE(asked.empty());
  // At 350 s .2 to .4 have expired and go before .5, which is live.
  clock.advance(Seconds(150));
  ask(cache, "10.0.0.6");
  ask(cache, "10.0.0.7");
  EXPECT_EQ(cache.size(), 3u);
  asked.clear();
  ask(cache, "10.0.0.5");
  EXPECT_TRUE(asked.empty());
  ask(cache, "10.0.0.1");
  EXPECT_EQ(asked, (std::vector<std::string>{"10.0.0.1"}));
}

TEST_F(ReverseNameCacheTest, AThreadAskingWhileAnotherLooksUpWaitsForThatAnswer) {
  ReverseNameCache cache(clock);
  std::atomic<int> lookups{0};
  std::atomic<bool> started{false};
  std::atomic<bool> release{false};
  const sockaddr_in a = v4("10.0.2.1");
  auto slow = [&](const sockaddr*, socklen_t) -> std::optional<std::string> {
    ++lookups;
    started = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return "slow.test";
  };
  std::optional<std::string> first;
  std::thread asker([&] { first = cache.nameOf(reinterpret_cast<const sockaddr*>(&a), sizeof a, slow); });
  while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::optional<std::string> second;
  std::thread waiter([&] { second = cache.nameOf(reinterpret_cast<const sockaddr*>(&a), sizeof a, slow); });
  // The second thread would ask at once if it did not wait: give it the
  // chance (a bound, not a synchronisation), then let the first answer.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (lookups < 2 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  release = true;
  asker.join();
  waiter.join();
  EXPECT_EQ(first, "slow.test");
  EXPECT_EQ(second, "slow.test");
  EXPECT_EQ(lookups.load(), 1);
}

TEST_F(ReverseNameCacheTest, ManyThreadsAtOnce) {
  ReverseNameCache cache(clock, 64);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const int last = (i * 7 + t) % 200 + 1;
        const sockaddr_in a = v4("10.0.1." + std::to_string(last > 255 ? 255 : last));
        const auto name = cache.nameOf(reinterpret_cast<const sockaddr*>(&a), sizeof a,
                                       [&](const sockaddr*, socklen_t) -> std::optional<std::string> {
                                         return "n" + std::to_string(last);
                                       });
        if (name != "n" + std::to_string(last)) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(cache.size(), 64u);
}

}  // namespace
}  // namespace kst
