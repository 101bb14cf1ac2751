#include "platform/plist/PlistValue.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "platform/plist/BinaryPlist.h"
#include "platform/plist/PlistNode.h"
#include "platform/plist/XmlDates.h"

namespace kst::plist {

namespace {

// 2001-01-01 00:00:00 UTC in Unix time.
constexpr double kReferenceDateUnix = 978307200.0;

// Documents nested deeper than this are refused rather than risking the stack.
constexpr int kMaxDepth = 256;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// `dates`: the dates of an XML document, which its date nodes stand for by
// index (XmlDates.h); null for a tree that holds its dates itself.
std::optional<Value> fromNode(plist_t node, int depth, const std::vector<Date>* dates) {
  if (node == nullptr || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      // By pointer and length: libplist's copying getter stops the process
      // on a string of the XML form that holds a NUL character.
      std::uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      return Value(s != nullptr ? std::string(s, static_cast<std::size_t>(length)) : std::string());
    }
    case PLIST_UINT: {
      // Debian 12's libplist has only an unsigned integer: negative numbers
      // come back as their two's complement, which this cast restores.
      std::uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_DATE: {
      std::int32_t sec = 0;
      std::int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // A stand-in names its date; anything else (a date element spelt in
      // a way the stand-ins missed) is libplist's own reading.
      if (dates != nullptr && sec >= 0 && usec == 0 && static_cast<std::size_t>(sec) < dates->size())
        return Value((*dates)[static_cast<std::size_t>(sec)]);
      return Value(Date{static_cast<double>(sec) + static_cast<double>(usec) / 1e6});
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      std::uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      Data data(reinterpret_cast<std::uint8_t*>(bytes), reinterpret_cast<std::uint8_t*>(bytes) + length);
      free(bytes);  // NOLINT(cppcoreguidelines-no-malloc)
      return Value(std::move(data));
    }
    case PLIST_ARRAY: {
      Array array;
      const std::uint32_t n = plist_array_get_size(node);
      array.reserve(n);
      // The iterator walks the children once; plist_array_get_item walks
      // from the start each time in libplist 2.2, which made large rule
      // lists quadratic to read.
      plist_array_iter it = nullptr;
      plist_array_new_iter(node, &it);
      if (it == nullptr) return Value(std::move(array));
      for (std::uint32_t i = 0; i < n; ++i) {
        plist_t child = nullptr;
        plist_array_next_item(node, it, &child);
        auto item = fromNode(child, depth + 1, dates);
        if (!item) {
          free(it);  // NOLINT(cppcoreguidelines-no-malloc)
          return std::nullopt;
        }
        array.push_back(std::move(*item));
      }
      free(it);  // NOLINT(cppcoreguidelines-no-malloc)
      return Value(std::move(array));
    }
    case PLIST_DICT: {
      Dictionary dict;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      if (it == nullptr) return Value(std::move(dict));
      for (;;) {
        char* key = nullptr;
        plist_t child = nullptr;
        plist_dict_next_item(node, it, &key, &child);
        if (child == nullptr) {
          free(key);  // NOLINT(cppcoreguidelines-no-malloc)
          break;
        }
        auto item = fromNode(child, depth + 1, dates);
        std::string k(key != nullptr ? key : "");
        free(key);  // NOLINT(cppcoreguidelines-no-malloc)
        if (!item) {
          free(it);  // NOLINT(cppcoreguidelines-no-malloc)
          return std::nullopt;
        }
        dict.appendUnchecked(std::move(k), std::move(*item));
      }
      free(it);  // NOLINT(cppcoreguidelines-no-malloc)
      return Value(std::move(dict));
    }
    default:
      // Keys, UIDs and anything newer have no place in this system's files.
      return std::nullopt;
  }
}

// `dates`: when given, each date becomes a stand-in for its index there
// (XmlDates.h); otherwise it is clamped to libplist's 32-bit seconds.
Node makeNode(const Value& value, std::vector<Date>* dates) {
  switch (value.type()) {
    case Value::Type::kString:
      return Node(plist_new_string(value.asString()->c_str()));
    case Value::Type::kInteger:
      return Node(plist_new_uint(static_cast<std::uint64_t>(*value.asInteger())));
    case Value::Type::kReal:
      return Node(plist_new_real(*value.asReal()));
    case Value::Type::kBoolean:
      return Node(plist_new_bool(*value.asBoolean() ? 1 : 0));
    case Value::Type::kDate: {
      if (dates != nullptr) {
        dates->push_back(*value.asDate());
        return Node(plist_new_date(xmlDateIndexSeconds(dates->size() - 1), 0));
      }
      // libplist 2.2 keeps dates as 32-bit seconds since the reference date.
      // Only plist_new_date builds a node that reads back safely.
      double s = value.asDate()->secondsSinceReference;
      if (!std::isfinite(s)) s = 0;
      s = std::clamp(s, static_cast<double>(std::numeric_limits<std::int32_t>::min()),
                     static_cast<double>(std::numeric_limits<std::int32_t>::max()));
      double whole = std::floor(s);
      auto usec = static_cast<std::int32_t>(std::lround((s - whole) * 1e6));
      auto sec = static_cast<std::int32_t>(whole);
      if (usec >= 1000000) usec = 999999;
      return Node(plist_new_date(sec, usec));
    }
    case Value::Type::kData: {
      const Data& d = *value.asData();
      return Node(plist_new_data(reinterpret_cast<const char*>(d.data()), d.size()));
    }
    case Value::Type::kArray: {
      Node array(plist_new_array());
      for (const Value& item : *value.asArray())
        plist_array_append_item(array.get(), makeNode(item, dates).release());
      return array;
    }
    case Value::Type::kDictionary: {
      Node dict(plist_new_dict());
      for (const auto& [key, item] : value.asDictionary()->entries())
        plist_dict_set_item(dict.get(), key.c_str(), makeNode(item, dates).release());
      return dict;
    }
  }
  return Node(plist_new_string(""));
}

bool looksLikePlist(std::string_view bytes) {
  // The XML parser wants to see markup; anything else is not a property list.
  for (char c : bytes) {
    if (isBlank(c)) continue;
    return c == '<' || c == '\xEF';  // '\xEF': a UTF-8 byte-order mark
  }
  return false;
}

}  // namespace

std::optional<Value> fromNode(plist_t node) {
  return fromNode(node, 0, nullptr);
}

Node toNode(const Value& value) {
  return makeNode(value, nullptr);
}

SharedArray::SharedArray(Array items) : node_(new Node{}) {
  node_->items = std::move(items);
}

// Values share arrays, so a value is no longer a deep copy of another; it
// still never sees another's change. Unlike a plain vector, an array must
// not be handed a copy of the value that holds it
// (`v.asArray()->push_back(v)`): that copy shares the array, a cycle.
Array& SharedArray::mutate() {
  if (node_ == nullptr) {
    node_ = new Node{};
  } else if (node_->refs.load(std::memory_order_acquire) != 1) {
    Node* own = new Node{};
    own->items = node_->items;
    release();
    node_ = own;
  }
  return node_->items;
}

Date Date::now() {
  using namespace std::chrono;
  const double unix = duration<double>(system_clock::now().time_since_epoch()).count();
  return Date{unix - kReferenceDateUnix};
}

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& e : entries) set(e.first, e.second);
}

