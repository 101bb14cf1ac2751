#include "platform/clock/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

namespace kst {
namespace {

using namespace std::chrono_literals;

TEST(ClockTest, DurationsAreClampedToSaneValues) {
  EXPECT_EQ(Clock::toDuration(Seconds(1.5)), 1500ms);
  EXPECT_EQ(Clock::toDuration(Seconds(-3)), Clock::Duration::zero());
  EXPECT_EQ(Clock::toDuration(Seconds(std::nan(""))), Clock::Duration::zero());
  const auto huge = Clock::toDuration(Seconds(std::numeric_limits<double>::infinity()));
  EXPECT_GT(huge, std::chrono::hours(24 * 365 * 10));
  // Adding it to the real clock's present must not overflow.
  EXPECT_GT(Clock::real().now() + huge, Clock::real().now());
}

TEST(ClockTest, RealClockNeverGoesBack) {
  const auto a = Clock::real().now();
  const auto b = Clock::real().now();
  EXPECT_LE(a, b);
  EXPECT_EQ(&Clock::real(), &Clock::real());
}

TEST(ManualClockTest, MovesOnlyWhenAdvanced) {
  ManualClock clock;
  const auto start = clock.now();
  EXPECT_EQ(clock.now(), start);
  clock.advance(Seconds(60));
  EXPECT_EQ(clock.now() - start, 60s);
  clock.advance(Seconds(-10));
  EXPECT_EQ(clock.now() - start, 60s) << "a manual clock never goes back";
  clock.advance(Seconds(0.2));
  EXPECT_EQ(clock.now() - start, 60200ms);
}

TEST(ManualClockTest, ListenersSeeTheNewTimeAndStopAfterRemoval) {
  ManualClock clock;
  int calls = 0;
  Clock::TimePoint seen{};
  const int id = clock.onJump([&] {
    ++calls;
    seen = clock.now();
  });
  clock.advance(Seconds(5));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, clock.now());
  clock.removeJumpListener(id);
  clock.advance(Seconds(5));
  EXPECT_EQ(calls, 1);
  clock.removeJumpListener(id);  // twice, or unknown: nothing happens
  clock.removeJumpListener(12345);
}

TEST(ManualClockTest, ListenerMayRemoveItselfAndAddOthers) {
  ManualClock clock;
  int selfCalls = 0;
  int otherCalls = 0;
  int self = 0;
  self = clock.onJump([&] {
    ++selfCalls;
    clock.removeJumpListener(self);
    clock.onJump([&] { ++otherCalls; });
  });
  clock.advance(Seconds(1));
  clock.advance(Seconds(1));
  EXPECT_EQ(selfCalls, 1);
  EXPECT_EQ(otherCalls, 1) << "added during the first jump, so called from the second on";
}

TEST(ManualClockTest, RemovalWaitsForACallInFlightOnAnotherThread) {
  ManualClock clock;
  std::atomic<bool> inListener{false};
  std::atomic<bool> removeReturned{false};
  std::atomic<bool> removalReturnedEarly{false};
  const int id = clock.onJump([&] {
    inListener = true;
    // Give a removal that does not wait every chance to return before the
    // listener ends; a correct one cannot.
    std::this_thread::sleep_for(50ms);
    if (removeReturned) removalReturnedEarly = true;
  });
  std::thread advancer([&] { clock.advance(Seconds(1)); });
  while (!inListener) std::this_thread::yield();
  clock.removeJumpListener(id);
  removeReturned = true;
  advancer.join();
  EXPECT_FALSE(removalReturnedEarly);
}

}  // namespace
}  // namespace kst
