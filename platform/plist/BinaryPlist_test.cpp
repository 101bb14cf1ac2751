#include "platform/plist/BinaryPlist.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "platform/plist/PlistNode.h"
#include "platform/testing/TempRoot.h"

namespace kst::plist {
namespace {

std::string bytesOf(const Value& v) {
  std::string out;
  EXPECT_TRUE(writeBinary(v, out));
  return out;
}

// Random values in what every reader compared here can hold: for libplist
// no NUL in text and dates in 32-bit seconds; for Python's plistlib dates
// between the years 100 and 9900 with whole microseconds.
struct Generator {
  std::mt19937_64 rng;
  bool textWithNul = true;
  double dateLow = -6e10;
  double dateHigh = 2.5e11;
  std::vector<Value> arrays = {};

  std::string text() {
    static const std::vector<std::string> pieces = {
        "a", "host.example", "*.", ":443",         " ",    "\t",  "\x01", "\x1f", "\x7f", "é", "bücher",
        "€", "日本",         "😀",  "\xef\xbf\xbf", "www.", "150", "rule", "date"};
    std::string s;
    const int n = static_cast<int>(rng() % 6);
    for (int i = 0; i < n; ++i) s += pieces[rng() % pieces.size()];
    if (textWithNul && rng() % 5 == 0) s += std::string(1, '\0') + pieces[rng() % pieces.size()];
    return s;
  }

  std::int64_t integer() {
    switch (rng() % 6) {
      case 0:
        return static_cast<std::int64_t>(rng() % 256);
      case 1:
        return static_cast<std::int64_t>(rng() % 70000);
      case 2:
        return static_cast<std::int64_t>(rng() % 5000000000ULL);
      case 3:
        return -static_cast<std::int64_t>(rng() % 1000);
      case 4:
        return static_cast<std::int64_t>(rng());
      default:
        return rng() % 2 ? std::numeric_limits<std::int64_t>::max()
                         : std::numeric_limits<std::int64_t>::min();
    }
  }

  Date date() {
    // Whole seconds and 64ths: exact in every reader's representation.
    const double span = dateHigh - dateLow;
    const double whole = std::floor(dateLow + span * static_cast<double>(rng() % 1000000) / 1e6);
    return Date{whole + static_cast<double>(rng() % 64) / 64.0};
  }

  Value value(int depth) {
    const int kinds = depth > 3 ? 7 : 9;
    switch (rng() % kinds) {
      case 0:
        return Value(text());
      case 1:
        return Value(integer());
      case 2:
        return Value(static_cast<double>(static_cast<std::int64_t>(rng() % 100000) - 50000) / 8.0);
      case 3:
        return Value(rng() % 2 == 0);
      case 4:
        return Value(date());
      case 5: {
        Data d(rng() % 40);
        for (auto& b : d) b = static_cast<std::uint8_t>(rng());
        return Value(std::move(d));
      }
      case 6:
        return Value(text());
      case 7: {
        // Now and then an array made before: values share it, and the
        // writer stores it once.
        if (!arrays.empty() && rng() % 4 == 0) return arrays[rng() % arrays.size()];
        Array a;
        const std::size_t n = rng() % 20;
        for (std::size_t i = 0; i < n; ++i) a.push_back(value(depth + 1));
        arrays.emplace_back(std::move(a));
        return arrays.back();
      }
      default:
        return Value(dictionary(depth + 1));
    }
  }

