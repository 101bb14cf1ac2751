#pragma once

#include <string_view>

namespace kst {

// The applications the hook library never judges, by bundle identifier
// (any letter case); the iOS 7/8 library leaves fewer alone.
bool leftAloneById(std::string_view id, bool hook7);

}  // namespace kst
