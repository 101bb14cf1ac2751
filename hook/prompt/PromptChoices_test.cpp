#include "hook/prompt/PromptChoices.h"

#include <gtest/gtest.h>

#include "hook/prompt/PortList.h"
#include "hook/prompt/PromptLayout.h"

namespace kst::prompt {
namespace {

TEST(AnswerCode, EveryButtonInBothModes) {
  const int allow[] = {0, 6, 10, 2, 4, 8};
  const int deny[] = {1, 7, 11, 3, 5, 9};
  for (int tag = 0; tag < kButtonCount; ++tag) {
    EXPECT_EQ(answerCode(0, tag), allow[tag]) << kButtonTitles[tag];
    EXPECT_EQ(answerCode(1, tag), deny[tag]) << kButtonTitles[tag];
  }
  EXPECT_EQ(answerCode(1, 5), msg::globalDeny);
  EXPECT_FALSE(answerCode(0, 6));
  EXPECT_FALSE(answerCode(1, -1));
}

TEST(HostParts, AddressesAndShortNamesOfferNone) {
  EXPECT_TRUE(isIP(std::nullopt));
  EXPECT_TRUE(isIP(std::string("10.0.0.1")));
  EXPECT_TRUE(isIP(std::string("fe80::1")));
  EXPECT_TRUE(isIP(std::string("EXAMPLE.COM")));  // only lower case is looked for
  EXPECT_FALSE(isIP(std::string("example.com")));
  EXPECT_FALSE(hostPartsArray(std::string("10.0.0.1")));
  EXPECT_FALSE(hostPartsArray(std::string("fe80::1")));
  EXPECT_FALSE(hostPartsArray(std::string("example.com")));
  EXPECT_FALSE(hostPartsArray(std::nullopt));
}

TEST(HostParts, LastTwoLabelsStayTogether) {
  EXPECT_EQ(hostPartsArray(std::string("a.b.example.com")),
            (std::vector<std::string>{"a", "b", "example.com"}));
  EXPECT_EQ(hostPartsArray(std::string("mail.example.com")),
            (std::vector<std::string>{"mail", "example.com"}));
}

TEST(HostParts, AssembledHostKeepsTheSelectedTrailingRun) {
  const std::vector<std::string> parts{"a", "b", "example.com"};
  EXPECT_EQ(assembleHost(parts, {true, true, true}), "a.b.example.com");
  EXPECT_EQ(assembleHost(parts, {false, true, true}), "b.example.com");
  EXPECT_EQ(assembleHost(parts, {false, false, true}), "example.com");
  // A shorter selection list than parts never reads past either.
  EXPECT_EQ(assembleHost(parts, {true, true}), "a.b");
}

TEST(QuestionLine, AbsentTextsAreLeftOut) {
  EXPECT_EQ(questionLine(std::string("Mail"), std::string("443")), "Mail tries to contact (port 443):");
  EXPECT_EQ(questionLine(std::nullopt, std::nullopt), " tries to contact (port ):");
}

TEST(Printable, ControlCharactersBecomeSpaces) {
  EXPECT_EQ(printable(std::string("a\nb\tc\x7f") + '\0' + "d"), std::string("a b c  d"));
}

TEST(Accent, DarkBackdropsGetTheLightBlue) {
  const Rgb dark = accentFor(0.1, 0.1, 0.2);
  const Rgb light = accentFor(0.9, 0.9, 0.9);
  EXPECT_DOUBLE_EQ(dark.r, kAccentLight.r);
  EXPECT_DOUBLE_EQ(light.b, kAccentBlue.b);
  // 0.36 itself is bright enough for the darker blue.
  EXPECT_DOUBLE_EQ(accentFor(0.36, 0.36, 0.36).g, kAccentBlue.g);
}

TEST(WhoIs, QueryIsTheAddressOrTheRegisteredDomain) {
  EXPECT_EQ(whoIsQuery(std::string("mail.example.com")), "example.com");
  EXPECT_EQ(whoIsQuery(std::string("www.mail.example.com")), "example.com");
  EXPECT_EQ(whoIsQuery(std::string("8.8.8.8")), "8.8.8.8");
  EXPECT_EQ(whoIsQuery(std::string("fe80::1")), "fe80::1");
  EXPECT_EQ(whoIsQuery(std::string("localhost")), "localhost");
  EXPECT_FALSE(whoIsQuery(std::nullopt));
}

TEST(WhoIs, QueryIsPercentEncodedAndBadHostsNeverReachTheRequest) {
  EXPECT_EQ(whoIsUrl("whois.test", "example.com"), "http://whois.test/whois/example.com");
  EXPECT_EQ(whoIsUrl("whois.test", "fe80::1"), "http://whois.test/whois/fe80%3A%3A1");
  EXPECT_FALSE(whoIsUrl("whois.test", "evil.com/../../admin?x=1"));
  EXPECT_FALSE(whoIsUrl("whois.test", "a b.com"));
  EXPECT_FALSE(whoIsUrl("whois.test", "host\r\nX-Injected: 1"));
  EXPECT_FALSE(whoIsUrl("whois.test", ""));
  EXPECT_FALSE(whoIsUrl("whois.test", std::string(10000, 'a')));
}

TEST(WhoIs, AddressPagesShowThePrePart) {
  EXPECT_EQ(whoIsText("<html><pre>NetRange: 8.0.0.0</pre><pre>x</pre>", true, false), "NetRange: 8.0.0.0");
  EXPECT_EQ(whoIsText("<html>no record</html>", true, false), kWhoIsFailed);
  EXPECT_EQ(whoIsText("", true, false), kWhoIsFailed);
}

TEST(WhoIs, NamePagesShowTheLastMarkedPart) {
  const std::string start = "<td align=\"left\" valign=\"middle\"><span class=\"standard\">";
  const std::string end = "</pre>\t </span></td>";
  const std::string page = "head" + start + "first" + end + start + "Domain Name: EXAMPLE.COM" + end + "tail";
  EXPECT_EQ(whoIsText(page, false, false), "Domain Name: EXAMPLE.COM");
  // Missing start marker: the whole page up to the end marker.
  EXPECT_EQ(whoIsText("Registrar: X" + end + "rest", false, false), "Registrar: X");
  // Missing end marker: everything after the start marker.
  EXPECT_EQ(whoIsText(start + "Registrar: Y", false, false), "Registrar: Y");
  // The iOS 7/8 library cuts at the shorter marker.
  EXPECT_EQ(whoIsText(start + "Z</b></span></td>", false, true), "Z</b>");
  EXPECT_EQ(whoIsText("", false, false), kWhoIsFailed);
}

TEST(PortList, MacRomanIsDecoded) {
  EXPECT_EQ(decodeMacRoman("80 http"), QString("80 http"));
  EXPECT_EQ(decodeMacRoman("\x80\x8e\xa5\xd2\xd3\xf0"), QString::fromUtf8("Äé•“”\xef\xa3\xbf"));
}

TEST(PortList, MissingFileIsEmpty) {
  EXPECT_TRUE(readPortList("/nonexistent/ports.txt").isEmpty());
}

TEST(Layout, OrientationCodesPickLayoutAndRotation) {
  EXPECT_EQ(&layoutFor(0), &portraitLayout());
  EXPECT_EQ(&layoutFor(3), &portraitLayout());
  EXPECT_EQ(&layoutFor(1), &landscapeLayout());
  EXPECT_EQ(&layoutFor(2), &landscapeLayout());
  EXPECT_EQ(&layoutFor(7), &portraitLayout());
  EXPECT_EQ(rotationFor(0), 0);
  EXPECT_EQ(rotationFor(1), 90);
  EXPECT_EQ(rotationFor(2), -90);
  EXPECT_EQ(rotationFor(3), 180);
}

}  // namespace
}  // namespace kst::prompt
