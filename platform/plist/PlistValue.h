#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kst::plist {

class Value;

// A date as the original platform stores it: seconds since its reference
// date, 2001-01-01 00:00:00 UTC.
struct Date {
  double secondsSinceReference = 0;
  static Date now();
  bool operator==(const Date&) const = default;
};

using Data = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

// A string-keyed dictionary that keeps its keys in insertion order, the way
// the files store them ("the first key of the argument" is meaningful).
// Lookups are linear: the dictionaries of this system hold a handful of keys,
// or one per configured application.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;

  Dictionary() = default;
  Dictionary(std::initializer_list<Entry> entries);

  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Replaces the value of an existing key in place, otherwise appends.
  void set(std::string key, Value value);
  bool erase(std::string_view key);
  // Appends without looking for the key; only for sources with unique keys.
  void appendUnchecked(std::string key, Value value);
  void reserve(std::size_t n);
  // Takes entries that may repeat a key (a file can): the last value of a
  // key wins, in the place of its first appearance. Linear in the count.
  static Dictionary fromEntries(std::vector<Entry>&& entries);

  // Defined below Value, which must be complete first.
  std::size_t size() const;
  bool empty() const;
  const std::vector<Entry>& entries() const { return entries_; }
  std::vector<std::string> keys() const;

  // Typed accessors: absent when the key is missing or of another type.
  const std::string* string(std::string_view key) const;
  const Array* array(std::string_view key) const;
  const Dictionary* dictionary(std::string_view key) const;

  bool operator==(const Dictionary& other) const;

 private:
  std::vector<Entry> entries_;
};

// One property-list value: string, integer, real, boolean, date, data, array
// or dictionary. A plain value type: copies are deep.
class Value {
 public:
  enum class Type { kString, kInteger, kReal, kBoolean, kDate, kData, kArray, kDictionary };

  Value() : v_(std::string()) {}
  Value(std::string s) : v_(std::move(s)) {}              // NOLINT(google-explicit-constructor)
  Value(const char* s) : v_(std::string(s)) {}            // NOLINT(google-explicit-constructor)
  Value(std::string_view s) : v_(std::string(s)) {}       // NOLINT(google-explicit-constructor)
  Value(std::int64_t i) : v_(i) {}                        // NOLINT(google-explicit-constructor)
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}      // NOLINT(google-explicit-constructor)
  Value(double d) : v_(d) {}                              // NOLINT(google-explicit-constructor)
  Value(bool b) : v_(b) {}                                // NOLINT(google-explicit-constructor)
  Value(plist::Date when) : v_(when) {}                   // NOLINT(google-explicit-constructor)
  Value(plist::Data bytes) : v_(std::move(bytes)) {}      // NOLINT(google-explicit-constructor)
  Value(plist::Array items) : v_(std::move(items)) {}     // NOLINT(google-explicit-constructor)
  Value(plist::Dictionary dict) : v_(std::move(dict)) {}  // NOLINT(google-explicit-constructor)

  Type type() const { return static_cast<Type>(v_.index()); }

  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&v_); }
  const double* asReal() const { return std::get_if<double>(&v_); }
  const bool* asBoolean() const { return std::get_if<bool>(&v_); }
  const plist::Date* asDate() const { return std::get_if<plist::Date>(&v_); }
  const plist::Data* asData() const { return std::get_if<plist::Data>(&v_); }
  const plist::Array* asArray() const { return std::get_if<plist::Array>(&v_); }
  const plist::Dictionary* asDictionary() const { return std::get_if<plist::Dictionary>(&v_); }
  plist::Array* asArray() { return std::get_if<plist::Array>(&v_); }
  plist::Dictionary* asDictionary() { return std::get_if<plist::Dictionary>(&v_); }

  bool operator==(const Value& other) const { return v_ == other.v_; }

 private:
  // The order matches Type.
  std::variant<std::string, std::int64_t, double, bool, plist::Date, plist::Data, plist::Array,
               plist::Dictionary>
      v_;
};

inline std::size_t Dictionary::size() const {
  return entries_.size();
}
inline bool Dictionary::empty() const {
  return entries_.empty();
}
inline void Dictionary::reserve(std::size_t n) {
  entries_.reserve(n);
}

// The one place where "read by its boolean value" is defined, as the original
// platform reads a property-list value as a boolean: booleans as themselves,
// numbers true when non-zero, strings true when, after leading blanks, an
// optional sign and leading zeros, the first character is Y, y, T, t or a
// digit 1 to 9. A value of any other type (date, data, array, dictionary)
// counts as absent: `whenAbsent`, false unless given.
bool boolValue(const Value* value);
bool boolValue(const Value* value, bool whenAbsent);
// The boolean value when there is one; nothing for an absent value and for
// one of a type that has none.
std::optional<bool> boolValueIfAny(const Value* value);

// Encoding to and from bytes. Reading accepts the XML and binary forms and
// returns nothing for anything else (never throws, never crashes); writing
// produces the binary form. The binary form is our own (BinaryPlist.h); the
// XML form is libplist's, whose dates hold 32-bit seconds.
std::optional<Value> decode(std::string_view bytes);
std::optional<std::string> encodeBinary(const Value& value);
std::optional<std::string> encodeXml(const Value& value);

}  // namespace kst::plist
