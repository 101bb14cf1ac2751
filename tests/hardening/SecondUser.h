#pragma once

// A second user of the machine, made for one test and removed after it, and
// children that run as that user. Needs root (the caller skips otherwise).

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kst::testing {

class SecondUser {
 public:
  SecondUser() : name_("kstpeer" + std::to_string(::getpid())) {
    if (::geteuid() != 0) return;
    const std::string add =
        "useradd --system --no-create-home --shell /usr/sbin/nologin " + name_ + " 2>/dev/null";
    if (std::system(add.c_str()) != 0) return;
    created_ = true;
    if (const passwd* pw = ::getpwnam(name_.c_str())) {
      uid_ = pw->pw_uid;
      gid_ = pw->pw_gid;
    }
  }
  SecondUser(const SecondUser&) = delete;
  SecondUser& operator=(const SecondUser&) = delete;
  ~SecondUser() {
    if (created_) [[maybe_unused]]
      int r = std::system(("userdel " + name_ + " 2>/dev/null").c_str());
  }

  // Whether the user exists and is not the caller.
  bool ok() const { return uid_.has_value() && *uid_ != ::geteuid(); }
  uid_t uid() const { return *uid_; }

  // Runs `body` in a child that became the user; its result, or -1 when the
  // child could not become the user or did not exit normally.
  int run(const std::function<int()>& body) const {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(gid_.value_or(0)) != 0 || ::setuid(uid_.value_or(0)) != 0)
        ::_exit(120);
      ::_exit(body());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) != 120 ? WEXITSTATUS(status) : -1;
  }
  // Runs a program as the user; its exit status.
  int exec(const std::vector<std::string>& argv) const {
    return run([&] {
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      return 127;
    });
  }

 private:
  std::string name_;
  bool created_ = false;
  std::optional<uid_t> uid_;
  std::optional<gid_t> gid_;
};

}  // namespace kst::testing
