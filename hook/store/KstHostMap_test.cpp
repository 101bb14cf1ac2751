#include "hook/store/KstHostMap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "hook/store/HostMapTesting.h"
#include "platform/testing/TempRoot.h"
#include "platform/runloop/PollRunLoop.h"

namespace kst {
namespace {

using ::testing::ElementsAre;
using testing::eventually;
using ::testing::IsEmpty;
using testing::ScriptedResolver;
using Names = KstHostMap::NameList;

plist::Value names(std::initializer_list<const char*> list) {
  plist::Array a;
  for (const char* n : list) a.emplace_back(n);
  return a;
}

// The test thread is the main thread: it runs the main loop, on a manual
// clock, whenever the test lets time pass. Names handed in from the test
// thread go to the worker; fromAppThread() hands them in as an
// application's thread does.
class KstHostMapTest : public ::testing::Test {
 protected:
  KstHostMapTest() { loop_.runFor(Seconds(0)); }

  // Hands `name` in from a thread of its own; true when it was resolved on
  // that thread before doHostStuff() returned (foreground mode).
  bool fromAppThread(const std::string& name) {
    bool resolvedHere = false;
    std::thread app([&] {
      map_->doHostStuff(name);
      // Checked while this thread lives, so no other thread has its id.
      for (const auto& call : resolver_.calls())
        if (call.name == name && call.thread == std::this_thread::get_id()) resolvedHere = true;
    });
    app.join();
    return resolvedHere;
  }

  // Lets simulated time pass and runs what fell due on the main loop.
  void pass(Seconds s) {
    clock_.advance(s);
    loop_.runFor(Seconds(0));
  }

  bool background() const { return get(flags_.useBackgroundedHostresolutionKst); }

