#include <iostream>

#include "tools/judge/KstJudge.h"

int main(int argc, char** argv) {
  return kst::runJudge(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
