#include "platform/plist/BinaryPlist.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

namespace kst::plist {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;
// Room for small files' few shared keys.
constexpr std::uint64_t kExpansionSlack = 4096;
// Value texts up to this length are stored once however often they occur.
constexpr std::size_t kShareTextsUpTo = 16;
// An array of at least this many elements that the file names from several
// places is built once and shared (a relay reply holds each global list
// twice). Smaller ones are built again: remembering every array would cost
// more memory than their few bytes in the file allow.
constexpr std::uint64_t kShareArraysFrom = 16;

// Object markers: the high nibble is the kind, the low one a size or count.
enum Kind : std::uint8_t {
  kSimple = 0x0,  // 0x08 false, 0x09 true (0x00 null and 0x0F fill have no value here)
  kInt = 0x1,
  kReal = 0x2,
  kDate = 0x3,
  kData = 0x4,
  kAscii = 0x5,
  kUtf16 = 0x6,
  kArray = 0xA,
  kDict = 0xD,
};
constexpr std::uint8_t kFalse = 0x08;
constexpr std::uint8_t kTrue = 0x09;
constexpr std::uint8_t kDateMarker = 0x33;
constexpr std::uint8_t kRealMarker = 0x23;

std::uint64_t readBE(const char* p, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | static_cast<std::uint8_t>(p[i]);
  return v;
}

// `values` in `width` bytes each, big-endian, written in place: the offset
// table and the references hold millions of them.
void appendAllBE(std::string& out, std::span<const std::uint64_t> values, std::size_t width) {
  const std::size_t at = out.size();
  out.resize(at + values.size() * width);
  char* p = out.data() + at;
  for (std::uint64_t v : values) {
    for (std::size_t i = width; i-- > 0; v >>= 8) p[i] = static_cast<char>(v & 0xFF);
    p += width;
  }
}

void appendBE(std::string& out, std::uint64_t v, std::size_t width) {
  char buf[8];
  for (std::size_t i = 0; i < width; ++i) buf[width - 1 - i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  out.append(buf, width);
}

std::size_t widthFor(std::uint64_t max) {
  if (max <= 0xFF) return 1;
  if (max <= 0xFFFF) return 2;
  if (max <= 0xFFFFFFFFULL) return 4;
  return 8;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {  // surrogates too: the generalised form keeps them
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// --- Reading ----------------------------------------------------------------

class Reader {
 public:
  // Without `build`, everything is checked as for a read but no value is
  // made: the root is then a value of the root's type only.
  Reader(std::string_view bytes, bool build) : b_(bytes), build_(build) {}

  std::optional<Value> read() {
    if (b_.size() < kHeaderSize + kTrailerSize || b_.size() > kBinaryMaxInput ||
        b_.substr(0, kBinaryMagic.size()) != kBinaryMagic)
      return std::nullopt;
    const char* trailer = b_.data() + b_.size() - kTrailerSize;
    offsetSize_ = static_cast<std::uint8_t>(trailer[6]);
    refSize_ = static_cast<std::uint8_t>(trailer[7]);
    count_ = readBE(trailer + 8, 8);
    const std::uint64_t top = readBE(trailer + 16, 8);
    table_ = readBE(trailer + 24, 8);
    const std::uint64_t tableLimit = b_.size() - kTrailerSize;
    if (offsetSize_ == 0 || offsetSize_ > 8 || refSize_ == 0 || refSize_ > 8) return std::nullopt;
    // The table lies whole between the objects and the trailer.
    if (table_ < kHeaderSize + 1 || table_ > tableLimit) return std::nullopt;
    if (count_ == 0 || count_ > (tableLimit - table_) / offsetSize_ || top >= count_) return std::nullopt;
    budget_ = kBinaryExpansion * b_.size() + kExpansionSlack;
    byteBudget_ = kBinaryExpansion * b_.size() + kBinaryTextSlack;
    inProgress_.assign(static_cast<std::size_t>(count_), false);
    Value out;
    if (!readObject(top, 0, out)) return std::nullopt;
    return out;
  }

 private:
  // Where object `ref` starts; false for a reference or offset outside.
  bool offsetOf(std::uint64_t ref, std::size_t& at) const {
    if (ref >= count_) return false;
    const std::uint64_t off = readBE(b_.data() + table_ + ref * offsetSize_, offsetSize_);
    if (off < kHeaderSize || off >= table_) return false;
    at = static_cast<std::size_t>(off);
    return true;
  }

  // The count of an object whose marker is at `at`, and where its content
  // starts. Longer counts follow the marker as an integer object.
  bool countAt(std::size_t at, std::uint64_t& count, std::size_t& start) const {
    const std::uint8_t nibble = static_cast<std::uint8_t>(b_[at]) & 0x0F;
    if (nibble != 0x0F) {
      count = nibble;
      start = at + 1;
      return true;
    }
    if (at + 1 >= table_) return false;
    const auto marker = static_cast<std::uint8_t>(b_[at + 1]);
    if ((marker >> 4) != kInt || (marker & 0x0F) > 3) return false;
    const std::size_t width = std::size_t{1} << (marker & 0x0F);
    if (table_ - (at + 2) < width) return false;
    count = readBE(b_.data() + at + 2, width);
    start = at + 2 + width;
    return true;
  }

  // Content of `n` units of `unit` bytes from `start` lies before the table.
  bool fits(std::size_t start, std::uint64_t n, std::uint64_t unit) const {
    return start <= table_ && n <= (table_ - start) / unit;
  }

  bool spend(std::uint64_t items, std::uint64_t bytes) {
    if (items > budget_ || bytes > byteBudget_) return false;
    budget_ -= items;
    byteBudget_ -= bytes;
    return true;
  }

  bool readString(std::size_t at, std::string& out) {
    const std::uint8_t kind = static_cast<std::uint8_t>(b_[at]) >> 4;
    std::uint64_t n = 0;
    std::size_t start = 0;
    if (!countAt(at, n, start)) return false;
    if (kind == kAscii) {
      if (!fits(start, n, 1) || !spend(0, n)) return false;
      if (!build_) return true;
      const std::string_view s = b_.substr(start, static_cast<std::size_t>(n));
      out.assign(s);
      for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x80) continue;
        // Latin-1 above 0x7F: rebuild as UTF-8.
        out.clear();
        out.reserve(s.size() * 2);
        for (char d : s) appendUtf8(out, static_cast<unsigned char>(d));
        break;
      }
      return true;
    }
    if (kind != kUtf16 || !fits(start, n, 2) || !spend(0, n * 3)) return false;
    if (!build_) return true;
    out.clear();
    out.reserve(static_cast<std::size_t>(n) * 2);
    const char* p = b_.data() + start;
    for (std::uint64_t i = 0; i < n; ++i) {
      std::uint32_t unit = static_cast<std::uint32_t>(readBE(p + 2 * i, 2));
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < n) {
        const auto low = static_cast<std::uint32_t>(readBE(p + 2 * (i + 1), 2));
        if (low >= 0xDC00 && low <= 0xDFFF) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
      appendUtf8(out, unit);
    }
    return true;
  }

  bool readKey(std::uint64_t ref, std::string& out) {
    std::size_t at = 0;
    if (!offsetOf(ref, at)) return false;
    const std::uint8_t kind = static_cast<std::uint8_t>(b_[at]) >> 4;
    if (kind != kAscii && kind != kUtf16) return false;
    return spend(1, 0) && readString(at, out);
  }

  std::uint64_t refAt(std::size_t start, std::uint64_t i) const {
    return readBE(b_.data() + start + i * refSize_, refSize_);
  }

  bool readObject(std::uint64_t ref, int depth, Value& out) {
    std::size_t at = 0;
    if (depth > kBinaryMaxDepth || !offsetOf(ref, at) || !spend(1, 0)) return false;
    const auto marker = static_cast<std::uint8_t>(b_[at]);
    const std::uint8_t nibble = marker & 0x0F;
    switch (marker >> 4) {
      case kSimple:
        if (marker != kFalse && marker != kTrue) return false;
        out = Value(marker == kTrue);
        return true;
      case kInt: {
        if (nibble > 4) return false;
        const std::size_t width = std::size_t{1} << nibble;
        if (!fits(at + 1, width, 1)) return false;
        const char* p = b_.data() + at + 1;
        if (width == 16) {
          // 128-bit: the value must fit a signed 64-bit integer.
          const std::uint64_t high = readBE(p, 8);
          const std::uint64_t low = readBE(p + 8, 8);
          const bool negative = (low >> 63) != 0;
          if (high != (negative ? ~std::uint64_t{0} : 0)) return false;
          out = Value(static_cast<std::int64_t>(low));
          return true;
        }
        // 1, 2 and 4 bytes are unsigned; 8 bytes is signed.
        out = Value(static_cast<std::int64_t>(readBE(p, width)));
        return true;
      }
      case kReal: {
        if (nibble != 2 && nibble != 3) return false;
        const std::size_t width = std::size_t{1} << nibble;
        if (!fits(at + 1, width, 1)) return false;
        const std::uint64_t raw = readBE(b_.data() + at + 1, width);
        out = Value(width == 4 ? static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(raw)))
                               : std::bit_cast<double>(raw));
        return true;
      }
      case kDate:
        if (marker != kDateMarker || !fits(at + 1, 8, 1)) return false;
        out = Value(Date{std::bit_cast<double>(readBE(b_.data() + at + 1, 8))});
        return true;
      case kData: {
        std::uint64_t n = 0;
        std::size_t start = 0;
        if (!countAt(at, n, start) || !fits(start, n, 1) || !spend(0, n)) return false;
        const auto* p = reinterpret_cast<const std::uint8_t*>(b_.data() + start);
        out = build_ ? Value(Data(p, p + n)) : Value(Data());
        return true;
      }
      case kAscii:
      case kUtf16: {
        std::string s;
        if (!readString(at, s)) return false;
        out = Value(std::move(s));
        return true;
      }
      case kArray:
        return readArray(ref, at, depth, out);
      case kDict:
        return readDict(ref, at, depth, out);
      default:
        return false;  // null, fill, UIDs, sets and unknown kinds
    }
  }