const Value* Dictionary::find(std::string_view key) const {
  for (const auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}

Value* Dictionary::find(std::string_view key) {
  for (auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}

void Dictionary::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

bool Dictionary::erase(std::string_view key) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.first == key; });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

void Dictionary::appendUnchecked(std::string key, Value value) {
  entries_.emplace_back(std::move(key), std::move(value));
}

Dictionary Dictionary::fromEntries(std::vector<Entry>&& entries) {
  Dictionary d;
  constexpr std::size_t kSmall = 8;
  bool repeats = false;
  if (entries.size() <= kSmall) {
    for (std::size_t i = 1; i < entries.size() && !repeats; ++i)
      for (std::size_t j = 0; j < i && !repeats; ++j) repeats = entries[i].first == entries[j].first;
    if (!repeats) {
      d.entries_ = std::move(entries);
      return d;
    }
  }
  std::unordered_map<std::string_view, std::size_t> seen;
  seen.reserve(entries.size());
  std::vector<bool> later(entries.size(), false);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto [it, added] = seen.emplace(entries[i].first, i);
    if (added) continue;
    entries[it->second].second = std::move(entries[i].second);
    later[i] = true;
    repeats = true;
  }
  seen.clear();  // its views die with the moves below
  if (!repeats) {
    d.entries_ = std::move(entries);
    return d;
  }
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (!later[i]) d.entries_.push_back(std::move(entries[i]));
  return d;
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.first);
  return out;
}

