#include "platform/fs/Utf16File.h"

#include <gtest/gtest.h>

#include <bit>

#include "platform/testing/TempRoot.h"

namespace kst {
namespace {

// UTF-16 bytes of `units` in the given order, with a mark first when asked.
std::string bytesOf(std::u16string_view units, bool bigEndian, bool mark = true) {
  std::string out;
  auto put = [&](char16_t u) {
    const char hi = static_cast<char>(u >> 8);
    const char lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  };
  if (mark) put(0xFEFF);
  for (char16_t u : units) put(u);
  return out;
}

constexpr bool kNativeBig = std::endian::native == std::endian::big;

TEST(Utf16FileTest, EncodesWithNativeMarkAndDecodesBothOrders) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n";  // a, e-acute, euro, an emoji
  const std::u16string units = u"a\u00E9\u20AC\U0001F600\n";
  EXPECT_EQ(utf16::encode(text), bytesOf(units, kNativeBig));
  EXPECT_EQ(utf16::decode(bytesOf(units, false)), text);
  EXPECT_EQ(utf16::decode(bytesOf(units, true)), text);
  EXPECT_EQ(utf16::decode(""), "");
  EXPECT_EQ(utf16::decode(bytesOf(u"", false)), "");
}

TEST(Utf16FileTest, RefusesWhatIsNotUtf16Text) {
  EXPECT_FALSE(utf16::decode(bytesOf(u"ab", false) + "x"));   // odd length
  EXPECT_FALSE(utf16::decode(bytesOf(u"ab", false, false)));  // no mark
  EXPECT_FALSE(utf16::decode(bytesOf(u"a\xD800", false)));    // high surrogate at the end
  EXPECT_FALSE(
      utf16::decode(bytesOf(u"a\xD800"
                            u"b",
                            false)));  // high surrogate, no low one
  EXPECT_FALSE(
      utf16::decode(bytesOf(u"\xDC00"
                            u"a",
                            false)));  // lone low surrogate
  EXPECT_FALSE(utf16::decode("x"));
  // Text that is not UTF-8 cannot be written.
  EXPECT_FALSE(utf16::encode("\xC0\xAF"));          // overlong
  EXPECT_FALSE(utf16::encode("\xED\xA0\x80"));      // an encoded surrogate
  EXPECT_FALSE(utf16::encode("\xF4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(utf16::encode("ab\xE2\x82"));        // cut short
}

TEST(Utf16FileTest, AppendCreatesAppendsAndLeavesNonTextAlone) {
  testing::TempRoot root;
  FileSystem& fs = FileSystem::real();
  const std::string path = root.path("/p/log.txt");

  EXPECT_EQ(utf16::appendToFile(fs, path, "one\n", true), utf16::AppendResult::kCreated);
  EXPECT_EQ(fs.readFile(path), bytesOf(u"one\n", kNativeBig));
  EXPECT_EQ(utf16::appendToFile(fs, path, "two\n", true), utf16::AppendResult::kAppended);
  EXPECT_EQ(utf16::readFile(fs, path), "one\ntwo\n");

  // A file of the other byte order is read and rewritten in native order.
  ASSERT_TRUE(fs.writeFileAtomic(path, bytesOf(u"old\n", !kNativeBig), true));
  EXPECT_EQ(utf16::appendToFile(fs, path, "new\n", true), utf16::AppendResult::kAppended);
  EXPECT_EQ(fs.readFile(path), bytesOf(u"old\nnew\n", kNativeBig));

  // An empty file is empty text.
  ASSERT_TRUE(fs.writeFileAtomic(path, "", true));
  EXPECT_EQ(utf16::appendToFile(fs, path, "x", true), utf16::AppendResult::kAppended);
  EXPECT_EQ(utf16::readFile(fs, path), "x");

  for (const std::string& bad :
       {bytesOf(u"ab", false) + "x", std::string("plain UTF-8 text\n"), bytesOf(u"a\xD800", kNativeBig)}) {
    ASSERT_TRUE(fs.writeFileAtomic(path, bad, true));
    EXPECT_EQ(utf16::appendToFile(fs, path, "line\n", true), utf16::AppendResult::kNotText);
    EXPECT_EQ(fs.readFile(path), bad);
    EXPECT_FALSE(utf16::readFile(fs, path));
  }

  const std::string fresh = root.path("/p/other.txt");
  EXPECT_EQ(utf16::appendToFile(fs, fresh, "\xFF", true), utf16::AppendResult::kBadInput);
  EXPECT_FALSE(fs.exists(fresh));
  EXPECT_TRUE(utf16::writeFileAtomic(fs, fresh, "w", false));
  EXPECT_EQ(utf16::readFile(fs, fresh), "w");
}

}  // namespace
}  // namespace kst
