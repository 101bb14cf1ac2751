#include "hook/rules/KstFlags.h"

namespace kst {

KstFlags& kstFlags() {
  static KstFlags* flags = new KstFlags();  // read by hooks after static destructors
  return *flags;
}

}  // namespace kst
