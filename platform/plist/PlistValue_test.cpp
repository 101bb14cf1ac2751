#include "platform/plist/PlistValue.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/plist/PlistNode.h"
#include "platform/testing/TempRoot.h"

namespace kst::plist {
namespace {

TEST(PlistValueTest, EveryTypeSurvivesBinaryRoundTrip) {
  Dictionary dict{
      {"s", Value("text with ünïcode")},
      {"i", Value(std::int64_t{1234567890123})},
      {"neg", Value(-5)},
      {"r", Value(2.5)},
      {"b", Value(true)},
      {"d", Value(Date{86400.5})},
      {"data", Value(Data{0, 1, 2, 255})},
      {"a", Value(Array{Value("x"), Value(1)})},
      {"nested", Value(Dictionary{{"k", Value(false)}})},
  };
  auto bytes = encodeBinary(Value(dict));
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->substr(0, 6), "bplist");
  auto back = decode(*bytes);
  ASSERT_TRUE(back);
  ASSERT_NE(back->asDictionary(), nullptr);
  EXPECT_EQ(*back->asDictionary(), dict);
  EXPECT_EQ(back->asDictionary()->keys(), dict.keys()) << "key order must be kept";
}

TEST(PlistValueTest, XmlFormIsReadToo) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>150</key><true/><key>when</key><date>2001-01-02T00:00:00Z</date>"
      "<key>n</key><integer>-3</integer></dict></plist>";
  auto v = decode(xml);
  ASSERT_TRUE(v);
  const Dictionary* d = v->asDictionary();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(*d->find("150")->asBoolean(), true);
  // Dates count from the original platform's reference date, 2001-01-01.
  EXPECT_DOUBLE_EQ(d->find("when")->asDate()->secondsSinceReference, 86400.0);
  EXPECT_EQ(*d->find("n")->asInteger(), -3);
}

TEST(PlistValueTest, GarbageReadsAsAbsent) {
  EXPECT_FALSE(decode(""));
  EXPECT_FALSE(decode("not a plist at all"));
  EXPECT_FALSE(decode("<plist><dict><key>a</key>"));  // truncated XML
  auto good = encodeBinary(Value(Dictionary{{"a", Value(Array{Value(1), Value(2)})}}));
  ASSERT_TRUE(good);
  for (std::size_t cut = 0; cut < good->size(); ++cut) {
    // A truncated binary file must never crash; libplist may or may not
    // salvage something, but whatever comes back is a value of ours.
    (void)decode(good->substr(0, cut));
  }
  EXPECT_FALSE(decode(good->substr(0, 8)));
  std::string flipped = *good;
  flipped[flipped.size() - 3] ^= 0x7f;  // corrupt the trailer
  (void)decode(flipped);
}

TEST(PlistValueTest, TextWithANulInsideIsKeptWhole) {
  const std::string text("ab\0cd\x01", 6);
  auto bytes = encodeBinary(Value(Dictionary{{text, Value(text)}}));
  ASSERT_TRUE(bytes);
  auto back = decode(*bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back->asDictionary()->string(text), text);
  // The XML reader takes character references; a NUL one must not abort.
  (void)decode("<plist version=\"1.0\"><dict><key>a&#0;b</key><string>x&#0;y</string></dict></plist>");
}

// Facts of Debian 12's libplist 2.2 that the wrapper depends on.
TEST(PlistValueTest, XmlTextWithARawNulIsReadNotAborted) {
  // Found by fuzzing the rule files: a NUL byte inside an XML string stopped
  // every process that read the file.
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      "<key>rule</key><string>a.example</string>\n<key>k</key><string>be";
  xml += '\0';
  xml += "fore</string>\n</dict>\n</plist>\n";
  const auto value = decode(xml);
  ASSERT_TRUE(value);
  const Dictionary* dict = value->asDictionary();
  ASSERT_NE(dict, nullptr);
  ASSERT_NE(dict->string("rule"), nullptr);
  EXPECT_EQ(*dict->string("rule"), "a.example");
  ASSERT_NE(dict->string("k"), nullptr);
  EXPECT_EQ(dict->string("k")->substr(0, 2), "be");
}

TEST(LibplistFactsTest, FailedParseLeavesOutputUntouched) {
  plist_t out = nullptr;
  const char junk[] = "junk";
  plist_from_bin(junk, sizeof junk - 1, &out);
  EXPECT_EQ(out, nullptr);
  plist_from_xml(junk, sizeof junk - 1, &out);
  EXPECT_EQ(out, nullptr);
}

