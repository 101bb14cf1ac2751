#include "tools/launch/SupervisedRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hook/intercept/CaptureHooks.h"
#include "platform/bundle/MainBundle.h"
#include "tools/launch/CallFilter.h"
#include "tools/launch/DnsForwarder.h"
#include "tools/launch/HookJudge.h"
#include "tools/launch/Supervisor.h"

namespace kst::launch {

namespace {

// Signals a person or a program sends the launcher, meant for the program.
constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGCONT, SIGWINCH};
// What a supervisor does not take from the terminal: its end would fail
// every call the tree has yet to make.
constexpr int kSupervisorIgnores[] = {SIGINT, SIGQUIT, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE};

std::atomic<pid_t> gProgram{0};
// In the supervisor: the launcher it reports to.
std::atomic<pid_t> gLauncher{0};

// The supervisor's signal that its launcher has ended (killed, so it could
// not forward it): the program ends too, as it would have when the launcher
// and the program were one process. A stray copy of the signal, while the
// launcher lives, changes nothing.
int launcherGoneSignal() {
  return SIGRTMIN + 1;
}

void launcherGone(int) {
  const pid_t program = gProgram.load();
  if (::getppid() != gLauncher.load() && program > 0) ::kill(program, SIGKILL);
}

void forward(int signal, siginfo_t* info, void*) {
  const pid_t program = gProgram.load();
  // The terminal's signals reach the whole foreground group, the program
  // included: those are not sent twice.
  if (program > 0 && (info == nullptr || info->si_code != SI_KERNEL)) ::kill(program, signal);
}

// A stop asked of the launcher stops the program too, then the launcher, so
// that whoever waits for the launcher sees it stopped.
void forwardStop(int signal, siginfo_t* info, void* context) {
  forward(signal, info, context);
  ::raise(SIGSTOP);
}

bool writeFull(int fd, const void* data, std::size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool readFull(int fd, void* data, std::size_t length) {
  char* p = static_cast<char*>(data);
  while (length > 0) {
    const ssize_t n = ::read(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// The listener, from the program to the supervisor. The program is under
// its filter by then: the send carries the token.
bool sendListener(int socket, int listener, const CallToken& token) {
  char byte = 0;
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr h{};
  h.msg_iov = &data;
  h.msg_iovlen = 1;
  h.msg_control = control;
  h.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&h);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &listener, sizeof listener);
  return ::syscall(SYS_sendmsg, socket, &h, 0L, token.first, token.second) == 1;
}

int receiveListener(int socket) {
  char byte = 0;
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr h{};
  h.msg_iov = &data;
  h.msg_iovlen = 1;
  h.msg_control = control;
  h.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(socket, &h, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n != 1) return -1;
  cmsghdr* c = CMSG_FIRSTHDR(&h);
  if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS ||
      c->cmsg_len != CMSG_LEN(sizeof(int)))
    return -1;
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  return fd;
}

// The program's process: the filter, the listener handed over, the exec.
[[noreturn]] void runProgram(const Plan& plan, const CallToken& token, int socket) {
  std::string error;
  const InstalledFilter filter = installCallFilter(token, &error);
  if (filter.underOuterFilter) {
    // Launched from inside a supervised tree: the outer supervisor sees
    // what the hook library does not (and judges it as its application).
    ::close(socket);
    ::_exit(execute(plan));
  }
  if (filter.listener < 0) {
    std::fprintf(
        stderr, "kestrix-launch: cannot watch the program's system calls: %s (--libc-only runs it without)\n",
        error.c_str());
    ::_exit(kCannotStart);
  }
  if (!sendListener(socket, filter.listener, token)) {
    std::fprintf(stderr, "kestrix-launch: cannot hand the filter to the supervisor: %s\n",
                 std::strerror(errno));
    ::_exit(kCannotStart);
  }
  ::close(filter.listener);
  ::close(socket);
  ::_exit(execute(plan));
}

void applyEnvironment(const Plan& plan) {
  for (const auto& [name, value] : plan.environment) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

void detachFromInput() {
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return;
  ::dup2(null, STDIN_FILENO);
  ::dup2(null, STDOUT_FILENO);
  ::close(null);
}

struct Report {
  std::int32_t program = -1;
  std::int32_t status = 0;
};

// The supervisor's process.
[[noreturn]] void superviseTree(const Plan& plan, const CallToken& token, int reportFd, pid_t launcher) {
  gLauncher.store(launcher);
  ::signal(launcherGoneSignal(), &launcherGone);
  ::prctl(PR_SET_PDEATHSIG, launcherGoneSignal());
  if (::getppid() != launcher) ::_exit(0);
  applyEnvironment(plan);
  ::setenv(kCallTokenVariable, callTokenText(token).c_str(), 1);
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    std::fprintf(stderr, "kestrix-launch: socketpair: %s\n", std::strerror(errno));
    ::_exit(kCannotStart);
  }
  const pid_t program = ::fork();
  if (program == 0) {
    ::close(pair[0]);
    ::close(reportFd);
    runProgram(plan, token, pair[1]);
  }
  ::close(pair[1]);
  gProgram.store(program);
  if (::getppid() != launcher && program > 0) ::kill(program, SIGKILL);
  Report report;
  if (program < 0) {
    std::fprintf(stderr, "kestrix-launch: fork: %s\n", std::strerror(errno));
    report.status = kCannotStart << 8;
    writeFull(reportFd, &report, sizeof report);
    ::_exit(0);
  }
  for (int s : kSupervisorIgnores) ::signal(s, SIG_IGN);
  const int listener = receiveListener(pair[0]);
  ::close(pair[0]);
  report.program = program;
  writeFull(reportFd, &report.program, sizeof report.program);
  detachFromInput();

  std::optional<Supervisor> supervisor;
  std::optional<HookJudge> judge;
  std::optional<DnsForwarder> forwarder;
  if (listener >= 0) {
    const char* bundle = std::getenv(kBundleIdentifierVariable);
    judge.emplace(bundle != nullptr ? bundle : "");
    supervisor.emplace(listener, *judge, token);
    // The names the tree's own resolvers ask for, as the hook library's
    // answer reading records them.
    forwarder.emplace(&recordResolvedName, &token);
    if (forwarder->start()) supervisor->forwardDnsThrough(&*forwarder);
    supervisor->start();
  }
  int status = 0;
  while (::waitpid(program, &status, 0) < 0 && errno == EINTR) {
  }
  report.status = status;
  writeFull(reportFd, &report.status, sizeof report.status);
  ::close(reportFd);
  if (supervisor) supervisor->waitForTreeEnd();
  ::_exit(0);
}

// Ends this process as the program ended.
int endLike(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (!WIFSIGNALED(status)) return kCannotStart;
  const int signal = WTERMSIG(status);
  // The program's core, if any, is already written; the launcher has none.
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
  ::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  return 128 + signal;
}

}  // namespace

int runSupervised(const Plan& plan) {
  // Inside a supervised tree, its token: the outer filter then passes what
  // this launch's hook library and supervisor have judged.
  std::optional<CallToken> token = processCallToken();
  if (!token) token = newCallToken();
  if (!token) {
    std::fprintf(stderr, "kestrix-launch: no random source for the call token\n");
    return kCannotStart;
  }
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "kestrix-launch: pipe: %s\n", std::strerror(errno));
    return kCannotStart;
  }
  std::fflush(nullptr);
  const pid_t launcher = ::getpid();
  const pid_t supervisor = ::fork();
  if (supervisor < 0) {
    std::fprintf(stderr, "kestrix-launch: fork: %s\n", std::strerror(errno));
    return kCannotStart;
  }
  if (supervisor == 0) {
    ::close(report[0]);
    superviseTree(plan, *token, report[1], launcher);
  }
  ::close(report[1]);
  struct sigaction action {};
  action.sa_sigaction = &forward;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : kForwarded) ::sigaction(s, &action, nullptr);
  action.sa_sigaction = &forwardStop;
  ::sigaction(SIGTSTP, &action, nullptr);

  std::int32_t program = -1;
  if (!readFull(report[0], &program, sizeof program)) {
    int ignored = 0;
    ::waitpid(supervisor, &ignored, 0);
    return kCannotStart;
  }
  gProgram.store(program);
  std::int32_t status = 0;
  if (!readFull(report[0], &status, sizeof status)) {
    std::fprintf(stderr, "kestrix-launch: the supervisor ended before the program\n");
    return kCannotStart;
  }
  // The supervisor stays while the program's children run; reaped now if
  // it is already done.
  int ignored = 0;
  ::waitpid(supervisor, &ignored, WNOHANG);
  return endLike(status);
}

}  // namespace kst::launch
