#include "platform/messaging/Frame.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace kst::messaging {
namespace {

std::string bodyOf(const std::optional<std::string>& frame) {
  return frame ? frame->substr(kFrameHeaderSize) : std::string();
}

std::string binary(const plist::Value& value) {
  return plist::encodeBinary(value).value_or(std::string());
}

TEST(FrameTest, RequestsRoundTripWithAndWithoutUserInfo) {
  Request with{"messageForWindow", plist::Dictionary{{"host", "example.com"}, {"port", "443"}}, true};
  auto frame = encodeRequest(with);
  ASSERT_TRUE(frame);
  // The header is the body length, big-endian.
  EXPECT_EQ(bodyLength(frame->substr(0, 4)), frame->size() - kFrameHeaderSize);
  auto back = decodeRequest(bodyOf(frame));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name, "messageForWindow");
  ASSERT_TRUE(back->userInfo);
  EXPECT_EQ(*back->userInfo, *with.userInfo);
  EXPECT_TRUE(back->wantsReply);

  Request without{"logMessage", std::nullopt, false};
  back = decodeRequest(bodyOf(encodeRequest(without)));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name, "logMessage");
  EXPECT_FALSE(back->userInfo) << "absent stays absent, not an empty dictionary";
  EXPECT_FALSE(back->wantsReply);

  // The body is the documented dictionary, readable by any plist reader.
  auto raw = plist::decode(bodyOf(encodeRequest(without)));
  ASSERT_TRUE(raw && raw->asDictionary());
  EXPECT_FALSE(raw->asDictionary()->contains("userInfo"));
  EXPECT_EQ(raw->asDictionary()->find("reply")->asBoolean() != nullptr, true);
}

TEST(FrameTest, RepliesRoundTripIncludingEmpty) {
  plist::Dictionary reply{{"whatToDo", 2}, {"host", "a.b"}};
  auto back = decodeReply(bodyOf(encodeReply(reply)));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, reply);
  back = decodeReply(bodyOf(encodeReply(plist::Dictionary())));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->empty());
}

TEST(FrameTest, LengthLimitIsSixteenMebibytes) {
  EXPECT_EQ(bodyLength(std::string("\x01\x00\x00\x00", 4)), kMaxFrameBody);
  EXPECT_FALSE(bodyLength(std::string("\x01\x00\x00\x01", 4)));
  EXPECT_FALSE(bodyLength(std::string("\xff\xff\xff\xff", 4)));
  EXPECT_FALSE(bodyLength("abc"));
  // Nothing larger is ever produced either.
  Request big{"x", plist::Dictionary{{"data", plist::Data(kMaxFrameBody + 1, 7)}}, true};
  EXPECT_FALSE(encodeRequest(big));
}

