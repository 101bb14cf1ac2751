#include "hook/store/BasicString.h"

#include <string_view>

namespace kst {

namespace {

// Both are stored scrambled, so the host does not stand in the binary as
// plain text. Each character of the constant is looked up in the table and
// replaced by the character whose code is 33 plus its position there.
constexpr std::string_view kScrambledHost = ">;$+t:s|:I";
constexpr std::string_view kTable =
    "NBF-,}aRLVPk*|Sg=@D&5u067ZdCc#<b%^9!A(8/jMrEYW'[wx\\`Jqv2OhoU)if_]Q?p;1XT:\">meyIlnt$+GHKs{3z.4";
static_assert(kTable.size() == 93);

}  // namespace

std::string buildBasicString() {
  std::string out;
  out.reserve(kScrambledHost.size());
  for (char c : kScrambledHost) {
    const std::size_t pos = kTable.find(c);
    out += pos == std::string_view::npos ? c : static_cast<char>(33 + pos);
  }
  return out;
}

}  // namespace kst
