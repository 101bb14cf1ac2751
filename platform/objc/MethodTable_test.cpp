#include "platform/objc/MethodTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kst::objc {
namespace {

// Each test uses classes of its own: the table is per process and
// append-only, so nothing a test adds can be taken back.

int answer(KstId, KstSel, int x) {
  return x + 1;
}
int answerTwice(KstId, KstSel, int x) {
  return 2 * x;
}

bool gSawInside = false;
int insideReporter(KstId, KstSel) {
  gSawInside = substrate::inside();
  return 7;
}

TEST(MethodTableTest, ClassesAndSelectorsAreFoundByName) {
  EXPECT_EQ(getClass("MTNoSuchClass"), nullptr);
  KstClass cls = registerClass("MTClassA");
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(registerClass("MTClassA"), cls);
  EXPECT_EQ(getClass("MTClassA"), cls);
  EXPECT_NE(registerClass("MTClassB"), cls);
  EXPECT_STREQ(className(cls), "MTClassA");

  KstSel sel = selector("mt:interned:");
  EXPECT_EQ(selector(std::string("mt:interned:")), sel);
  EXPECT_NE(selector("mt:other:"), sel);
  EXPECT_STREQ(selectorName(sel), "mt:interned:");
  EXPECT_EQ(className(nullptr), nullptr);
  EXPECT_EQ(selectorName(nullptr), nullptr);
}

TEST(MethodTableTest, AddMethodKeepsTheFirstImplementation) {
  KstClass cls = registerClass("MTAdd");
  KstSel sel = selector("mtAnswer:");
  EXPECT_EQ(send<int>(cls, sel, nullptr, 1), 0);  // no method yet: R()
  EXPECT_TRUE(addMethod(cls, sel, reinterpret_cast<KstImp>(&answer), "i@:i"));
  EXPECT_FALSE(addMethod(cls, sel, reinterpret_cast<KstImp>(&answerTwice), "i@:i"));
  EXPECT_EQ(send<int>(cls, sel, nullptr, 41), 42);
  EXPECT_STREQ(methodTypes(cls, sel), "i@:i");
  // The same selector on another class is another method.
  EXPECT_EQ(methodImplementation(registerClass("MTAddOther"), sel), nullptr);
  EXPECT_FALSE(addMethod(nullptr, sel, reinterpret_cast<KstImp>(&answer), ""));
  EXPECT_FALSE(addMethod(cls, nullptr, reinterpret_cast<KstImp>(&answer), ""));
  EXPECT_FALSE(addMethod(cls, selector("mtNull"), nullptr, ""));
}

TEST(MethodTableTest, ReplaceOnceAndHandBackTheOriginal) {
  KstClass cls = registerClass("MTReplace");
  KstSel sel = selector("mtAnswer:");
  ASSERT_TRUE(addMethod(cls, sel, reinterpret_cast<KstImp>(&answer), "i@:i"));
  KstImp original = nullptr;
  EXPECT_TRUE(replaceMethod(cls, sel, reinterpret_cast<KstImp>(&answerTwice), &original));
  EXPECT_EQ(original, reinterpret_cast<KstImp>(&answer));
  EXPECT_EQ(send<int>(cls, sel, nullptr, 10), 20);
  bool replaced = false;
  EXPECT_EQ(methodImplementation(cls, sel, &replaced), reinterpret_cast<KstImp>(&answerTwice));
  EXPECT_TRUE(replaced);

  // A second hook never stacks on the first; its slot still reaches the original.
  KstImp second = nullptr;
  EXPECT_FALSE(replaceMethod(cls, sel, reinterpret_cast<KstImp>(&answer), &second));
  EXPECT_EQ(second, reinterpret_cast<KstImp>(&answer));
  EXPECT_EQ(send<int>(cls, sel, nullptr, 10), 20);
}

TEST(MethodTableTest, MissingClassOrMethodGetsNoReplacement) {
  KstImp slot = reinterpret_cast<KstImp>(&answer);
  EXPECT_FALSE(replaceMethod(getClass("MTAbsentClass"), selector("mtAnswer:"),
                             reinterpret_cast<KstImp>(&answerTwice), &slot));
  EXPECT_EQ(slot, nullptr);
  slot = reinterpret_cast<KstImp>(&answer);
  EXPECT_FALSE(replaceMethod(registerClass("MTNoMethods"), selector("mtAnswer:"),
                             reinterpret_cast<KstImp>(&answerTwice), &slot));
  EXPECT_EQ(slot, nullptr);
  EXPECT_FALSE(replaceMethod(registerClass("MTNoMethods"), selector("mtAnswer:"), nullptr, nullptr));
}

TEST(MethodTableTest, ReplacementRunsInsideTheSubstrate) {
  KstClass cls = registerClass("MTInside");
  KstSel sel = selector("mtInside");
  ASSERT_TRUE(addMethod(cls, sel, reinterpret_cast<KstImp>(&insideReporter), "i@:"));
  gSawInside = true;
  EXPECT_EQ(send<int>(cls, sel, nullptr), 7);
  EXPECT_FALSE(gSawInside);  // the original is plain code

  KstClass other = registerClass("MTInsideHooked");
  ASSERT_TRUE(addMethod(other, sel, reinterpret_cast<KstImp>(&answer), "i@:"));
  ASSERT_TRUE(replaceMethod(other, sel, reinterpret_cast<KstImp>(&insideReporter), nullptr));
  EXPECT_EQ(send<int>(other, sel, nullptr), 7);
  EXPECT_TRUE(gSawInside);
  EXPECT_FALSE(substrate::inside());
}

TEST(MethodTableTest, RacingThreadsAgreeOnOneOfEach) {
  constexpr int kThreads = 8;
  std::vector<KstClass> classes(kThreads);
  std::vector<KstSel> selectors(kThreads);
  std::vector<int> added(kThreads);
  std::vector<int> won(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < kThreads) {
      }
      classes[t] = registerClass("MTRace");
      selectors[t] = selector("mtRace:");
      // Names of their own too, so the lists grow while others read them.
      registerClass("MTRace" + std::to_string(t));
      selector("mtRace" + std::to_string(t));
      added[t] = addMethod(classes[t], selectors[t], reinterpret_cast<KstImp>(&answer), "i@:i");
      won[t] = replaceMethod(classes[t], selectors[t], reinterpret_cast<KstImp>(&answerTwice), nullptr);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(std::set<KstClass>(classes.begin(), classes.end()).size(), 1u);
  EXPECT_EQ(std::set<KstSel>(selectors.begin(), selectors.end()).size(), 1u);
  EXPECT_EQ(std::count(added.begin(), added.end(), 1), 1);
  EXPECT_EQ(std::count(won.begin(), won.end(), 1), 1);
  for (int t = 0; t < kThreads; ++t) EXPECT_NE(getClass("MTRace" + std::to_string(t)), nullptr);
  EXPECT_EQ(send<int>(classes[0], selectors[0], nullptr, 4), 8);
}

}  // namespace
}  // namespace kst::objc
