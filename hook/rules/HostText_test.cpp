#include "hook/rules/HostText.h"

#include <gtest/gtest.h>

namespace kst {
namespace {

TEST(HostTextTest, OnlyWellFormedPrintableTextNamesAHost) {
  EXPECT_TRUE(isUsableHostText("example.com"));
  EXPECT_TRUE(isUsableHostText("bücher.example"));
  EXPECT_FALSE(isUsableHostText(""));
  EXPECT_FALSE(isUsableHostText("bad\xff.example"));
  EXPECT_FALSE(isUsableHostText("\xc0\xaf"));      // overlong
  EXPECT_FALSE(isUsableHostText("\xed\xa0\x80"));  // a surrogate
  EXPECT_FALSE(isUsableHostText("cut\xe2\x82"));   // truncated sequence
  EXPECT_FALSE(isUsableHostText("new\nline"));
}

TEST(HostTextTest, EveryWwwIsRemoved) {
  EXPECT_EQ(withoutWww("www.example.com"), "example.com");
  EXPECT_EQ(withoutWww("a.www.b.www.c"), "a.b.c");
  EXPECT_EQ(withoutWww("wwwww.x"), "wwx") << "removed wherever it stands";
  EXPECT_EQ(withoutWww("wwwww.w.example"), "example") << "none left, even one a removal joins";
}

TEST(HostTextTest, PayloadTextStopsAtZeroAndNeverReadsPastTheLength) {
  EXPECT_EQ(payloadText("GET /x", 6), "GET /x");
  EXPECT_EQ(payloadText("ab\0cd", 5), "ab");
  const char noZero[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(payloadText(noZero, 4), "abcd");
  EXPECT_FALSE(payloadText("ab", 2));
  EXPECT_FALSE(payloadText(nullptr, 10));
  EXPECT_FALSE(payloadText("\x01\xff\xfe\x00", 4));
}

}  // namespace
}  // namespace kst
