#include "hook/intercept/KstLookedUpNames.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kst {
namespace {

using Address = KstLookedUpNames::Address;

Address v4(const std::string& text) {
  in_addr a{};
  EXPECT_EQ(::inet_pton(AF_INET, text.c_str(), &a), 1) << text;
  return *KstLookedUpNames::addressOf(AF_INET, &a);
}

Address numbered(unsigned n) {
  const std::uint32_t a = htonl(0x0A000000u + n);  // 10.x.y.z
  return *KstLookedUpNames::addressOf(AF_INET, &a);
}

std::string found(const KstLookedUpNames& r, const Address& a) {
  char name[KstLookedUpNames::kNameBuffer];
  const std::size_t n = r.find(a, name);
  EXPECT_EQ(std::string(name).size(), n) << "the copy ends with its zero";
  return std::string(name, n);
}

// The record is large: tests keep it off the stack.
std::unique_ptr<KstLookedUpNames> fresh() {
  return std::make_unique<KstLookedUpNames>();
}

TEST(KstLookedUpNamesTest, NewestNameOfAnAddressWins) {
  auto r = fresh();
  EXPECT_EQ(found(*r, v4("127.0.0.11")), "");
  r->record(v4("127.0.0.11"), "first.example");
  r->record(v4("127.0.0.12"), "other.example");
  EXPECT_EQ(found(*r, v4("127.0.0.11")), "first.example");
  r->record(v4("127.0.0.11"), "second.example");
  EXPECT_EQ(found(*r, v4("127.0.0.11")), "second.example");
  // Looked up again, the first name is the newest once more.
  r->record(v4("127.0.0.11"), "first.example");
  EXPECT_EQ(found(*r, v4("127.0.0.11")), "first.example");
  EXPECT_EQ(found(*r, v4("127.0.0.12")), "other.example");
}

TEST(KstLookedUpNamesTest, SocketAddressesOfBothFamiliesAndTheMappedFormAreOneKey) {
  auto r = fresh();
  r->record(v4("127.0.0.5"), "five.example");
  sockaddr_in in{};
  in.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.0.5", &in.sin_addr);
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, "::ffff:127.0.0.5", &mapped.sin6_addr);
  EXPECT_EQ(r->findName(reinterpret_cast<sockaddr*>(&in), sizeof in), "five.example");
  EXPECT_EQ(r->findName(reinterpret_cast<sockaddr*>(&mapped), sizeof mapped), "five.example");
  // The older 24-byte IPv6 structure covers the address; one byte less does not.
  EXPECT_EQ(r->findName(reinterpret_cast<sockaddr*>(&mapped), 24), "five.example");
  EXPECT_FALSE(KstLookedUpNames::addressOf(reinterpret_cast<sockaddr*>(&mapped), 23));
  EXPECT_FALSE(KstLookedUpNames::addressOf(reinterpret_cast<sockaddr*>(&in), 7));
  EXPECT_FALSE(KstLookedUpNames::addressOf(nullptr, sizeof in));
  sockaddr_un local{};
  local.sun_family = AF_UNIX;
  EXPECT_FALSE(KstLookedUpNames::addressOf(reinterpret_cast<sockaddr*>(&local), sizeof local));

  sockaddr_in6 six{};
  six.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, "2001:db8::1", &six.sin6_addr);
  r->record(*KstLookedUpNames::addressOf(reinterpret_cast<sockaddr*>(&six), sizeof six), "six.example");
  EXPECT_EQ(r->findName(reinterpret_cast<sockaddr*>(&six), sizeof six), "six.example");
  EXPECT_EQ(r->findName(reinterpret_cast<sockaddr*>(&in), sizeof in), "five.example");
}

TEST(KstLookedUpNamesTest, NamesUpTo253BytesAreKeptWhole) {
  auto r = fresh();
  const std::string longest(KstLookedUpNames::kMaxName, 'a');
  r->record(v4("127.0.0.2"), longest);
  EXPECT_EQ(found(*r, v4("127.0.0.2")), longest);
  r->record(v4("127.0.0.2"), longest + "b");  // never cut: not recorded at all
  EXPECT_EQ(found(*r, v4("127.0.0.2")), longest);
  r->record(v4("127.0.0.3"), "");
  EXPECT_EQ(found(*r, v4("127.0.0.3")), "");
  // Bytes are kept as they are (the capture decides what is a name).
  r->record(v4("127.0.0.4"), std::string("caf\xc3\xa9.example"));
  EXPECT_EQ(found(*r, v4("127.0.0.4")), "caf\xc3\xa9.example");
}

