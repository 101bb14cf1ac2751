#pragma once

// Running the bench program's own children: bare, preloaded or under
// kestrix-launch, with an environment of the bench's choosing.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace kst::bench {

inline std::string selfPath() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

// Runs argv with `extraEnv` added (LD_PRELOAD and KESTRIX_* removed first);
// stdout into `out` when given. Returns the exit status or -1.
inline int spawnAndWait(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                        std::string* out = nullptr) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0 && std::strncmp(*e, "KESTRIX_", 8) != 0)
      envStrings.push_back(*e);
  envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  char outPath[] = "/tmp/kst-bench-out-XXXXXX";
  const int outFd = ::mkstemp(outPath);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (rc == 0) ::waitpid(pid, &status, 0);
  if (out != nullptr) {
    std::ifstream in(outPath);
    std::stringstream s;
    s << in.rdbuf();
    *out = s.str();
  }
  ::close(outFd);
  ::unlink(outPath);
  return rc == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The number after "name=" in a child's report; -1 when absent.
inline double field(const std::string& text, const std::string& name) {
  const std::size_t at = text.find(name + "=");
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + name.size() + 1);
}

}  // namespace kst::bench
