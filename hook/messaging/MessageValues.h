#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "platform/plist/PlistValue.h"

// Typed reads of message dictionaries. Messages come from other processes,
// so every value is checked: a missing key, or a value of another type,
// reads as absent.
namespace kst::msg {

inline std::optional<std::string> stringValue(const plist::Dictionary* dict, std::string_view key) {
  if (dict == nullptr) return std::nullopt;
  const std::string* s = dict->string(key);
  return s != nullptr ? std::optional<std::string>(*s) : std::nullopt;
}

// A number (integer, real or boolean) as an integer; reals are cut toward
// zero, and one beyond the integer range reads as absent.
inline std::optional<std::int64_t> integerValue(const plist::Dictionary* dict, std::string_view key) {
  if (dict == nullptr) return std::nullopt;
  const plist::Value* v = dict->find(key);
  if (v == nullptr) return std::nullopt;
  if (const std::int64_t* i = v->asInteger()) return *i;
  if (const bool* b = v->asBoolean()) return *b ? 1 : 0;
  if (const double* d = v->asReal()) {
    constexpr double kLimit = 9.2e18;  // inside the range of int64 on both sides
    if (!std::isfinite(*d) || *d >= kLimit || *d <= -kLimit) return std::nullopt;
    return static_cast<std::int64_t>(*d);
  }
  return std::nullopt;
}

// A number as a boolean: true when non-zero.
inline std::optional<bool> numberAsBool(const plist::Dictionary* dict, std::string_view key) {
  if (dict == nullptr) return std::nullopt;
  const plist::Value* v = dict->find(key);
  if (v == nullptr) return std::nullopt;
  if (const bool* b = v->asBoolean()) return *b;
  if (const std::int64_t* i = v->asInteger()) return *i != 0;
  if (const double* d = v->asReal()) return *d != 0;
  return std::nullopt;
}

// An integer number narrowed to int, saturating (an answer code past the
// range still reads as "above 11").
inline int clampToInt(std::int64_t v) {
  if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

}  // namespace kst::msg