  bool enter(std::uint64_t ref) {
    if (inProgress_[ref]) return false;  // a cycle
    inProgress_[ref] = true;
    return true;
  }

  bool readArray(std::uint64_t ref, std::size_t at, int depth, Value& out) {
    std::uint64_t n = 0;
    std::size_t start = 0;
    if (!countAt(at, n, start)) return false;
    const bool shareable = build_ && n >= kShareArraysFrom;
    if (shareable) {
      // Met before, at this depth or deeper: the same array again. It is
      // paid for as if built anew, so the bounds below hold as before.
      auto known = built_.find(ref);
      if (known != built_.end() && depth <= known->second.depth) {
        if (!spend(known->second.items, known->second.bytes)) return false;
        out = known->second.value;
        return true;
      }
    }
    const std::uint64_t itemsBefore = budget_;
    const std::uint64_t bytesBefore = byteBudget_;
    // The slots are paid for before they are made, so that sharing cannot
    // make them outgrow the file.
    if (!fits(start, n, refSize_) || !spend(n, 0) || !enter(ref)) return false;
    if (!build_) {
      Value scratch;
      for (std::uint64_t i = 0; i < n; ++i)
        if (!readObject(refAt(start, i), depth + 1, scratch)) return false;
      inProgress_[ref] = false;
      out = Value(Array());
      return true;
    }
    Array items(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < items.size(); ++i)
      if (!readObject(refAt(start, i), depth + 1, items[i])) return false;
    inProgress_[ref] = false;
    out = Value(std::move(items));
    if (shareable)
      built_.insert_or_assign(ref, Built{out, depth, itemsBefore - budget_, bytesBefore - byteBudget_});
    return true;
  }

