#pragma once

#include <string>

namespace kst {

// The built-in host every application but the settings application may
// always reach, unscrambled from the library's fixed data.
std::string buildBasicString();

}  // namespace kst
