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

TEST(FrameTest, LengthLimitIsTheDocumentedBound) {
  EXPECT_EQ(kMaxFrameBody, 256u * 1024u * 1024u);
  EXPECT_EQ(bodyLength(std::string("\x10\x00\x00\x00", 4)), kMaxFrameBody);
  EXPECT_FALSE(bodyLength(std::string("\x10\x00\x00\x01", 4)));
  EXPECT_FALSE(bodyLength(std::string("\xff\xff\xff\xff", 4)));
  EXPECT_FALSE(bodyLength("abc"));
  // Nothing larger is ever produced either (shown at a lowered bound).
  ScopedFrameLimitForTesting lowered(1000);
  EXPECT_FALSE(encodeRequest(Request{"x", plist::Dictionary{{"data", plist::Data(1000, 7)}}, true}));
  EXPECT_FALSE(encodeReply(plist::Dictionary{{"data", plist::Data(1000, 7)}}));
  EXPECT_TRUE(encodeReply(plist::Dictionary{{"data", plist::Data(900, 7)}}));
  EXPECT_FALSE(bodyLength(std::string("\x00\x00\x03\xe9", 4)));
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

TEST(FrameTest, TextCrossesWholeWithNulAndControlCharacters) {
  const plist::Dictionary fine{{std::string("k\0\x01\x7f", 4), "bücher \t\n"},
                               {"host", std::string("a\0b", 3)},
                               {"a", plist::Array{"x", 1, 2.5}}};
  EXPECT_EQ(decodeReply(bodyOf(encodeReply(fine))), fine);
  // A one-byte string with bytes above 0x7F reads them as Latin-1.
  std::string body = *plist::encodeBinary(plist::Dictionary{{"name", "Qmessage"}, {"reply", true}});
  body[body.find("Qmessage")] = '\xE9';
  const auto request = decodeRequest(body);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->name, "\xC3\xA9message");
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
  EXPECT_EQ(oversize.feed(std::string("\x10\x00\x00\x01", 4)), FrameReader::State::kBad)
      << "refused from the header alone, before any body is read";

  FrameReader together;
  EXPECT_EQ(together.feed(*frame + "extra"), FrameReader::State::kBad);

  FrameReader empty;
  EXPECT_EQ(empty.feed(std::string(4, '\0')), FrameReader::State::kComplete);
  EXPECT_FALSE(decodeRequest(empty.body()));
}

}  // namespace
}  // namespace kst::messaging
