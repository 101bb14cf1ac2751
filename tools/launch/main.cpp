#include "tools/launch/Launcher.h"

int main(int argc, char** argv) {
  return kst::launch::launcherMain(argc, argv);
}