  bool readDict(std::uint64_t ref, std::size_t at, int depth, Value& out) {
    std::uint64_t n = 0;
    std::size_t start = 0;
    if (!countAt(at, n, start) || n > (table_ - std::min<std::uint64_t>(start, table_)) / 2 ||
        !fits(start, n * 2, refSize_) || !spend(n, 0) || !enter(ref))
      return false;
    if (!build_) {
      std::string key;
      Value scratch;
      for (std::uint64_t i = 0; i < n; ++i)
        if (!readKey(refAt(start, i), key) || !readObject(refAt(start, n + i), depth + 1, scratch))
          return false;
      inProgress_[ref] = false;
      out = Value(Dictionary());
      return true;
    }
    std::vector<Dictionary::Entry> entries(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!readKey(refAt(start, i), entries[i].first) ||
          !readObject(refAt(start, n + i), depth + 1, entries[i].second))
        return false;
    }
    inProgress_[ref] = false;
    out = Value(Dictionary::fromEntries(std::move(entries)));
    return true;
  }

  std::string_view b_;
  bool build_ = true;
  std::uint8_t offsetSize_ = 0;
  std::uint8_t refSize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t table_ = 0;
  std::uint64_t budget_ = 0;
  std::uint64_t byteBudget_ = 0;
  std::vector<bool> inProgress_;
  // Large arrays already built, by reference: the value, the depth it was
  // met at, and what building it spent.
  struct Built {
    Value value;
    int depth = 0;
    std::uint64_t items = 0;
    std::uint64_t bytes = 0;
  };
  std::unordered_map<std::uint64_t, Built> built_;
};

