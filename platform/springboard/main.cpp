#include "platform/springboard/ShellLibrary.h"

int main(int argc, char** argv) {
  return kst::springboard::springboardMain(argc, argv);
}
