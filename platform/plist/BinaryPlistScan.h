#pragma once

#include <string_view>

namespace kst::plist {

// Looks through a binary property list before libplist reads it, for what
// the system's libplist (2.2) cannot take: a string or key with a NUL inside
// stops the process on an assertion when its value is read. Walks the
// offset table and every string object within bounds; false for such text
// and for anything that is not a well-formed table of objects.
bool binaryPlistIsSafeToRead(std::string_view bytes);

}  // namespace kst::plist
