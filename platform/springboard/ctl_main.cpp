#include <string>
#include <vector>

#include "platform/springboard/SpringBoardCtl.h"

int main(int argc, char** argv) {
  return kst::springboard::springboardCtlMain(std::vector<std::string>(argv + 1, argv + argc));
}
