#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace kst::prompt {

// The port reference list "/var/mobile/Library/Preferences/Radazira/ports.txt",
// a Mac OS Roman text shown as it is.
inline constexpr const char* kPortListPath = "/var/mobile/Library/Preferences/Radazira/ports.txt";
// Beyond this the rest of the file is not shown.
inline constexpr std::size_t kPortListLimit = 1 << 20;

QString decodeMacRoman(std::string_view bytes);
// The file's text, up to the limit; empty when it cannot be read.
QString readPortList(const std::string& path);

}  // namespace kst::prompt
