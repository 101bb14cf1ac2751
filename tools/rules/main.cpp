#include <iostream>

#include "tools/rules/RulesTool.h"

int main(int argc, char** argv) {
  return kst::rules::runRules(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
