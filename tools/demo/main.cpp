// kestrix-demo-root DIR: lays out a device root with a few applications and
// rules, as a person might have set them up, for the demo.
#include <iostream>

#include "hook/rules/KstFiles.h"
#include "platform/fs/DeviceRoot.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"

namespace {

using kst::plist::Array;
using kst::plist::Date;
using kst::plist::Dictionary;
using kst::plist::Value;

Value rules(std::initializer_list<const char*> texts) {
  Array out;
  for (const char* t : texts) out.emplace_back(Dictionary{{"rule", Value(t)}, {"date", Value(Date::now())}});
  return Value(std::move(out));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: kestrix-demo-root DIR\n";
    return 64;
  }
  const kst::DeviceRoot root(argv[1]);
  kst::FileSystem& fs = kst::FileSystem::real();
  const Dictionary app{
      {"150", Value(true)},
      {"com.example.browser",
       Value(Dictionary{{"allow", rules({"example.com:443", "10.0.0.20-30"})}, {"deny", rules({"*.doubleclick.net"})},
                        {"allowEverything", Value("")}})},
      {"com.example.mail",
       Value(Dictionary{{"allowEverything", Value("1")}, {"stillUseRules", Value(true)},
                        {"deny", rules({"*:53"})}, {"allow", rules({})}})},
      {"com.example.offline", Value(Dictionary{{"allowEverything", Value("2")}, {"allow", rules({})},
                                               {"deny", rules({})}})},
  };
  const Dictionary global{
      {"150", Value(true)},
      {"globalDeny", rules({"*.tracker.example", "*:23"})},
      {"globalAllow", rules({"*.apple.com"})},
      {"log", Value(true)},
  };
  const bool ok = kst::plist::writeDictionaryFile(fs, root.path(kst::files::kRulesPath), app, true) &&
                  kst::plist::writeDictionaryFile(fs, root.path(kst::files::kGlobalRulesPath), global, true);
  if (!ok) {
    std::cerr << "kestrix-demo-root: cannot write the rule files under " << root.dir() << "\n";
    return 1;
  }
  return 0;
}
