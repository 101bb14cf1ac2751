// Feeds the binary property-list reader. Whatever it reads must write and
// read back to the same bytes: the second encoding equals the first (bytes
// are compared, not values, so that NaN and repeated keys need no care);
// the check that reads nothing must agree with the read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/plist/BinaryPlist.h"

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
  std::string twice;
  if (!writeBinary(*again, twice) || twice != once) std::abort();
  return 0;
}
