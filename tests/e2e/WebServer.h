#pragma once

// A static file server for the end-to-end tests: python's http.server on
// one address and a free port, serving a folder of the test's own and
// logging each path it is asked for (one line, flushed), so a test sees
// which requests came and which never did.

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "E2eFixture.h"

namespace kst::e2e {

inline constexpr const char* kWebServerScript =
    "import functools, http.server, os, sys\n"
    "root, ip, port_file, log_file = sys.argv[1:5]\n"
    "class Handler(http.server.SimpleHTTPRequestHandler):\n"
    "  def log_message(self, fmt, *args):\n"
    "    with open(log_file, 'a') as f: f.write(self.path + '\\n')\n"
    "server = http.server.ThreadingHTTPServer((ip, 0), functools.partial(Handler, directory=root))\n"
    "with open(port_file + '.tmp', 'w') as f: f.write(str(server.server_address[1]))\n"
    "os.rename(port_file + '.tmp', port_file)\n"
    "server.serve_forever()\n";

class WebServer {
 public:
  // Serves `dir`/`name` on `ip`; port() is empty when it did not start.
  WebServer(const std::string& dir, const std::string& name, const std::string& ip, const Env& env)
      : folder_(dir + "/" + name), requests_(dir + "/" + name + ".requests") {
    std::filesystem::create_directories(folder_);
    const std::string portFile = dir + "/" + name + ".port";
    process_ = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/env", "python3", "-c", kWebServerScript, folder_, ip, portFile,
                                 requests_},
        env, dir + "/" + name + ".out", dir + "/" + name + ".err");
    if (waitFor([&] { return std::filesystem::exists(portFile); }, 30)) port_ = testing::readText(portFile);
  }

  const std::string& port() const { return port_; }
  const std::string& folder() const { return folder_; }
  // The paths asked for so far, in order.
  Lines requests() const {
    Lines out;
    std::istringstream in(testing::readText(requests_));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  bool asked(const std::string& path) const {
    for (const std::string& r : requests())
      if (r == path) return true;
    return false;
  }

 private:
  std::string folder_;
  std::string requests_;
  std::string port_;
  std::unique_ptr<Process> process_;
};

}  // namespace kst::e2e
