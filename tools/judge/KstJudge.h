#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kst {

// kestrix-judge: tells how the rules of a device root judge one destination
// of one application, and which rule decided. A library so that tests run it
// in-process; main.cpp only forwards.
//
//   kestrix-judge [--root DIR] [--udp] [--not-ready] BUNDLE_ID HOST PORT [ADDRESS]
//
// HOST is the name the destination is known by; ADDRESS its address text
// (HOST itself when omitted, as when no name is known). Exit status: 0
// allowed, 1 denied, 2 undecided (the user would be asked), 64 usage error.
int runJudge(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kst