TEST(KstLookedUpNamesTest, OldestGoOutFirstAndTheRecordStaysBounded) {
  auto r = fresh();
  for (unsigned i = 0; i < KstLookedUpNames::kSlots; ++i) r->record(numbered(i), "n" + std::to_string(i));
  EXPECT_EQ(found(*r, numbered(0)), "n0");
  EXPECT_EQ(found(*r, numbered(KstLookedUpNames::kSlots - 1)),
            "n" + std::to_string(KstLookedUpNames::kSlots - 1));
  // Thousands of names later only the newest kSlots are known.
  for (unsigned i = KstLookedUpNames::kSlots; i < 5000; ++i) r->record(numbered(i), "n" + std::to_string(i));
  EXPECT_EQ(found(*r, numbered(0)), "");
  EXPECT_EQ(found(*r, numbered(5000 - KstLookedUpNames::kSlots - 1)), "");
  EXPECT_EQ(found(*r, numbered(5000 - KstLookedUpNames::kSlots)),
            "n" + std::to_string(5000 - KstLookedUpNames::kSlots));
  EXPECT_EQ(found(*r, numbered(4999)), "n4999");
}

TEST(KstLookedUpNamesTest, RepeatedLookupsDoNotPushOthersOut) {
  auto r = fresh();
  r->record(v4("127.0.0.20"), "kept.example");
  for (int i = 0; i < 10000; ++i) r->record(v4("127.0.0.21"), "busy.example");
  EXPECT_EQ(found(*r, v4("127.0.0.20")), "kept.example");
  EXPECT_EQ(found(*r, v4("127.0.0.21")), "busy.example");
}

TEST(KstLookedUpNamesTest, AnOldRepeatIsRecordedAnewAndSurvives) {
  auto r = fresh();
  r->record(v4("127.0.0.30"), "again.example");
  unsigned n = 0;
  for (; n < KstLookedUpNames::kSlots - 10; ++n) r->record(numbered(n), "filler");
  // Near the end of the ring: looked up again, it moves to the front.
  r->record(v4("127.0.0.30"), "again.example");
  for (unsigned k = 0; k < KstLookedUpNames::kSlots / 2; ++k, ++n) r->record(numbered(n), "filler");
  EXPECT_EQ(found(*r, v4("127.0.0.30")), "again.example");
}

TEST(KstLookedUpNamesTest, ReadersNeverSeeATornEntryWhileWritersRace) {
  auto r = fresh();
  constexpr unsigned kAddresses = 64;
  // Each address only ever gets names that spell its number, in two lengths;
  // a torn read would mix them.
  auto nameFor = [](unsigned address, bool longForm) {
    const std::string n = std::to_string(address);
    return longForm ? std::string(200, 'x') + "." + n + ".example" : n + ".example";
  };
  // Every address is known before the race starts, so readers find names
  // however the threads are scheduled.
  for (unsigned a = 0; a < kAddresses; ++a) r->record(numbered(a), nameFor(a, false));
  std::atomic<bool> stop{false};
  std::atomic<long> hits{0};
  std::atomic<long> bad{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      for (unsigned i = 0; !stop.load(std::memory_order_relaxed); ++i) {
        const unsigned a = (i * 7 + static_cast<unsigned>(w)) % kAddresses;
        r->record(numbered(a), nameFor(a, (i + static_cast<unsigned>(w)) % 2 == 0));
        // Others come and go, so slots are reused under the readers.
        r->record(numbered(1000 + i % 2000), "filler.example");
      }
    });
  }
  for (int rd = 0; rd < 2; ++rd) {
    threads.emplace_back([&] {
      char name[KstLookedUpNames::kNameBuffer];
      for (int i = 0; i < 200000; ++i) {
        const unsigned a = static_cast<unsigned>(i) % kAddresses;
        const std::size_t n = r->find(numbered(a), name);
        if (n == 0) continue;
        hits.fetch_add(1, std::memory_order_relaxed);
        const std::string got(name, n);
        if (got != nameFor(a, true) && got != nameFor(a, false)) bad.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  threads[3].join();
  threads[4].join();
  stop = true;
  for (int i = 0; i < 3; ++i) threads[i].join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(hits.load(), 0);
}

TEST(KstLookedUpNamesTest, AForkedChildKnowsTheParentsNames) {
  lookedUpNames().record(v4("127.0.0.40"), "parent.example");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char name[KstLookedUpNames::kNameBuffer];
    const std::size_t n = lookedUpNames().find(v4("127.0.0.40"), name);
    lookedUpNames().record(v4("127.0.0.41"), "child.example");
    const bool ok = std::string(name, n) == "parent.example" &&
                    lookedUpNames().find(v4("127.0.0.41"), name) == std::string("child.example").size();
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The child's names stay the child's.
  char name[KstLookedUpNames::kNameBuffer];
  EXPECT_EQ(lookedUpNames().find(v4("127.0.0.41"), name), 0u);
}

TEST(KstLookedUpNamesTest, RepairAfterForkWipesOnlyHalfWrittenSlots) {
  auto r = fresh();
  r->record(v4("127.0.0.50"), "whole.example");
  r->repairAfterFork();
  EXPECT_EQ(found(*r, v4("127.0.0.50")), "whole.example");
  r->record(v4("127.0.0.51"), "next.example");
  EXPECT_EQ(found(*r, v4("127.0.0.51")), "next.example");
}

}  // namespace
}  // namespace kst
