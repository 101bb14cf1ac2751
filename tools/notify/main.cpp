#include <iostream>
#include <string>
#include <vector>

#include "tools/notify/NotifyTool.h"

int main(int argc, char** argv) {
  return kst::tools::runNotifyTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