TEST(FrameTest, MalformedRequestBodiesAreRefused) {
  const plist::Dictionary info{{"k", "v"}};
  const std::vector<std::pair<const char*, std::string>> bad = {
      {"empty", ""},
      {"not a dictionary", binary(plist::Array{plist::Value("name")})},
      {"no name", binary(plist::Dictionary{{"reply", true}})},
      {"name not a string", binary(plist::Dictionary{{"name", 5}, {"reply", true}})},
      {"no reply flag", binary(plist::Dictionary{{"name", "n"}})},
      {"reply not a boolean", binary(plist::Dictionary{{"name", "n"}, {"reply", "yes"}})},
      {"userInfo not a dictionary",
       binary(plist::Dictionary{{"name", "n"}, {"userInfo", plist::Array{}}, {"reply", true}})},
      {"XML form", plist::encodeXml(plist::Dictionary{{"name", "n"}, {"reply", true}}).value_or("")},
      {"truncated", binary(plist::Dictionary{{"name", "n"}, {"reply", true}}).substr(0, 20)},
  };
  for (const auto& [what, body] : bad) EXPECT_FALSE(decodeRequest(body)) << what;
  EXPECT_FALSE(decodeReply(binary(plist::Array{}))) << "a reply must be a dictionary";

  std::mt19937 rng(1234);
  for (int i = 0; i < 500; ++i) {
    std::string junk(rng() % 200, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    if (i % 2 == 0) junk.insert(0, "bplist00");
    EXPECT_FALSE(decodeRequest(junk));
  }
}

TEST(FrameTest, TextThatIsNotUtf8IsRefused) {
  // A binary list's "ASCII" strings may carry any byte; such text would not
  // survive the next encoder unchanged, so the frame is refused.
  const auto withByte = [](plist::Dictionary dict, std::string_view marker, char byte) {
    std::string body = *plist::encodeBinary(plist::Value(std::move(dict)));
    body[body.find(marker)] = byte;
    return body;
  };
  EXPECT_TRUE(decodeRequest(withByte({{"name", "Qmessage"}, {"reply", true}}, "Qmessage", 'R')));
  EXPECT_FALSE(decodeRequest(withByte({{"name", "Qmessage"}, {"reply", true}}, "Qmessage", '\x84')));
  EXPECT_FALSE(decodeRequest(withByte(
      {{"name", "n"}, {"userInfo", plist::Dictionary{{"k", plist::Array{"Qvalue"}}}}, {"reply", true}},
      "Qvalue", '\xff')));
  EXPECT_FALSE(decodeReply(withByte({{"Qkey", 1}}, "Qkey", '\xc0')));
  EXPECT_TRUE(decodeReply(*plist::encodeBinary(plist::Dictionary{{"host", "bücher.example"}})));
}

TEST(FrameTest, TextWithNulInsideIsRefusedWithoutCrashing) {
  // libplist 2.2 stops the process on an assertion when such a string or key
  // is read; the frame must be refused before that.
  const auto withNul = [](plist::Dictionary dict, std::string_view marker) {
    std::string body = *plist::encodeBinary(plist::Value(std::move(dict)));
    body[body.find(marker) + 1] = '\0';
    return body;
  };
  EXPECT_FALSE(decodeRequest(withNul({{"name", "Qmessage"}, {"reply", true}}, "Qmessage")));
  EXPECT_FALSE(decodeRequest(
      withNul({{"name", "n"}, {"userInfo", plist::Dictionary{{"Qkey", 1}}}, {"reply", true}}, "Qkey")));
  // In a UTF-16 string "Q" is the low byte of its unit; zero the next unit.
  std::string utf16 = *plist::encodeBinary(plist::Dictionary{{"host", "Qbücher"}});
  utf16[utf16.find('Q') + 2] = '\0';
  EXPECT_FALSE(decodeReply(utf16));
  EXPECT_FALSE(decodeReply(withNul({{"QallowArray", plist::Array{}}}, "Qallow")));
  // Text with every other character still reads.
  const plist::Dictionary fine{{"k\x01\x7f", "bücher \t\n"}, {"a", plist::Array{"x", 1, 2.5}}};
  EXPECT_EQ(decodeReply(*plist::encodeBinary(fine)), fine);
}

TEST(FrameTest, ReaderAssemblesPiecesAndRefusesOversizeAndTrailingBytes) {
  const auto frame = encodeRequest(Request{"n", plist::Dictionary{{"k", "v"}}, true});
  ASSERT_TRUE(frame);
  FrameReader reader;
  for (std::size_t i = 0; i + 1 < frame->size(); ++i)
    ASSERT_EQ(reader.feed(frame->substr(i, 1)), FrameReader::State::kNeedMore) << i;
  EXPECT_EQ(reader.wanted(), 1u);
  EXPECT_EQ(reader.feed(frame->substr(frame->size() - 1)), FrameReader::State::kComplete);
  EXPECT_EQ(reader.body(), frame->substr(kFrameHeaderSize));
  EXPECT_EQ(reader.feed("x"), FrameReader::State::kBad) << "one connection, one request";

  FrameReader oversize;
  EXPECT_EQ(oversize.feed(std::string("\x01\x00\x00\x01", 4)), FrameReader::State::kBad)
      << "refused from the header alone, before any body is read";

  FrameReader together;
  EXPECT_EQ(together.feed(*frame + "extra"), FrameReader::State::kBad);

  FrameReader empty;
  EXPECT_EQ(empty.feed(std::string(4, '\0')), FrameReader::State::kComplete);
  EXPECT_FALSE(decodeRequest(empty.body()));
}

}  // namespace
}  // namespace kst::messaging
