// KestrixLoader: injected into processes by the substrate; its only work is
// to load the hook library built for the device's system version, whose own
// constructor then decides what to do in the process.
#include "loader/KestrixLoader.h"

#include <dlfcn.h>

#include <string>

#include "platform/bundle/CoreFoundationVersion.h"
#include "platform/fs/DeviceRoot.h"

// All symbols bound at once (mode 2); the handle is not kept and the library
// is never closed. A missing or broken library leaves the process without
// the firewall, silently.
extern "C" __attribute__((constructor, visibility("default"))) void Zazizivi7LoaderInitialize() {
  const std::string path = kst::DeviceRoot::process().path(kst::hookLibraryFor(kst::coreFoundationVersionNumber()));
  dlopen(path.c_str(), RTLD_NOW);
}

// Nothing calls it.
extern "C" __attribute__((visibility("default"))) int main() { return 0; }