  Dictionary dictionary(int depth) {
    Dictionary d;
    const std::size_t n = rng() % 18;
    for (std::size_t i = 0; i < n; ++i) d.set(text() + std::to_string(i), value(depth));
    return d;
  }
};

std::string show(const Value& v) {
  std::ostringstream o;
  o.precision(17);
  if (const auto* i = v.asInteger()) o << "int " << *i;
  if (const auto* r = v.asReal()) o << "real " << *r;
  if (const auto* d = v.asDate()) o << "date " << d->secondsSinceReference;
  if (const auto* s = v.asString()) o << "string of " << s->size();
  if (const auto* d = v.asData()) o << "data of " << d->size();
  if (const auto* b = v.asBoolean()) o << "bool " << *b;
  return o.str();
}

void expectSame(const Value& a, const Value& b, const std::string& where) {
  ASSERT_EQ(a.type(), b.type()) << where;
  if (const Dictionary* d = a.asDictionary()) {
    EXPECT_EQ(d->keys(), b.asDictionary()->keys()) << where << ": key order";
    for (const auto& [k, v] : d->entries()) expectSame(v, *b.asDictionary()->find(k), where + "/" + k);
  } else if (const Array* arr = a.asArray()) {
    ASSERT_EQ(arr->size(), b.asArray()->size()) << where;
    for (std::size_t i = 0; i < arr->size(); ++i) expectSame((*arr)[i], (*b.asArray())[i], where + "[]");
  } else {
    EXPECT_TRUE(a == b) << where << ": " << show(a) << " / " << show(b);
  }
}

TEST(BinaryPlistTest, EveryValueRoundTripsExactly) {
  const std::string lone = "\xed\xa0\x80";  // an unpaired high surrogate, generalised UTF-8
  Dictionary d{
      {std::string("nul\0key", 7), Value(std::string("a\0b\x01\x1f\x7f", 6))},
      {"text", Value("bücher € 日本 😀")},
      {"lone", Value("x" + lone + "y")},
      {"empty", Value("")},
      {"dates", Value(Array{Date{-1e11 - 0.25}, Date{-2209075200.0 + 0.5}, Date{3e9 + 0.001}, Date{1e15},
                            Date{-0.000001}})},
      {"ints",
       Value(Array{0, 255, 256, 65535, 65536, std::int64_t{4294967295}, std::int64_t{4294967296}, -1,
                   std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()})},
      {"reals", Value(Array{0.0, -2.5, 1e300, std::numeric_limits<double>::denorm_min()})},
      {"bools", Value(Array{true, false, true})},
      {"data", Value(Data{0, 1, 255})},
      {"nested", Value(Dictionary{{"a", Value(Array{Value(Dictionary{})})}})},
  };
  d.set(std::string("long", 4), Value(std::string(70000, 'x')));
  const std::string bytes = bytesOf(Value(d));
  std::optional<Value> back = readBinary(bytes);
  ASSERT_TRUE(back);
  expectSame(Value(d), *back, "");
  EXPECT_EQ(binaryRootType(bytes), Value::Type::kDictionary);
  EXPECT_EQ(*back->asDictionary()->string("lone"), "x" + lone + "y");
}

TEST(BinaryPlistTest, ManyObjectsWidenReferencesAndOffsets) {
  // Past 255 and 65,535 objects the references need 2 and 3+ bytes; past
  // 65,535 bytes the offsets do.
  for (int n : {200, 300, 70000}) {
    Array rules;
    for (int i = 0; i < n; ++i)
      rules.push_back(
          Dictionary{{"rule", Value("h" + std::to_string(i) + ".example")}, {"date", Date{i * 1.5}}});
    const Value v(Dictionary{{"globalDeny", Value(std::move(rules))}, {"150", true}});
    std::optional<Value> back = readBinary(bytesOf(v));
    ASSERT_TRUE(back) << n;
    EXPECT_TRUE(*back == v) << n;
  }
}

TEST(BinaryPlistTest, EqualKeysAndShortTextsAreStoredOnceAndReadFromEveryPlace) {
  // Many entries naming one text: far more text is read than the file
  // holds, which must not count as hostile sharing (found by fuzzing).
  Array rules;
  for (int i = 0; i < 1000; ++i)
    rules.push_back(
        Dictionary{{"rule", Value("same.example")}, {"date", Date{1}}, {std::string(300, 'k'), 1}});
  const Value v(std::move(rules));
  const std::string bytes = bytesOf(v);
  for (const std::string& text : {std::string("same.example"), std::string("rule"), std::string(300, 'k')}) {
    std::size_t count = 0;
    for (std::size_t at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1)) ++count;
    EXPECT_EQ(count, 1u) << text.substr(0, 20);
  }
  std::optional<Value> back = readBinary(bytes);
  ASSERT_TRUE(back);
  EXPECT_TRUE(*back == v);
}

// --- Against libplist -------------------------------------------------------

// What libplist's binary reader makes of bytes.
std::optional<Value> throughLibplist(const std::string& binary) {
  plist_t raw = nullptr;
  plist_from_bin(binary.data(), static_cast<std::uint32_t>(binary.size()), &raw);
  Node node(raw);
  if (!node) return std::nullopt;
  return fromNode(node.get());
}

// libplist's own binary form of a value.
std::string libplistBinary(const Value& v) {
  Node node = toNode(v);
  char* bin = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(node.get(), &bin, &length);
  std::string out(bin != nullptr ? bin : "", length);
  plist_to_bin_free(bin);
  return out;
}

// A value nested in `levels` arrays of one element.
Value wrapped(Value inner, int levels) {
  for (int i = 0; i < levels; ++i) inner = Value(Array{std::move(inner)});
  return inner;
}

TEST(BinaryPlistTest, AnArrayTwoKeysShareIsWrittenOnceAndReadBackShared) {
  Array rules;
  for (int i = 0; i < 1000; ++i)
    rules.push_back(
        Dictionary{{"rule", Value("h" + std::to_string(i) + ".example")}, {"date", Date{i * 0.5}}});
  const Value list(std::move(rules));
  const Value once(Dictionary{{"globalDeny", list}});
  const Value twice(Dictionary{{"globalDeny", list}, {"globalDenyArray", list}});
  const std::string bytes = bytesOf(twice);
  EXPECT_LT(bytes.size(), bytesOf(once).size() + 64) << "the list is not stored a second time";

  std::optional<Value> back = readBinary(bytes);
  ASSERT_TRUE(back);
  EXPECT_TRUE(*back == twice);
  const Dictionary& d = *back->asDictionary();
  EXPECT_EQ(d.find("globalDeny")->arrayIdentity(), d.find("globalDenyArray")->arrayIdentity())
      << "built once";
  // Other readers see two equal lists.
  std::optional<Value> viaLibplist = throughLibplist(bytes);
  ASSERT_TRUE(viaLibplist);
  expectSame(twice, *viaLibplist, "libplist");
}

TEST(BinaryPlistTest, AnArraySharedAtTwoDepthsKeepsTheDepthLimitOnEveryPath) {
  // The shared array ends 200 levels down; named again under 50 wrappers it
  // still fits the limit, under 100 it does not, and the writer refuses.
  Array inner;
  for (int i = 0; i < 20; ++i) inner.emplace_back(i);
  inner.push_back(wrapped(Value(true), 200));
  const Value shared(std::move(inner));
  const Value fits(Dictionary{{"a", shared}, {"b", wrapped(shared, 50)}});
  std::optional<Value> back = readBinary(bytesOf(fits));
  ASSERT_TRUE(back);
  EXPECT_TRUE(*back == fits);
  std::string out;
  EXPECT_FALSE(writeBinary(Value(Dictionary{{"a", shared}, {"b", wrapped(shared, 100)}}), out));
  EXPECT_TRUE(out.empty());
}

TEST(BinaryPlistTest, AgreesWithLibplistBothWays) {
  Generator gen{std::mt19937_64(17)};
  gen.textWithNul = false;  // libplist 2.2 stops the process on one
  gen.dateLow = 0;          // misplaces the fraction of earlier dates
  gen.dateHigh = 2147483647.0;
  for (int i = 0; i < 150; ++i) {
    const Value v(gen.dictionary(0));
    std::optional<Value> viaLibplist = throughLibplist(bytesOf(v));
    ASSERT_TRUE(viaLibplist) << i;
    expectSame(v, *viaLibplist, "ours->libplist #" + std::to_string(i));
    std::optional<Value> ofLibplist = readBinary(libplistBinary(v));
    ASSERT_TRUE(ofLibplist) << i;
    expectSame(v, *ofLibplist, "libplist->ours #" + std::to_string(i));
  }
}

// --- Against Python's plistlib ---------------------------------------------

// Reads each of our files with plistlib and writes what it read back in
// plistlib's own binary form; a misreading on either side shows as a
// difference.
constexpr const char* kPythonRoundTrip = R"(
import plistlib, sys
for name in sys.argv[1:]:
    with open(name, 'rb') as f:
        value = plistlib.load(f)
    with open(name + '.py', 'wb') as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_BINARY, sort_keys=False)
)";

