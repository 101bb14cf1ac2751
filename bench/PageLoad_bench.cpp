// The page-load time of a browser, bare and under the firewall, side by
// side: one fresh browser process per iteration loads a page on site.test
// that embeds a script from tracker.test (both served on loopback) and
// exits; the time is the process's wall time, start to exit. Under the
// firewall the application's rules allow the site and deny the tracker, so
// the rules decide without a prompt.
//
// Both runs see the names in /etc/hosts, bind-mounted in a mount namespace of
// their own (unshare -m, needs root); the firewall reads them from the
// device's hosts file. Run with --benchmark_repetitions=5 (the default
// here) and read the medians. A browser that is not installed is skipped.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hook/rules/KstFiles.h"
#include "platform/fs/FileSystem.h"
#include "platform/plist/PlistFile.h"
#include "platform/plist/PlistValue.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using kst::FileSystem;
namespace plist = kst::plist;
namespace files = kst::files;

constexpr const char* kSiteIp = "127.0.0.20";
constexpr const char* kTrackerIp = "127.0.0.21";

constexpr const char* kWebServer =
    "import functools, http.server, os, sys\n"
    "root, ip, port_file = sys.argv[1:4]\n"
    "class Handler(http.server.SimpleHTTPRequestHandler):\n"
    "  def log_message(self, fmt, *args): pass\n"
    "server = http.server.ThreadingHTTPServer((ip, 0), functools.partial(Handler, directory=root))\n"
    "with open(port_file + '.tmp', 'w') as f: f.write(str(server.server_address[1]))\n"
    "os.rename(port_file + '.tmp', port_file)\n"
    "server.serve_forever()\n";

pid_t spawn(const std::vector<std::string>& argv, const std::string& out) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  ::posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool installed(const std::string& program) {
  return waitFor(spawn({"/bin/sh", "-c", "command -v " + program}, "/dev/null")) == 0;
}

plist::Array ruleEntries(const std::string& rule) {
  return plist::Array{
      plist::Value(plist::Dictionary{{std::string(files::kRuleKey), plist::Value(rule)},
                                     {std::string(files::kDateKey), plist::Value(plist::Date{0})}})};
}

