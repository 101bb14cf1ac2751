#include "tools/judge/KstJudge.h"

#include <charconv>
#include <optional>

#include "hook/intercept/DecisionTrace.h"
#include "hook/intercept/KstDecision.h"
#include "hook/rules/HostText.h"
#include "hook/rules/KstFiles.h"
#include "hook/rules/performTest.h"
#include "hook/store/KstSettingsManager.h"

namespace kst {

namespace {

constexpr int kUsage = 64;

struct Options {
  std::string root;
  bool udp = false;
  bool springBoardReady = true;
  std::vector<std::string> positional;
};

std::optional<Options> parse(const std::vector<std::string>& args, std::ostream& err) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--root") {
      if (++i >= args.size()) {
        err << "kestrix-judge: --root needs a folder\n";
        return std::nullopt;
      }
      o.root = args[i];
    } else if (a == "--udp") {
      o.udp = true;
    } else if (a == "--not-ready") {
      o.springBoardReady = false;
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      err << "kestrix-judge: unknown option " << a << "\n";
      return std::nullopt;
    } else {
      o.positional.push_back(a);
    }
  }
  if (o.positional.size() < 3 || o.positional.size() > 4) {
    err << "usage: kestrix-judge [--root DIR] [--udp] [--not-ready] BUNDLE_ID HOST PORT [ADDRESS]\n";
    return std::nullopt;
  }
  return o;
}

}  // namespace

int runJudge(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::optional<Options> o = parse(args, err);
  if (!o) return kUsage;
  const std::string& portText = o->positional[2];
  int port = 0;
  const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (ec != std::errc() || end != portText.data() + portText.size() || port < 0 || port > 65535) {
    err << "kestrix-judge: the port must be a number from 0 to 65535\n";
    return kUsage;
  }

  KstFlags flags;
  KstStoreEnv env;
  if (!o->root.empty()) env.root = DeviceRoot(o->root);
  env.flags = &flags;
  KstSettingsManager manager(env);
  const std::string& bundleId = o->positional[0];
  manager.setCurrentBundleIdentifier(bundleId);
  manager.clearTempAnswers();
  manager.reloadAppSettings();
  manager.reloadGlobalSettings();
  set(flags.SpringBoardDidFinish, o->springBoardReady);

  Destination d{withoutWww(o->positional[1]), port,
                o->positional.size() == 4 ? o->positional[3] : o->positional[1]};
  const Transport transport = o->udp ? Transport::kUDP : Transport::kTCP;
  out << bundleId << " -> " << d.host << ":" << port << " (" << d.address << ") over "
      << (o->udp ? "UDP" : "TCP") << "\n";
  if (env.fs->exists(env.root.path(files::kDisabledMarkerPath))) {
    out << "verdict: allowed\ndecided by: the firewall is switched off\n";
    return 0;
  }
  if (!get(flags.isKstEnabled)) {
    out << "verdict: allowed\ndecided by: the firewall is switched off for this application\n";
    return 0;
  }
  if (o->udp && udpAllowedAtOnce(manager)) {
    out << "verdict: allowed\ndecided by: application allows everything\n";
    return 0;
  }
  const Decision decision = decideConnection(manager, transport, d);
  const char* verdict = decision.verdict == Verdict::kAllow  ? "allowed"
                        : decision.verdict == Verdict::kDeny ? "denied"
                                                             : "undecided";
  out << "verdict: " << verdict << "\ndecided by: " << describeStep(decision.step);
  const std::string rule = matchingRule(manager, decision.step, d);
  if (!rule.empty()) out << " \"" << rule << "\"";
  out << "\nlogged: " << (decision.log ? "yes" : "no") << "\n";
  switch (decision.verdict) {
    case Verdict::kAllow:
      return 0;
    case Verdict::kDeny:
      return 1;
    case Verdict::kUndecided:
      return 2;
  }
  return 2;
}

}  // namespace kst