TEST(BinaryPlistTest, AgreesWithPythonPlistlibBothWays) {
  testing::TempRoot tmp;
  const std::string script = tmp.dir() + "/roundtrip.py";
  std::ofstream(script) << kPythonRoundTrip;
  Generator gen{std::mt19937_64(29)};
  std::vector<Value> values;
  std::string command = "python3 " + script;
  for (int i = 0; i < 150; ++i) {
    values.emplace_back(gen.dictionary(0));
    const std::string file = tmp.dir() + "/v" + std::to_string(i) + ".plist";
    std::ofstream(file, std::ios::binary) << bytesOf(values.back());
    command += " " + file;
  }
  ASSERT_EQ(std::system(command.c_str()), 0) << "plistlib could not read one of our files";
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::ifstream in(tmp.dir() + "/v" + std::to_string(i) + ".plist.py", std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    std::optional<Value> back = readBinary(bytes.str());
    ASSERT_TRUE(back) << i;
    expectSame(values[i], *back, "python #" + std::to_string(i));
  }
}

// --- Hostile input ------------------------------------------------------------

// A file of hand-made objects: `objects` laid out after the magic, then
// the table and trailer as given.
std::string handMade(const std::vector<std::string>& objects, std::uint64_t top = 0, int refSize = 1,
                     std::optional<std::uint64_t> claimedCount = std::nullopt) {
  std::string out(kBinaryMagic);
  std::vector<std::uint64_t> offsets;
  for (const std::string& o : objects) {
    offsets.push_back(out.size());
    out += o;
  }
  const std::uint64_t table = out.size();
  for (std::uint64_t off : offsets) {
    out.push_back(static_cast<char>(off >> 8));
    out.push_back(static_cast<char>(off));
  }
  out.append(6, '\0');
  out.push_back(2);
  out.push_back(static_cast<char>(refSize));
  const auto be64 = [&out](std::uint64_t v) {
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<char>(v >> (8 * i)));
  };
  be64(claimedCount.value_or(objects.size()));
  be64(top);
  be64(table);
  return out;
}