TEST(LibplistFactsTest, IntegersAreUnsignedTwosComplement) {
  Node n(plist_new_uint(static_cast<std::uint64_t>(std::int64_t{-7})));
  std::uint64_t raw = 0;
  plist_get_uint_val(n.get(), &raw);
  EXPECT_EQ(raw, 0xFFFFFFFFFFFFFFF9ULL);
  auto bytes = encodeBinary(Value(Dictionary{{"n", Value(-7)}}));
  ASSERT_TRUE(bytes);
  auto back = decode(*bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back->asDictionary()->find("n")->asInteger(), -7);
}

TEST(LibplistFactsTest, NewDateReadsBackFromReferenceDate) {
  // plist_set_date_val leaves a node whose read-back aborts the process;
  // dates are only ever built with plist_new_date, whose seconds count from
  // 2001-01-01.
  Node n(plist_new_date(3600, 250000));
  std::int32_t sec = 0;
  std::int32_t usec = 0;
  plist_get_date_val(n.get(), &sec, &usec);
  EXPECT_EQ(sec, 3600);
  EXPECT_EQ(usec, 250000);
  auto xml = encodeXml(Value(Dictionary{{"d", Value(Date{3600})}}));
  ASSERT_TRUE(xml);
  EXPECT_NE(xml->find("2001-01-01T01:00:00Z"), std::string::npos) << *xml;
}

TEST(PlistValueTest, DatesKeepTheirValueFarFromTheReferenceDate) {
  // 1900-01-01 and 2200-01-01 with a fraction: outside 32-bit seconds.
  for (double when : {-3187296000.0 + 0.125, 6248044800.0 + 0.5, 1e12}) {
    auto bytes = encodeBinary(Value(Dictionary{{"d", Value(Date{when})}}));
    ASSERT_TRUE(bytes);
    auto back = decode(*bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->asDictionary()->find("d")->asDate()->secondsSinceReference, when);
  }
}

TEST(PlistValueTest, XmlDatesKeepTheirValueFarFromTheReferenceDate) {
  // libplist alone would read and write these as 1932 or 2069, whole seconds.
  const std::vector<double> far = {-3187296000.0 + 0.125, 6248044800.0 + 0.5, 1e12, -63113904000.0, 0.25};
  Array dates;
  for (double when : far) dates.emplace_back(Date{when});
  const Value v(Dictionary{{"dates", Value(std::move(dates))}, {"rule", "a.example"}});
  const std::optional<std::string> xml = encodeXml(v);
  ASSERT_TRUE(xml);
  EXPECT_NE(xml->find("<date>1900-01-01T00:00:00.125Z</date>"), std::string::npos) << *xml;
  EXPECT_NE(xml->find("<date>0001-01-01T00:00:00Z</date>"), std::string::npos) << *xml;
  const std::optional<Value> back = decode(*xml);
  ASSERT_TRUE(back);
  EXPECT_TRUE(*back == v);

  // Another writer's document: Python's plistlib, whole seconds.
  testing::TempRoot tmp;
  const std::string file = tmp.dir() + "/far.plist";
  const std::string command = "python3 -c \"import plistlib, datetime as d; open('" + file +
                              "', 'wb').write(plistlib.dumps({'a': d.datetime(1800, 1, 1), 'b': "
                              "d.datetime(2200, 6, 15, 12, 30, 45)}))\"";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::optional<Value> theirs = decode(bytes);
  ASSERT_TRUE(theirs) << bytes;
  EXPECT_EQ(*theirs->asDictionary()->find("a")->asDate(), Date{-6342969600.0});
  EXPECT_EQ(*theirs->asDictionary()->find("b")->asDate(), Date{6294112245.0});
}

TEST(PlistValueTest, DeepNestingIsRefusedNotOverflowed) {
  std::string xml = "<plist version=\"1.0\">";
  for (int i = 0; i < 400; ++i) xml += "<array>";
  for (int i = 0; i < 400; ++i) xml += "</array>";
  xml += "</plist>";
  EXPECT_FALSE(decode(xml));
}

