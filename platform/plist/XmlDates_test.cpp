#include "platform/plist/XmlDates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

namespace kst::plist {
namespace {

TEST(XmlDatesTest, TextsOfKnownDatesBothWays) {
  const std::vector<std::pair<double, std::string>> known = {
      {0, "2001-01-01T00:00:00Z"},
      {-6342969600.0, "1800-01-01T00:00:00Z"},
      {-3155760001.0, "1900-12-31T23:59:59Z"},
      {3138438645.25, "2100-06-15T12:30:45.25Z"},
      {252423993599.0, "9999-12-31T23:59:59Z"},
      {-63113904000.0, "0001-01-01T00:00:00Z"},
      {-0.5, "2000-12-31T23:59:59.5Z"},
  };
  for (const auto& [seconds, text] : known) {
    EXPECT_EQ(formatXmlDate(Date{seconds}), text) << seconds;
    EXPECT_EQ(parseXmlDate(text), Date{seconds}) << text;
  }
  // Past 9999 and before year 1 the year takes more digits or a sign.
  EXPECT_EQ(formatXmlDate(Date{252423993600.0}), "10000-01-01T00:00:00Z");
  EXPECT_EQ(parseXmlDate("10000-01-01T00:00:00Z"), Date{252423993600.0});
  EXPECT_EQ(parseXmlDate(formatXmlDate(Date{-1e13})), Date{-1e13});
  EXPECT_EQ(formatXmlDate(Date{-1e13}).front(), '-');
}

TEST(XmlDatesTest, OtherWritersFormsAndNonsense) {
  EXPECT_EQ(parseXmlDate("  2001-01-01T00:00:05Z\n"), Date{5});
  EXPECT_EQ(parseXmlDate("2001-01-01T00:00:05"), Date{5}) << "no Z";
  EXPECT_EQ(parseXmlDate("2001-01-02"), Date{86400}) << "no time of day";
  EXPECT_EQ(parseXmlDate("2001-01-01T00:01Z"), Date{60}) << "no seconds";
  for (const char* bad : {"", "garbage", "01-01-01T00:00:00Z", "2001-13-01T00:00:00Z", "2001-01-01T24:00:00Z",
                          "2001-01-01T00:00:00.Z", "2001-01-01T00:00:00Zjunk", "2001/01/01"})
    EXPECT_FALSE(parseXmlDate(bad)) << bad;
}

TEST(XmlDatesTest, EveryDateReadsBackExactly) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> far(-2e11, 2e11);
  for (int i = 0; i < 20000; ++i) {
    double s = far(rng);
    if (i % 3 == 0) s = std::floor(s);                    // whole seconds
    if (i % 3 == 1) s = std::floor(s) + (i % 64) / 64.0;  // short fractions
    const std::string text = formatXmlDate(Date{s});
    ASSERT_EQ(parseXmlDate(text), Date{s}) << text;
  }
}

TEST(XmlDatesTest, StandInsTakeEveryDateElementButNoneInCommentsOrText) {
  const std::string xml =
      "<plist><dict><key>a</key><date>1800-01-01T00:00:00Z</date>"
      "<!-- <date>2001-01-01T00:00:00Z</date> -->"
      "<key>b</key><string><![CDATA[<date>x</date>]]></string>"
      "<key>c</key><date>what</date></dict></plist>";
  std::vector<Date> dates;
  const std::string taken = takeXmlDates(xml, dates);
  ASSERT_EQ(dates.size(), 2u);
  EXPECT_EQ(dates[0], Date{-6342969600.0});
  EXPECT_EQ(dates[1], kUnreadableXmlDate);
  EXPECT_NE(taken.find("<!-- <date>2001-01-01T00:00:00Z</date> -->"), std::string::npos);
  EXPECT_NE(taken.find("<![CDATA[<date>x</date>]]>"), std::string::npos);
  EXPECT_NE(taken.find("<date>2001-01-01T00:00:00Z</date>"), std::string::npos) << "index 0";
  EXPECT_NE(taken.find("<date>2001-01-01T00:00:01Z</date>"), std::string::npos) << "index 1";
  // And back: the stand-ins become the dates they stand for.
  const std::optional<std::string> back = putXmlDates(taken, dates);
  ASSERT_TRUE(back);
  EXPECT_NE(back->find("<key>a</key><date>1800-01-01T00:00:00Z</date>"), std::string::npos);
  EXPECT_FALSE(putXmlDates("<date>2001-01-01T00:00:09Z</date>", dates)) << "names no date";
}

}  // namespace
}  // namespace kst::plist