TEST(BinaryPlistTest, HostileFilesReadAsAbsentWithoutCrashing) {
  using S = std::string;
  const std::vector<std::pair<const char*, std::string>> bad = {
      {"array holding itself", handMade({S("\xA1\x00", 2)})},
      {"two arrays holding each other", handMade({S("\xA1\x01", 2), S("\xA1\x00", 2)})},
      {"reference past the objects", handMade({S("\xA1\x05", 2)})},
      {"count past the file", handMade({S("\xAF\x13\x00\x00\x00\x00\xff\xff\xff\xff\x00", 11)})},
      {"string longer than the file", handMade({S("\x5F\x12\x7f\xff\xff\xff", 6)})},
      {"key that is not a string", handMade({S("\xD1\x01\x01", 3), S("\x10\x01", 2)})},
      {"null", handMade({S("\x00", 1)})},
      {"UID", handMade({S("\x80\x01", 2)})},
      {"set", handMade({S("\xC0", 1)})},
      {"integer past 64 bits",
       handMade({S("\x14\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00", 17)})},
      {"integer cut short", handMade({S("\x13\x01\x02", 3)})},
      {"top object past the table", handMade({S("\x09", 1)}, 3)},
      {"count claimed past the table", handMade({S("\x09", 1)}, 0, 1, 1000)},
      {"reference width 0", handMade({S("\x09", 1)}, 0, 0)},
      {"reference width 9", handMade({S("\x09", 1)}, 0, 9)},
      {"other version", "bplist01" + handMade({S("\x09", 1)}).substr(8)},
  };
  for (const auto& [what, bytes] : bad) {
    EXPECT_FALSE(readBinary(bytes)) << what;
    EXPECT_FALSE(binaryRootType(bytes)) << what << ": the check without reading agrees";
  }
  // The same shapes done right do read.
  EXPECT_TRUE(readBinary(handMade({S("\xA1\x01", 2), S("\x09", 1)})));
  EXPECT_TRUE(
      readBinary(handMade({S("\x14\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe", 17)})));

  // Every truncation of a real file reads as absent (its trailer is gone).
  const std::string good = bytesOf(Value(Dictionary{{"a", Value(Array{1, "two", Date{3}})}}));
  for (std::size_t cut = 0; cut < good.size(); ++cut) EXPECT_FALSE(readBinary(good.substr(0, cut))) << cut;
  // Every single-bit change reads or is refused, never more, and the check
  // without reading always agrees with the read.
  for (std::size_t at = 8; at < good.size(); ++at)
    for (int bit = 0; bit < 8; ++bit) {
      std::string flipped = good;
      flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
      const std::optional<Value> read = readBinary(flipped);
      EXPECT_EQ(binaryRootType(flipped), read ? std::optional(read->type()) : std::nullopt)
          << at << "/" << bit;
    }
}