  ManualClock clock_;
  PollRunLoop loop_{clock_};
  KstFlags flags_;
  ScriptedResolver resolver_{&clock_, &flags_};
  std::unique_ptr<KstHostMap> map_ = std::make_unique<KstHostMap>(KstHostMapEnv{&resolver_, &loop_, &flags_});
};

TEST_F(KstHostMapTest, SameNameTwiceInARowResolvesOnce) {
  resolver_.script("a.test", {"10.0.0.1"});
  resolver_.script("b.test", {"10.0.0.2"});
  map_->doHostStuff("a.test");
  ASSERT_TRUE(eventually([&] { return map_->lastName("10.0.0.1") == "a.test"; }));
  map_->doHostStuff("a.test");
  // The worker takes names in order, so b's record means a was not queued.
  map_->doHostStuff("b.test");
  ASSERT_TRUE(eventually([&] { return map_->lastName("10.0.0.2") == "b.test"; }));
  EXPECT_THAT(resolver_.names(), ElementsAre("a.test", "b.test"));
  EXPECT_EQ(map_->getIPDictionary("10.0.0.1"), (plist::Dictionary{{"10.0.0.1", names({"a.test"})}}));
}

TEST_F(KstHostMapTest, ANameQueuedBehindASlowLookupIsQueuedOnce) {
  resolver_.script("slow.test",
                   ScriptedResolver::Answer{ScriptedResolver::Addresses{"10.0.0.9"}, Seconds(0), true});
  resolver_.script("a.test", {"10.0.0.1"});
  resolver_.script("b.test", {"10.0.0.2"});
  map_->doHostStuff("slow.test");
  ASSERT_TRUE(resolver_.waitForCalls(1));
  // Not yet resolved, so not yet in the repeat list: the worker's queue
  // keeps it from being looked up twice.
  map_->doHostStuff("a.test");
  map_->doHostStuff("a.test");
  map_->doHostStuff("b.test");
  resolver_.release();
  ASSERT_TRUE(eventually([&] { return map_->lastName("10.0.0.2") == "b.test"; }));
  EXPECT_THAT(resolver_.names(), ElementsAre("slow.test", "a.test", "b.test"));
}

TEST_F(KstHostMapTest, TheNewestNamePerAddressIsPublishedForEveryProcess) {
  kst::testing::TempRoot dir;
  const std::string path = dir.dir() + "/hostnames.table";
  std::optional<HostNameTableWriter> writer = HostNameTableWriter::create(path);
  ASSERT_TRUE(writer);
  HostNameTableReader reader(path);
  // Names the map held before it published are there at once.
  resolver_.script("first.test", {"10.0.0.1"});
  fromAppThread("first.test");
  map_->publishTo(std::make_shared<HostNameTableWriter>(std::move(*writer)));
  EXPECT_EQ(reader.lookup("10.0.0.1"), "first.test");

  resolver_.script("www.second.test", {"10.0.0.1", "fd00::2"});
  fromAppThread("www.second.test");
  EXPECT_EQ(reader.lookup("10.0.0.1"), "second.test");  // the newest, as the map holds it
  EXPECT_EQ(reader.lookup("fd00::2"), "second.test");
  EXPECT_EQ(map_->lastName("10.0.0.1"), reader.lookup("10.0.0.1"));

  map_->clear();
  EXPECT_EQ(reader.lookup("10.0.0.1"), std::nullopt);
}

TEST_F(KstHostMapTest, WwwIsStrippedUnderEachAddress) {
  resolver_.script("www.example.test", {"10.0.0.1", "fd00::1", "10.0.0.2"});
  fromAppThread("www.example.test");
  for (const char* address : {"10.0.0.1", "fd00::1", "10.0.0.2"})
    EXPECT_EQ(map_->getIPDictionary(address), (plist::Dictionary{{address, names({"example.test"})}}))
        << address;
  // The repeat list keeps the name as handed in; the lookup asks for it too.
  EXPECT_THAT(map_->lastNameArray(), ElementsAre("www.example.test"));
  EXPECT_THAT(resolver_.names(), ElementsAre("www.example.test"));
}

TEST_F(KstHostMapTest, NamesThatAreNotWorthALookupAreSkipped) {
  map_->theHostStuff(std::string(kSyntheticFontName));
  map_->theHostStuff("www.");
  map_->theHostStuff("www.www.");
  EXPECT_THAT(resolver_.calls(), IsEmpty());
  EXPECT_THAT(map_->lastNameArray(), IsEmpty());
  EXPECT_EQ(map_->ipDictionary(), std::nullopt) << "the map is made by the first name that is looked up";
}

TEST_F(KstHostMapTest, After21NamesTheNextDropsTheSixOldest) {
  Names handed;
  for (int i = 0; i < 21; ++i) {
    handed.push_back("n" + std::to_string(i) + ".test");
    fromAppThread(handed.back());  // unscripted: fails, but is remembered
  }
  EXPECT_EQ(map_->lastNameArray(), handed);
  fromAppThread("n10.test");
  EXPECT_EQ(resolver_.calls().size(), 21u) << "a name in the list is not looked up again";

  fromAppThread("n21.test");
  Names expected(handed.begin() + 6, handed.end());
  expected.push_back("n21.test");
  EXPECT_EQ(map_->lastNameArray(), expected);
  // A dropped name is looked up again.
  fromAppThread("n0.test");
  EXPECT_EQ(resolver_.calls().size(), 23u);
}

TEST_F(KstHostMapTest, GetGivesEveryNameOfAnAddressOldestFirst) {
  resolver_.script("a.test", {"10.0.0.5"});
  resolver_.script("b.test", {"10.0.0.5", "10.0.0.6"});
  fromAppThread("a.test");
  fromAppThread("b.test");
  EXPECT_EQ(map_->getIPDictionary("10.0.0.5"),
            (plist::Dictionary{{"10.0.0.5", names({"a.test", "b.test"})}}));
  EXPECT_EQ(map_->lastName("10.0.0.5"), "b.test");
  EXPECT_EQ(map_->ipDictionary(),
            (plist::Dictionary{{"10.0.0.5", names({"a.test", "b.test"})}, {"10.0.0.6", names({"b.test"})}}));
  EXPECT_EQ(map_->getIPDictionary("10.9.9.9"), plist::Dictionary{});
  EXPECT_EQ(map_->getIPDictionary(""), plist::Dictionary{});
  EXPECT_EQ(map_->lastName("10.9.9.9"), std::nullopt);
}

TEST_F(KstHostMapTest, TheWalkStopsAtAnAddressAlreadyEndingWithTheName) {
  resolver_.script("a.test", {"10.0.0.1"});
  map_->theHostStuff("a.test");
  resolver_.script("b.test", {"10.0.0.1", "10.0.0.3"});
  map_->theHostStuff("b.test");
  // a.test now ends 10.0.0.3's list but not 10.0.0.1's: both get it.
  resolver_.script("a.test", {"10.0.0.3", "10.0.0.1", "10.0.0.4"});
  map_->theHostStuff("a.test");
  // 10.0.0.3 ends with a.test now: the walk stops there, and 10.0.0.5 after
  // it stays unrecorded (a walk that only skipped 10.0.0.3 would record it).
  resolver_.script("a.test", {"10.0.0.3", "10.0.0.5"});
  map_->theHostStuff("a.test");
  EXPECT_EQ(map_->ipDictionary(), (plist::Dictionary{{"10.0.0.1", names({"a.test", "b.test", "a.test"})},
                                                     {"10.0.0.3", names({"b.test", "a.test"})},
                                                     {"10.0.0.4", names({"a.test"})}}));
}

TEST_F(KstHostMapTest, TheIPv6VariantSparesOnlyTheFirstAddressARepeat) {
  resolver_.script("six.test", {"10.0.0.1", "fd00::1", "fd00::2"});
  map_->theHostStuff6("six.test");
  map_->theHostStuff6("six.test");
  ASSERT_EQ(resolver_.calls().size(), 2u);
  EXPECT_EQ(resolver_.calls()[0].family, AddressFamily::kIPv6);
  EXPECT_EQ(map_->ipDictionary(), (plist::Dictionary{{"fd00::1", names({"six.test"})},
                                                     {"fd00::2", names({"six.test", "six.test"})}}));
}

TEST_F(KstHostMapTest, SixWeightedSlowLookupsSwitchToBackgroundFor120Seconds) {
  struct Step {
    const char* name;
    double seconds;
    int counterAfter;
  };
  // More than 0.8 s adds 1, more than 3.0 s adds 2, less than 0.3 s takes 1 off.
  const Step steps[] = {{"s1.test", 0.9, 1}, {"s2.test", 0.9, 2}, {"s3.test", 0.1, 1},
                        {"s4.test", 3.5, 3}, {"s5.test", 3.1, 5}, {"s6.test", 0.81, 6}};
  for (const Step& s : steps) {
    EXPECT_FALSE(background()) << s.name;
    resolver_.script(s.name, {"10.0.1.1"}, Seconds(s.seconds));
    EXPECT_TRUE(fromAppThread(s.name)) << "foreground: resolved on the caller's thread";
    EXPECT_EQ(map_->slowLookupCount(), s.counterAfter) << s.name;
  }
  EXPECT_TRUE(background());

  // Now even an application's thread hands its names to the worker.
  resolver_.script("bg.test", {"10.0.1.2"});
  EXPECT_FALSE(fromAppThread("bg.test"));
  ASSERT_TRUE(eventually([&] { return map_->lastName("10.0.1.2") == "bg.test"; }));

  pass(Seconds(119.9));
  EXPECT_TRUE(background());
  pass(Seconds(0.1));
  EXPECT_FALSE(background());
  EXPECT_EQ(map_->slowLookupCount(), 0);
  resolver_.script("fg.test", {"10.0.1.3"});
  EXPECT_TRUE(fromAppThread("fg.test"));
}

TEST_F(KstHostMapTest, TheEliminationTimerRestartsInsteadOfStacking) {
  map_->startElimnationTimer();
  set(flags_.useBackgroundedHostresolutionKst, true);
  pass(Seconds(100));
  map_->startElimnationTimer();
  pass(Seconds(100));
  EXPECT_TRUE(background()) << "the first timer was invalidated";
  pass(Seconds(20));
  EXPECT_FALSE(background());
}

TEST_F(KstHostMapTest, ALookupSlowerThanAThirdOfASecondDropsIPv6For60Seconds) {
  resolver_.script("a.test", {"10.0.0.1", "fd00::1"}, Seconds(0.4));
  resolver_.script("b.test", {"10.0.0.2", "fd00::2"});
  resolver_.script("c.test", {"10.0.0.3", "fd00::3"});
  fromAppThread("a.test");
  EXPECT_TRUE(map_->ignoreIPV6());
  EXPECT_EQ(map_->slowLookupCount(), 0) << "0.4 s is neither slow nor fast for the counter";
  fromAppThread("b.test");
  EXPECT_EQ(map_->lastName("fd00::2"), std::nullopt);
  EXPECT_EQ(map_->lastName("10.0.0.2"), "b.test");

  pass(Seconds(59.9));
  EXPECT_TRUE(map_->ignoreIPV6());
  pass(Seconds(0.1));
  EXPECT_FALSE(map_->ignoreIPV6());
  fromAppThread("c.test");
  const auto calls = resolver_.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].family, AddressFamily::kAny);
  EXPECT_EQ(calls[1].family, AddressFamily::kIPv4);
  EXPECT_EQ(calls[2].family, AddressFamily::kAny);
  EXPECT_EQ(map_->lastName("fd00::3"), "c.test");
}