// --- Writing ----------------------------------------------------------------

// Equal strings share one object: a small open-addressing table keyed by the
// text that the value being written holds (it outlives the writer).
class StringTable {
 public:
  // The reference of `s`, or inserts `ref` for it and returns nothing.
  std::optional<std::uint64_t> findOrAdd(std::string_view s, std::uint64_t ref) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    const std::size_t hash = std::hash<std::string_view>()(s);
    std::size_t i = indexOf(hash);
    while (slots_[i].used) {
      if (slots_[i].hash == hash && slots_[i].text == s) return slots_[i].ref;
      i = (i + 1) & (slots_.size() - 1);
    }
    slots_[i] = Slot{s, ref, hash, true};
    ++used_;
    return std::nullopt;
  }

 private:
  struct Slot {
    std::string_view text;
    std::uint64_t ref = 0;
    std::size_t hash = 0;
    bool used = false;
  };
  // The high bits of a multiplicative mix: texts that differ in a digit
  // still land far apart.
  std::size_t indexOf(std::size_t hash) const {
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ULL) >> shift_);
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t size = old.empty() ? 64 : old.size() * 2;
    slots_.assign(size, Slot{});
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(size));
    for (const Slot& s : old) {
      if (!s.used) continue;
      std::size_t i = indexOf(s.hash);
      while (slots_[i].used) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = s;
    }
  }
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  unsigned shift_ = 58;
};

// An upper bound of the objects `value` needs (every string counted, shared
// or not), which fixes the width of references before anything is written,
// and of the bytes, so that the output grows once.
struct Counts {
  std::uint64_t objects = 0;
  std::uint64_t bytes = 0;
  // Arrays that several values share are written once: each counted once,
  // and again only where met deeper than before (the depth limit holds
  // wherever an array is named).
  std::unordered_map<const void*, int> arrays;
};
// Per object at most: marker, count, offset and one reference, 8 bytes each.
constexpr std::uint64_t kBytesPerObject = 32;

bool countObjects(const Value& value, int depth, Counts& count);

bool countObjects(const Dictionary& d, int depth, Counts& count) {
  if (depth > kBinaryMaxDepth) return false;
  count.objects += 1 + d.size();  // itself and the keys
  count.bytes += kBytesPerObject * (1 + d.size());
  for (const auto& e : d.entries()) {
    count.bytes += e.first.size() * 2;
    if (!countObjects(e.second, depth + 1, count)) return false;
  }
  return true;
}

bool countObjects(const Value& value, int depth, Counts& count) {
  if (depth > kBinaryMaxDepth) return false;
  if (const Dictionary* d = value.asDictionary()) return countObjects(*d, depth, count);
  ++count.objects;
  count.bytes += kBytesPerObject;
  if (const std::string* s = value.asString()) {
    count.bytes += s->size() * 2;  // UTF-16 at worst
  } else if (const Data* data = value.asData()) {
    count.bytes += data->size();
  } else if (const Array* a = value.asArray()) {
    if (!a->empty()) {
      auto [seen, added] = count.arrays.try_emplace(value.arrayIdentity(), depth);
      if (!added && depth <= seen->second) return true;
      seen->second = std::max(seen->second, depth);
    }
    for (const Value& v : *a)
      if (!countObjects(v, depth + 1, count)) return false;
  }
  return true;
}

bool countObjects(std::span<const EntryRef> entries, Counts& count) {
  count.objects += 1 + entries.size();
  count.bytes += kBytesPerObject * (1 + entries.size());
  for (const EntryRef& e : entries) {
    count.bytes += e.key.size() * 2;
    if (e.dictionary != nullptr && !countObjects(*e.dictionary, 1, count)) return false;
    if (e.value != nullptr && !countObjects(*e.value, 1, count)) return false;
  }
  return true;
}