TEST(BoolValueTest, ReadsEveryValueAsTheOriginalPlatformDoes) {
  EXPECT_FALSE(boolValue(nullptr));
  EXPECT_TRUE(boolValue(nullptr, true));
  Value t(true), f(false), one(1), zero(0), neg(-2), real(0.5), realZero(0.0);
  EXPECT_TRUE(boolValue(&t));
  EXPECT_FALSE(boolValue(&f, true)) << "a present false is false even when absence means true";
  EXPECT_TRUE(boolValue(&one));
  EXPECT_FALSE(boolValue(&zero));
  EXPECT_TRUE(boolValue(&neg));
  EXPECT_TRUE(boolValue(&real));
  EXPECT_FALSE(boolValue(&realZero));
  for (const char* yes : {"YES", "yes", "true", "T", "1", "  +0009", "-1", "y whatever", "007"}) {
    Value v(yes);
    EXPECT_TRUE(boolValue(&v)) << yes;
  }
  for (const char* no : {"", "NO", "false", "0", "000", " ", "+", "x1", "-0"}) {
    Value v(no);
    EXPECT_FALSE(boolValue(&v)) << no;
  }
  // Values that are no boolean at all read as missing: their default.
  Value data(Data{1}), array(Array{Value(true)}), dict(Dictionary{}), date(Date{5});
  for (const Value* v : {&data, &array, &dict, &date}) {
    EXPECT_FALSE(boolValue(v));
    EXPECT_TRUE(boolValue(v, true));
  }
}

TEST(PlistValueTest, CopiesShareAnArrayUntilOneChangesIt) {
  Value original(Array{Value("a.example"), Value(Dictionary{{"rule", "b.example"}})});
  Value copy = original;
  EXPECT_EQ(copy.arrayIdentity(), original.arrayIdentity());
  copy.asArray()->push_back(Value("c.example"));
  EXPECT_NE(copy.arrayIdentity(), original.arrayIdentity());
  EXPECT_EQ(original.asArray()->size(), 2u);
  EXPECT_EQ(copy.asArray()->size(), 3u);
  // A value alone with its array changes it in place.
  const void* own = copy.arrayIdentity();
  copy.asArray()->pop_back();
  EXPECT_EQ(copy.arrayIdentity(), own);
  EXPECT_TRUE(copy == original);
  // A moved-from value reads as an empty array and can be filled again.
  Value moved = std::move(copy);
  ASSERT_NE(copy.asArray(), nullptr);  // NOLINT(bugprone-use-after-move): on purpose
  EXPECT_TRUE(std::as_const(copy).asArray()->empty());
  copy.asArray()->push_back(Value(1));
  EXPECT_EQ(copy.asArray()->size(), 1u);
  EXPECT_EQ(moved.asArray()->size(), 2u);
}

TEST(PlistValueTest, ThreadsWithCopiesOfOneArrayEachSeeTheirOwn) {
  // A cached dictionary read on one thread while a writer on another copies
  // it and changes its copy (the rule writer does this): the reader never
  // sees the change, and the last holder changes the array in place.
  Array rules;
  for (int i = 0; i < 200; ++i) rules.emplace_back("r" + std::to_string(i));
  const Value cached(std::move(rules));
  std::atomic<bool> stop{false};
  std::atomic<int> passes{0};
  std::size_t seen = 0;
  std::thread reader([&] {
    Value mine = cached;
    while (!stop.load()) {
      for (const Value& v : *std::as_const(mine).asArray()) seen += v.asString()->size();
      Value again = mine;  // copies come and go
      ++passes;
    }
  });
  while (passes.load() == 0) std::this_thread::yield();  // the reader holds its copy
  for (int round = 0; round < 200; ++round) {
    Value copy = cached;
    copy.asArray()->emplace_back("one.more");
    EXPECT_EQ(copy.asArray()->size(), 201u);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(cached.asArray()->size(), 200u);
  EXPECT_GT(seen, 0u);
}

TEST(DictionaryTest, SetReplacesInPlaceAndKeepsOrder) {
  Dictionary d;
  d.set("b", Value(1));
  d.set("a", Value(2));
  d.set("b", Value(3));
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(*d.find("b")->asInteger(), 3);
  EXPECT_TRUE(d.erase("b"));
  EXPECT_FALSE(d.erase("b"));
  EXPECT_EQ(d.string("a"), nullptr) << "typed access of a non-string is absent";
}

}  // namespace
}  // namespace kst::plist