TEST_F(KstHostMapTest, WhileAPromptWaitsNamesAreRetriedEveryFifthOfASecond) {
  resolver_.script("a.test", {"10.0.0.1"});
  set(flags_.waitUntilDone, true);
  fromAppThread("a.test");
  EXPECT_THAT(resolver_.calls(), IsEmpty());
  EXPECT_THAT(map_->lastNameArray(), IsEmpty()) << "not taken until it is looked up";
  pass(Seconds(0.2));
  pass(Seconds(0.2));
  // Handed in again meanwhile: the retry already pending covers it.
  fromAppThread("a.test");
  map_->doHostStuff("a.test");

  set(flags_.waitUntilDone, false);
  ASSERT_TRUE(eventually([&] {
    pass(Seconds(0.2));
    return map_->lastName("10.0.0.1") == "a.test";
  }));
  for (int i = 0; i < 5; ++i) pass(Seconds(0.2));
  const auto calls = resolver_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(calls[0].duringPrompt);
}

TEST_F(KstHostMapTest, ClearDiscardsTheMapAndKeepsTheRepeatList) {
  resolver_.script("a.test", {"10.0.0.1"});
  resolver_.script("b.test", {"10.0.0.2"});
  fromAppThread("a.test");
  map_->clear();
  EXPECT_EQ(map_->ipDictionary(), std::nullopt);
  EXPECT_EQ(map_->getIPDictionary("10.0.0.1"), plist::Dictionary{});
  EXPECT_EQ(map_->lastName("10.0.0.1"), std::nullopt);
  fromAppThread("b.test");
  EXPECT_EQ(map_->ipDictionary(), (plist::Dictionary{{"10.0.0.2", names({"b.test"})}}));
  EXPECT_THAT(map_->lastNameArray(), ElementsAre("a.test", "b.test"));
}