// UTF-8 (and its generalised form holding lone surrogates) as UTF-16 code
// units; a byte that starts no valid sequence stands for the Latin-1
// character of that value, so every string has an encoding.
void toUtf16(std::string_view s, std::vector<std::uint16_t>& units) {
  units.clear();
  units.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    std::uint32_t cp = c;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    }
    bool valid = s.size() - i > extra;
    for (std::size_t k = 1; valid && k <= extra; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      valid = (d & 0xC0) == 0x80;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (valid && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))))
      valid = false;
    if (!valid) {
      units.push_back(c);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<std::uint16_t>(cp));
    }
    i += extra + 1;
  }
}

class Writer {
 public:
  Writer(std::string& out, const Counts& bound)
      : out_(out), base_(out.size()), refSize_(widthFor(bound.objects == 0 ? 0 : bound.objects - 1)) {
    // An estimate above the real size mostly; the output then grows once.
    out_.reserve(out_.size() + static_cast<std::size_t>(bound.bytes / 2));
    offsets_.reserve(static_cast<std::size_t>(bound.objects));
  }

  template <typename Root>
  void write(const Root& root) {
    out_.append(kBinaryMagic);
    const std::uint64_t top = object(root);
    const std::size_t tableAt = out_.size() - base_;
    const std::size_t offsetSize = widthFor(offsets_.empty() ? 0 : offsets_.back());
    out_.reserve(out_.size() + offsets_.size() * offsetSize + kTrailerSize);
    appendAllBE(out_, offsets_, offsetSize);
    out_.append(6, '\0');  // unused, then the sort version
    out_.push_back(static_cast<char>(offsetSize));
    out_.push_back(static_cast<char>(refSize_));
    appendBE(out_, offsets_.size(), 8);
    appendBE(out_, top, 8);
    appendBE(out_, tableAt, 8);
  }

 private:
  std::uint64_t begin() {
    offsets_.push_back(out_.size() - base_);
    return offsets_.size() - 1;
  }

  void marker(std::uint8_t kind, std::uint64_t count) {
    if (count < 0x0F) {
      out_.push_back(static_cast<char>((kind << 4) | count));
      return;
    }
    out_.push_back(static_cast<char>((kind << 4) | 0x0F));
    const std::size_t width = widthFor(count);
    out_.push_back(static_cast<char>((kInt << 4) | std::countr_zero(width)));
    appendBE(out_, count, width);
  }

