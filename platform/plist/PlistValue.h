#pragma once

#include <atomic>
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

// An array held by a value, shared between copies until one of them changes
// it: copying a value that holds a million rules (a relay reply, a writer's
// copy of the cached global rules) costs one counter increment, and a writer
// can store an array that two keys hold once. The counter is read with
// acquire ordering, so a holder that finds itself alone also finds every
// other thread's reads of the array finished before it changes it. A
// moved-from box reads as an empty array.
class SharedArray {
 public:
  SharedArray() = default;
  explicit SharedArray(Array items);
  SharedArray(const SharedArray& other) noexcept;
  SharedArray(SharedArray&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  SharedArray& operator=(const SharedArray& other) noexcept;
  SharedArray& operator=(SharedArray&& other) noexcept;
  ~SharedArray() { release(); }

  const Array& get() const;
  // The array, first copied when another value shares it.
  Array& mutate();
  // Which storage this is: equal for values that share it (empty arrays
  // may share none).
  const void* identity() const { return node_; }

  bool operator==(const SharedArray& other) const;

 private:
  struct Node;
  void release() noexcept;
  Node* node_ = nullptr;
};

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
  Value(std::string s) : v_(std::move(s)) {}                        // NOLINT(google-explicit-constructor)
  Value(const char* s) : v_(std::string(s)) {}                      // NOLINT(google-explicit-constructor)
  Value(std::string_view s) : v_(std::string(s)) {}                 // NOLINT(google-explicit-constructor)
  Value(std::int64_t i) : v_(i) {}                                  // NOLINT(google-explicit-constructor)
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}                // NOLINT(google-explicit-constructor)
  Value(double d) : v_(d) {}                                        // NOLINT(google-explicit-constructor)
  Value(bool b) : v_(b) {}                                          // NOLINT(google-explicit-constructor)
  Value(plist::Date when) : v_(when) {}                             // NOLINT(google-explicit-constructor)
  Value(plist::Data bytes) : v_(std::move(bytes)) {}                // NOLINT(google-explicit-constructor)
  Value(plist::Array items) : v_(SharedArray(std::move(items))) {}  // NOLINT(google-explicit-constructor)
  Value(plist::Dictionary dict) : v_(std::move(dict)) {}            // NOLINT(google-explicit-constructor)

  Type type() const { return static_cast<Type>(v_.index()); }

  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&v_); }
  const double* asReal() const { return std::get_if<double>(&v_); }
  const bool* asBoolean() const { return std::get_if<bool>(&v_); }
  const plist::Date* asDate() const { return std::get_if<plist::Date>(&v_); }
  const plist::Data* asData() const { return std::get_if<plist::Data>(&v_); }
  const plist::Array* asArray() const {
    const SharedArray* a = std::get_if<SharedArray>(&v_);
    return a != nullptr ? &a->get() : nullptr;
  }
  const plist::Dictionary* asDictionary() const { return std::get_if<plist::Dictionary>(&v_); }
  // Mutable access unshares the array first: take it only to change it.
  plist::Array* asArray() {
    SharedArray* a = std::get_if<SharedArray>(&v_);
    return a != nullptr ? &a->mutate() : nullptr;
  }
  // The array's storage, the same for values that share it; null for other
  // types.
  const void* arrayIdentity() const {
    const SharedArray* a = std::get_if<SharedArray>(&v_);
    return a != nullptr ? a->identity() : nullptr;
  }
  plist::Dictionary* asDictionary() { return std::get_if<plist::Dictionary>(&v_); }

  bool operator==(const Value& other) const { return v_ == other.v_; }

 private:
  // The order matches Type.
  std::variant<std::string, std::int64_t, double, bool, plist::Date, plist::Data, SharedArray,
               plist::Dictionary>
      v_;
};

struct SharedArray::Node {
  std::atomic<std::uint64_t> refs{1};
  Array items;
};

inline const Array& SharedArray::get() const {
  static const Array kEmpty;
  return node_ != nullptr ? node_->items : kEmpty;
}

inline SharedArray::SharedArray(const SharedArray& other) noexcept : node_(other.node_) {
  if (node_ != nullptr) node_->refs.fetch_add(1, std::memory_order_relaxed);
}

inline SharedArray& SharedArray::operator=(const SharedArray& other) noexcept {
  if (other.node_ != nullptr) other.node_->refs.fetch_add(1, std::memory_order_relaxed);
  release();
  node_ = other.node_;
  return *this;
}

inline SharedArray& SharedArray::operator=(SharedArray&& other) noexcept {
  if (this != &other) {
    release();
    node_ = std::exchange(other.node_, nullptr);
  }
  return *this;
}

inline void SharedArray::release() noexcept {
  if (node_ != nullptr && node_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete node_;
  node_ = nullptr;
}

inline bool SharedArray::operator==(const SharedArray& other) const {
  return node_ == other.node_ || get() == other.get();
}

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
// XML form is libplist's, with the dates read and written by our own code
// (XmlDates.h), since libplist keeps them in 32-bit seconds.
std::optional<Value> decode(std::string_view bytes);
std::optional<std::string> encodeBinary(const Value& value);
std::optional<std::string> encodeXml(const Value& value);

}  // namespace kst::plist
