#include "tools/notify/NotifyTool.h"

#include <charconv>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <ostream>

#include "platform/fs/DeviceRoot.h"
#include "platform/notify/DarwinNotifyCenter.h"

namespace kst::tools {

namespace {

constexpr const char* kUsage =
    "usage: kestrix-notify post NAME [--root DIR]\n"
    "       kestrix-notify observe NAME [--count N] [--root DIR]\n";

struct Options {
  std::string command;
  std::string name;
  std::optional<std::string> root;
  std::optional<long> count;
};

std::optional<Options> parse(const std::vector<std::string>& args) {
  Options o;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "--root" || a == "--count") && i + 1 < args.size()) {
      const std::string& v = args[++i];
      if (a == "--root") {
        if (v.empty()) return std::nullopt;
        o.root = v;
      } else {
        long n = 0;
        const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
        if (ec != std::errc() || end != v.data() + v.size() || n <= 0) return std::nullopt;
        o.count = n;
      }
    } else if (a.rfind("--", 0) == 0) {
      return std::nullopt;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2 || positional[1].empty()) return std::nullopt;
  o.command = positional[0];
  o.name = positional[1];
  if (o.command != "post" && o.command != "observe") return std::nullopt;
  if (o.command == "post" && o.count) return std::nullopt;
  return o;
}

int observe(DarwinNotifyCenter& center, const Options& o, std::ostream& out, std::ostream& err) {
  std::mutex mu;
  std::condition_variable cv;
  long seen = 0;
  const auto id = center.addObserver(o.name, [&] {
    std::lock_guard lock(mu);
    if (o.count && seen >= *o.count) return;  // arrived before the observer was removed
    out << o.name << std::endl;
    ++seen;
    cv.notify_all();
  });
  if (id == 0) {
    err << "kestrix-notify: cannot observe in " << center.folder() << "\n";
    return 1;
  }
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return o.count && seen >= *o.count; });
  }
  center.removeObserver(id);
  return 0;
}

}  // namespace

int runNotifyTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const auto options = parse(args);
  if (!options) {
    err << kUsage;
    return 2;
  }
  if (options->name.size() > DarwinNotifyCenter::kMaxNameLength) {
    err << "kestrix-notify: name longer than " << DarwinNotifyCenter::kMaxNameLength << " bytes\n";
    return 2;
  }
  DarwinNotifyCenter center(options->root ? DeviceRoot(*options->root) : DeviceRoot::process());
  if (options->command == "observe") return observe(center, *options, out, err);
  // Nobody observing is not an error: the notification is simply lost.
  center.post(options->name);
  return 0;
}

}  // namespace kst::tools