  // Keys, and short texts, are stored once: they repeat (every rule entry
  // has "rule" and "date"), and their table stays small. Long texts are
  // mostly unique; looking each up in a table of millions costs more (a
  // cache miss each) than the bytes it could save.
  std::uint64_t string(std::string_view s, bool key = false) {
    if (key || s.size() <= kShareTextsUpTo) {
      if (std::optional<std::uint64_t> known = strings_.findOrAdd(s, offsets_.size())) return *known;
    }
    const std::uint64_t ref = begin();
    bool ascii = true;
    for (char c : s) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      marker(kAscii, s.size());
      out_.append(s);
      return ref;
    }
    toUtf16(s, units_);
    marker(kUtf16, units_.size());
    const std::size_t at = out_.size();
    out_.resize(at + units_.size() * 2);
    for (std::size_t i = 0; i < units_.size(); ++i) {
      out_[at + 2 * i] = static_cast<char>(units_[i] >> 8);
      out_[at + 2 * i + 1] = static_cast<char>(units_[i] & 0xFF);
    }
    return ref;
  }

  std::uint64_t boolean(bool b) {
    std::optional<std::uint64_t>& known = b ? trueRef_ : falseRef_;
    if (!known) {
      known = begin();
      out_.push_back(static_cast<char>(b ? kTrue : kFalse));
    }
    return *known;
  }

  std::uint64_t integer(std::int64_t i) {
    const std::uint64_t ref = begin();
    if (i < 0) {
      out_.push_back(static_cast<char>((kInt << 4) | 3));
      appendBE(out_, static_cast<std::uint64_t>(i), 8);
      return ref;
    }
    const auto u = static_cast<std::uint64_t>(i);
    const std::size_t width = widthFor(u);
    out_.push_back(static_cast<char>((kInt << 4) | std::countr_zero(width)));
    appendBE(out_, u, width);
    return ref;
  }

  std::uint64_t real(std::uint8_t markerByte, double d) {
    const std::uint64_t ref = begin();
    out_.push_back(static_cast<char>(markerByte));
    appendBE(out_, std::bit_cast<std::uint64_t>(d), 8);
    return ref;
  }

  void refs(std::size_t from) {
    appendAllBE(out_, std::span<const std::uint64_t>(stack_).subspan(from), refSize_);
    stack_.resize(from);
  }

  std::uint64_t object(const Value& value) {
    switch (value.type()) {
      case Value::Type::kString:
        return string(*value.asString());
      case Value::Type::kInteger:
        return integer(*value.asInteger());
      case Value::Type::kReal:
        return real(kRealMarker, *value.asReal());
      case Value::Type::kBoolean:
        return boolean(*value.asBoolean());
      case Value::Type::kDate:
        return real(kDateMarker, value.asDate()->secondsSinceReference);
      case Value::Type::kData: {
        const Data& d = *value.asData();
        const std::uint64_t ref = begin();
        marker(kData, d.size());
        out_.append(reinterpret_cast<const char*>(d.data()), d.size());
        return ref;
      }
      case Value::Type::kArray: {
        const Array& items = *value.asArray();
        // An array that another value shares is written once; both name it.
        if (!items.empty()) {
          if (auto known = arrays_.find(value.arrayIdentity()); known != arrays_.end()) return known->second;
        }
        // Children first: their references are known when the array is written.
        const std::size_t from = stack_.size();
        for (const Value& v : items) {
          const std::uint64_t child = object(v);
          stack_.push_back(child);
        }
        const std::uint64_t ref = begin();
        marker(kArray, stack_.size() - from);
        refs(from);
        if (!items.empty()) arrays_.emplace(value.arrayIdentity(), ref);
        return ref;
      }
      case Value::Type::kDictionary:
        return object(*value.asDictionary());
    }
    return boolean(false);
  }

  std::uint64_t object(const Dictionary& dict) {
    const auto& entries = dict.entries();
    const std::size_t from = stack_.size();
    for (const auto& e : entries) {
      const std::uint64_t key = string(e.first, true);
      stack_.push_back(key);
    }
    for (const auto& e : entries) {
      const std::uint64_t child = object(e.second);
      stack_.push_back(child);
    }
    const std::uint64_t ref = begin();
    marker(kDict, entries.size());
    refs(from);
    return ref;
  }

  std::uint64_t object(std::span<const EntryRef> entries) {
    const std::size_t from = stack_.size();
    for (const EntryRef& e : entries) {
      const std::uint64_t key = string(e.key, true);
      stack_.push_back(key);
    }
    for (const EntryRef& e : entries) {
      const std::uint64_t child = e.dictionary != nullptr ? object(*e.dictionary)
                                  : e.value != nullptr    ? object(*e.value)
                                                          : object(Dictionary());
      stack_.push_back(child);
    }
    const std::uint64_t ref = begin();
    marker(kDict, entries.size());
    refs(from);
    return ref;
  }

  std::string& out_;
  const std::size_t base_;
  const std::size_t refSize_;
  std::vector<std::uint64_t> offsets_;
  std::vector<std::uint64_t> stack_;
  std::vector<std::uint16_t> units_;
  StringTable strings_;
  std::unordered_map<const void*, std::uint64_t> arrays_;
  std::optional<std::uint64_t> trueRef_;
  std::optional<std::uint64_t> falseRef_;
};

}  // namespace

std::optional<Value> readBinary(std::string_view bytes) {
  return Reader(bytes, true).read();
}

std::optional<Value::Type> binaryRootType(std::string_view bytes) {
  std::optional<Value> root = Reader(bytes, false).read();
  if (!root) return std::nullopt;
  return root->type();
}

bool writeBinary(const Value& value, std::string& out) {
  Counts bound;
  if (!countObjects(value, 0, bound)) return false;
  Writer(out, bound).write(value);
  return true;
}

bool writeBinary(const Dictionary& dict, std::string& out) {
  Counts bound;
  if (!countObjects(dict, 0, bound)) return false;
  Writer(out, bound).write(dict);
  return true;
}

bool writeBinary(std::span<const EntryRef> entries, std::string& out) {
  Counts bound;
  if (!countObjects(entries, bound)) return false;
  Writer(out, bound).write(entries);
  return true;
}

}  // namespace kst::plist
