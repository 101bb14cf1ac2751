#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace kst {

// One line of the connection log, exactly as the log file keeps it:
// "yyyy-MM-dd HH:mm:ss - <appName>: connection <what> to <host> via port:
// <port>\n", the time given in local time. Host and port go in verbatim.
std::string kstLogLine(const std::tm& localTime, std::string_view appName, std::string_view what,
                       std::string_view host, std::string_view port);

}  // namespace kst
