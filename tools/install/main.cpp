#include "tools/install/Installer.h"

int main(int argc, char** argv) {
  return kst::install::installerMain(argc, argv);
}
