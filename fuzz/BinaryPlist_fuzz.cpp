// Feeds the binary property-list reader. Whatever it reads must write and
// read back to the same value (compared by a dump that keeps reals' bits,
// so that NaN needs no care); the check that reads nothing must agree with
// the read. The bytes of a second encoding may differ from the first: which
// places share one array depends on the depths where the reader meets it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/plist/BinaryPlist.h"

namespace {

using kst::plist::Value;

void bits(double d, std::string& out) {
  char b[sizeof d];
  std::memcpy(b, &d, sizeof d);
  out.append(b, sizeof d);
}

void text(std::string_view s, std::string& out) {
  out += std::to_string(s.size());
  out += ':';
  out += s;
}

// Every value spelled out in full, shared arrays at each place.
void dump(const Value& v, std::string& out) {
  switch (v.type()) {
    case Value::Type::kString:
      out += 's';
      text(*v.asString(), out);
      break;
    case Value::Type::kInteger:
      out += 'i' + std::to_string(*v.asInteger()) + ';';
      break;
    case Value::Type::kReal:
      out += 'r';
      bits(*v.asReal(), out);
      break;
    case Value::Type::kBoolean:
      out += *v.asBoolean() ? 'T' : 'F';
      break;
    case Value::Type::kDate:
      out += 't';
      bits(v.asDate()->secondsSinceReference, out);
      break;
    case Value::Type::kData:
      out += 'd';
      text(std::string_view(reinterpret_cast<const char*>(v.asData()->data()), v.asData()->size()), out);
      break;
    case Value::Type::kArray:
      out += '[';
      for (const Value& item : *v.asArray()) dump(item, out);
      out += ']';
      break;
    case Value::Type::kDictionary:
      out += '{';
      for (const auto& [key, item] : v.asDictionary()->entries()) {
        text(key, out);
        dump(item, out);
      }
      out += '}';
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kst::plist;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto value = readBinary(bytes);
  // The check without reading agrees with the read.
  const auto type = binaryRootType(bytes);
  if (type.has_value() != value.has_value() || (value && *type != value->type())) std::abort();
  if (!value) return 0;
  std::string once;
  if (!writeBinary(*value, once)) std::abort();  // anything read has a depth we can write
  const auto again = readBinary(once);
  if (!again) std::abort();
  std::string first, second;
  dump(*value, first);
  dump(*again, second);
  if (first != second) std::abort();
  std::string twice;
  if (!writeBinary(*again, twice)) std::abort();
  return 0;
}