// The device, the servers and the page, made once for the whole run.
class Stage {
 public:
  Stage() {
    dir_ = (fs::temp_directory_path() / ("kst-pageload-" + std::to_string(::getpid()))).string();
    fs::create_directories(dir_ + "/site");
    fs::create_directories(dir_ + "/tracker");
    root_ = dir_ + "/root";
    if (waitFor(spawn({KST_INSTALL, "--root", root_}, "/dev/null")) != 0) {
      error_ = "kestrix-install failed";
      return;
    }
    const std::string hosts = std::string(kSiteIp) + " site.test\n" + kTrackerIp + " tracker.test\n";
    std::ofstream(dir_ + "/hosts") << "127.0.0.1 localhost\n" << hosts;
    FileSystem::real().writeFileAtomic(root_ + "/etc/hosts", hosts, true);
    const std::string site = serve("site", kSiteIp);
    const std::string tracker = serve("tracker", kTrackerIp);
    if (site.empty() || tracker.empty()) {
      error_ = "the web servers did not start";
      return;
    }
    url_ = "http://site.test:" + site + "/";
    std::ofstream(dir_ + "/site/index.html")
        << "<html><body><p id=\"p\">site-page</p><script src=\"http://tracker.test:" << tracker
        << "/t.js\"></script></body></html>\n";
    std::ofstream(dir_ + "/tracker/t.js") << "window.trackerRan = true;\n";
    const std::string prefs = root_ + "/var/mobile/Library/Preferences";
    plist::Dictionary rules{{std::string(files::kMarkerKey), plist::Value(true)}};
    for (const char* app : {"org.chromium.Chromium", "org.mozilla.firefox"})
      rules.set(app, plist::Value(plist::Dictionary{
                         {std::string(files::kAllowKey), plist::Value(ruleEntries("site.test"))},
                         {std::string(files::kDenyKey), plist::Value(ruleEntries("tracker.test"))}}));
    plist::writeDictionaryFile(FileSystem::real(), root_ + std::string(files::kRulesPath), rules, true);
    if (waitFor(spawn({"unshare", "-m", "true"}, "/dev/null")) != 0) {
      error_ = "needs a mount namespace (root)";
      return;
    }
  }
  ~Stage() {
    for (pid_t p : servers_) ::kill(p, SIGKILL);
    for (pid_t p : servers_) waitFor(p);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  const std::string& error() const { return error_; }
  const std::string& url() const { return url_; }
  const std::string& dir() const { return dir_; }

  // The command line that runs `program` with the names in /etc/hosts,
  // bare or as `bundle` under the firewall.
  std::vector<std::string> command(bool firewall, const std::string& bundle,
                                   const std::vector<std::string>& program) const {
    std::vector<std::string> argv = {
        "unshare", "-m", "/bin/sh", "-c", "mount --bind \"$0\" /etc/hosts && exec \"$@\"", dir_ + "/hosts"};
    if (firewall) argv.insert(argv.end(), {KST_LAUNCH, bundle, "--root", root_, "--"});
    argv.insert(argv.end(), program.begin(), program.end());
    return argv;
  }

 private:
  std::string serve(const std::string& name, const std::string& ip) {
    const std::string portFile = dir_ + "/" + name + ".port";
    servers_.push_back(spawn({"python3", "-c", kWebServer, dir_ + "/" + name, ip, portFile}, "/dev/null"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(portFile)) {
      if (std::chrono::steady_clock::now() > deadline) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return readText(portFile);
  }

  std::string dir_;
  std::string root_;
  std::string url_;
  std::string error_;
  std::vector<pid_t> servers_;
};

// Made on first use; main() ends it, which stops the servers.
std::unique_ptr<Stage>& stagePtr() {
  static std::unique_ptr<Stage> s;
  return s;
}

Stage& stage() {
  if (!stagePtr()) stagePtr() = std::make_unique<Stage>();
  return *stagePtr();
}

void pageLoad(benchmark::State& state, const std::string& browser, bool firewall) {
  Stage& s = stage();
  if (!s.error().empty()) return state.SkipWithError(s.error().c_str());
  if (!installed(browser)) return state.SkipWithError((browser + " is not installed").c_str());
  int run = 0;
  for (auto _ : state) {
    const std::string profile =
        s.dir() + "/profile-" + browser + (firewall ? "-fw-" : "-bare-") + std::to_string(run++);
    const std::string out = s.dir() + "/out";
    std::vector<std::string> program;
    std::string bundle;
    if (browser == "chromium") {
      bundle = "org.chromium.Chromium";
      program = {
          "chromium",   "--headless=new", "--no-sandbox", "--no-first-run", "--user-data-dir=" + profile,
          "--dump-dom", s.url()};
    } else {
      bundle = "org.mozilla.firefox";
      fs::create_directories(profile);
      program = {"firefox-esr", "--headless",   "--no-remote",         "--profile",
                 profile,       "--screenshot", profile + "/shot.png", s.url()};
    }
    const int status = waitFor(spawn(s.command(firewall, bundle, program), out));
    state.PauseTiming();
    const bool loaded = browser == "chromium" ? readText(out).find("site-page") != std::string::npos
                                              : fs::exists(profile + "/shot.png");
    std::error_code ec;
    fs::remove_all(profile, ec);
    state.ResumeTiming();
    if (status != 0 || !loaded) return state.SkipWithError("the page did not load");
  }
}

void registerAll() {
  for (const char* browser : {"chromium", "firefox-esr"}) {
    for (bool firewall : {false, true}) {
      benchmark::RegisterBenchmark(
          (std::string(browser) + (firewall ? "/firewall" : "/bare")).c_str(),
          [browser, firewall](benchmark::State& st) { pageLoad(st, browser, firewall); })
          ->Iterations(1)
          ->Repetitions(5)
          ->ReportAggregatesOnly(true)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  registerAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stagePtr().reset();
  return 0;
}
