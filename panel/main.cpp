#include "panel/ui/KstAppDelegate.h"

int main(int argc, char** argv) {
  return kst::panel::panelMain(argc, argv);
}