TEST_F(KstHostMapTest, DestructionWaitsForTheWorkerAndSilencesItsTimers) {
  resolver_.script("slow.test",
                   ScriptedResolver::Answer{ScriptedResolver::Addresses{"10.0.0.9"}, Seconds(0), true});
  map_->startElimnationTimer();
  map_->reenableIPV6TimerStart();
  set(flags_.waitUntilDone, true);
  fromAppThread("retried.test");  // leaves a retry pending on the main loop
  set(flags_.waitUntilDone, false);
  map_->doHostStuff("slow.test");
  for (int i = 0; i < 20; ++i) map_->doHostStuff("queued" + std::to_string(i) + ".test");
  ASSERT_TRUE(resolver_.waitForCalls(1));

  std::thread releaser([&] { resolver_.release(); });
  map_.reset();
  releaser.join();
  EXPECT_EQ(resolver_.inProgress(), 0);

  // The dead map's timers fire into nothing.
  const std::size_t callsBefore = resolver_.calls().size();
  set(flags_.useBackgroundedHostresolutionKst, true);
  pass(Seconds(200));
  EXPECT_TRUE(background());
  EXPECT_EQ(resolver_.calls().size(), callsBefore);
}

TEST_F(KstHostMapTest, ManyThreadsHandingInNamesAtOnce) {
  for (int i = 0; i < 40; ++i)
    resolver_.script("t" + std::to_string(i) + ".test", {"10.0.2." + std::to_string(i)});
  set(flags_.useBackgroundedHostresolutionKst, true);
  std::vector<std::thread> apps;
  for (int t = 0; t < 4; ++t) {
    apps.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        map_->doHostStuff("t" + std::to_string((i + t * 10) % 40) + ".test");
        (void)map_->getIPDictionary("10.0.2." + std::to_string(i));
        (void)map_->ipDictionary();
      }
    });
  }
  for (auto& a : apps) a.join();
  // Every name got through the repeat list and the queue at least once.
  EXPECT_TRUE(eventually([&] {
    for (int i = 0; i < 40; ++i)
      if (!map_->lastName("10.0.2." + std::to_string(i))) return false;
    return true;
  }));
}

}  // namespace
}  // namespace kst