const std::string* Dictionary::string(std::string_view key) const {
  const Value* v = find(key);
  return v != nullptr ? v->asString() : nullptr;
}

const Array* Dictionary::array(std::string_view key) const {
  const Value* v = find(key);
  return v != nullptr ? v->asArray() : nullptr;
}

const Dictionary* Dictionary::dictionary(std::string_view key) const {
  const Value* v = find(key);
  return v != nullptr ? v->asDictionary() : nullptr;
}

bool Dictionary::operator==(const Dictionary& other) const {
  // Key order does not make two dictionaries different.
  if (entries_.size() != other.entries_.size()) return false;
  for (const auto& [key, value] : entries_) {
    const Value* o = other.find(key);
    if (o == nullptr || !(*o == value)) return false;
  }
  return true;
}

bool boolValue(const Value* value) {
  return boolValue(value, false);
}

std::optional<bool> boolValueIfAny(const Value* value) {
  if (value == nullptr) return std::nullopt;
  switch (value->type()) {
    case Value::Type::kBoolean:
    case Value::Type::kInteger:
    case Value::Type::kReal:
    case Value::Type::kString:
      return boolValue(value);
    default:
      return std::nullopt;
  }
}

bool boolValue(const Value* value, bool whenAbsent) {
  if (value == nullptr) return whenAbsent;
  if (const bool* b = value->asBoolean()) return *b;
  if (const std::int64_t* i = value->asInteger()) return *i != 0;
  if (const double* d = value->asReal()) return *d != 0.0;
  if (const std::string* s = value->asString()) {
    std::size_t i = 0;
    while (i < s->size() && isBlank((*s)[i])) ++i;
    if (i < s->size() && ((*s)[i] == '+' || (*s)[i] == '-')) ++i;
    while (i < s->size() && (*s)[i] == '0') ++i;
    if (i >= s->size()) return false;
    const char c = (*s)[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  // A date, data, array or dictionary is no boolean at all: it reads as
  // missing, like every other value of the wrong type.
  return whenAbsent;
}

std::optional<Value> decode(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  // The binary form is read by our own reader: libplist 2.2 stops the
  // process on a NUL inside a string, keeps dates in 32 bits and grows with
  // the square of large files.
  if (bytes.substr(0, 6) == "bplist") return readBinary(bytes);
  if (!looksLikePlist(bytes)) return std::nullopt;
  // Dates go around libplist, which would cut them to 32 bits.
  std::vector<Date> dates;
  const std::string xml = takeXmlDates(bytes, dates);
  if (xml.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  // libplist 2.2 reports no errors: a failed parse leaves the output untouched.
  plist_t raw = nullptr;
  plist_from_memory(xml.data(), static_cast<std::uint32_t>(xml.size()), &raw);
  Node root(raw);
  if (!root) return std::nullopt;
  return fromNode(root.get(), 0, &dates);
}

std::optional<std::string> encodeBinary(const Value& value) {
  std::string bytes;
  if (!writeBinary(value, bytes)) return std::nullopt;
  return bytes;
}

std::optional<std::string> encodeXml(const Value& value) {
  std::vector<Date> dates;
  Node root = makeNode(value, &dates);
  char* out = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root.get(), &out, &length);
  if (out == nullptr) return std::nullopt;
  std::optional<std::string> bytes = putXmlDates(std::string_view(out, length), dates);
  plist_to_xml_free(out);
  return bytes;
}

}  // namespace kst::plist
