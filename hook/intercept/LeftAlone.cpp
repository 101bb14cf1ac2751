#include "hook/intercept/LeftAlone.h"
#include "platform/text/AsciiCase.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>

namespace kst {

namespace {

constexpr std::size_t kHook7LeftAlone = 2;

}  // namespace

bool leftAloneById(std::string_view id, bool hook7) {
  static constexpr std::array<std::string_view, 6> kLeftAlone = {
      "com.apple.mobilephone",  "com.apple.itunesstored",
      "com.apple.backboardd",   "com.apple.accessibility.AccessibilityUIServer",
      "com.apple.datamigrator", "com.apple.backupd"};
  const std::size_t count = hook7 ? kHook7LeftAlone : kLeftAlone.size();
  for (std::size_t i = 0; i < count; ++i)
    if (ascii::equalsIgnoringCase(id, kLeftAlone[i])) return true;
  return false;
}

}  // namespace kst