namespace kst {
namespace {

TEST_F(KstHostMapTest, ForkedChildGetsAWorkerOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer cannot start threads in a forked child";
#endif
  resolver_.script("slow.test",
                   ScriptedResolver::Answer{ScriptedResolver::Addresses{"10.0.0.9"}, Seconds(0), true});
  resolver_.script("a.test", {"10.0.0.1"});
  map_->doHostStuff("slow.test");  // the worker is busy when the process forks
  ASSERT_TRUE(resolver_.waitForCalls(1));
  const pid_t pid = ::fork();
  if (pid == 0) {
    resolver_.release();
    map_->doHostStuff("a.test");
    ::_exit(eventually([&] { return map_->lastName("10.0.0.1") == "a.test"; }) ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's names were never looked up";
  resolver_.release();
}

// Records the signal mask of the thread that looks a name up.
class MaskRecordingResolver final : public Resolver {
 public:
  std::optional<Addresses> resolve(std::string_view, AddressFamily) override {
    sigset_t m;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &m);
    std::lock_guard lock(mu_);
    mask_ = m;
    return Addresses{"10.0.0.1"};
  }
  std::optional<std::string> reverseLookup(const sockaddr*, socklen_t) override { return std::nullopt; }
  std::optional<sigset_t> mask() {
    std::lock_guard lock(mu_);
    return mask_;
  }

 private:
  std::mutex mu_;
  std::optional<sigset_t> mask_;
};

TEST_F(KstHostMapTest, WorkerBlocksEverySignal) {
  MaskRecordingResolver resolver;
  KstHostMap map(KstHostMapEnv{&resolver, &loop_, &flags_});
  map.doHostStuff("a.test");  // from the main thread: on the worker
  ASSERT_TRUE(eventually([&] { return resolver.mask().has_value(); }));
  const sigset_t mask = *resolver.mask();
  for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD, SIGALRM, SIGPIPE, SIGCONT, SIGSEGV})
    EXPECT_TRUE(::sigismember(&mask, sig)) << "signal " << sig;
}

}  // namespace
}  // namespace kst