// `levels` arrays, each holding the next, around one boolean; two-byte
// references.
std::string nestedArrays(int levels) {
  std::vector<std::string> objects;
  for (int i = 0; i < levels; ++i)
    objects.push_back(std::string{'\xA1', static_cast<char>((i + 1) >> 8), static_cast<char>(i + 1)});
  objects.push_back("\x09");
  return handMade(objects, 0, 2);
}

TEST(BinaryPlistTest, DeepNestingAndSharingAreBounded) {
  EXPECT_TRUE(readBinary(nestedArrays(kBinaryMaxDepth))) << "as deep as allowed";
  EXPECT_FALSE(readBinary(nestedArrays(kBinaryMaxDepth + 1)));
  EXPECT_FALSE(readBinary(nestedArrays(5000)));

  // Sharing: 40 levels of an array holding the next one twice would build
  // 2^40 values from a few hundred bytes.
  std::vector<std::string> laughs;
  for (int i = 0; i < 40; ++i) {
    std::string o("\xA2", 1);
    o.push_back(static_cast<char>(i + 1));
    o.push_back(static_cast<char>(i + 1));
    laughs.push_back(o);
  }
  laughs.push_back(std::string("\x5F\x10\x40", 3) + std::string(64, 'x'));
  EXPECT_FALSE(readBinary(handMade(laughs)));
  // A little sharing, as other writers produce it, still reads.
  std::vector<std::string> shallow(laughs.begin() + 37, laughs.end());
  for (std::size_t i = 0; i + 1 < shallow.size(); ++i)
    shallow[i][1] = shallow[i][2] = static_cast<char>(i + 1);
  std::optional<Value> small = readBinary(handMade(shallow));
  ASSERT_TRUE(small);
  EXPECT_EQ(small->asArray()->size(), 2u);

  // Arrays wide enough to be built once and shared are still paid for at
  // every place they are named: 16^10 values from a few hundred bytes.
  std::vector<std::string> wide;
  for (int i = 0; i < 10; ++i)
    wide.push_back(std::string("\xAF\x10\x10", 3) + std::string(16, static_cast<char>(i + 1)));
  wide.push_back("\x09");
  EXPECT_FALSE(readBinary(handMade(wide)));
  std::vector<std::string> two(wide.end() - 3, wide.end());
  for (std::size_t i = 0; i + 1 < two.size(); ++i)
    two[i].replace(3, 16, std::string(16, static_cast<char>(i + 1)));
  std::optional<Value> square = readBinary(handMade(two));
  ASSERT_TRUE(square) << "a little sharing of wide arrays still reads";
  EXPECT_EQ(square->asArray()->size(), 16u);
}

TEST(BinaryPlistTest, RepeatedKeysKeepTheLastValueInTheFirstPlace) {
  // {"k": 1, "j": 2, "k": 3}
  const std::string bytes =
      handMade({std::string("\xD3\x01\x02\x01\x03\x04\x05", 7), "\x51k", "\x51j", std::string("\x10\x01", 2),
                std::string("\x10\x02", 2), std::string("\x10\x03", 2)});
  std::optional<Value> v = readBinary(bytes);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->asDictionary()->keys(), (std::vector<std::string>{"k", "j"}));
  EXPECT_EQ(*v->asDictionary()->find("k")->asInteger(), 3);
}

}  // namespace
}  // namespace kst::plist
