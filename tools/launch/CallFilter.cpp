#include "tools/launch/CallFilter.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <seccomp.h>

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdint>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace kst::launch {

namespace {

// "Argument `index` (all 64 bits) differs from `value`", spelled out: the
// library's macros leave a field to the compiler's zeroing.
scmp_arg_cmp argumentIsNot(unsigned index, std::uint64_t value) {
  scmp_arg_cmp c{};
  c.arg = index;
  c.op = SCMP_CMP_NE;
  c.datum_a = value;
  c.datum_b = 0;
  return c;
}

// The seccomp flag of kernels from 5.19 on; the headers of older systems
// lack it.
constexpr unsigned long kWaitKillableRecv = 1UL << 5;
constexpr std::size_t kMaxProgramBytes = 64 * 1024;

struct ContextDeleter {
  void operator()(void* ctx) const { seccomp_release(ctx); }
};
using Context = std::unique_ptr<void, ContextDeleter>;

bool failed(std::string* error, const char* what, int rc) {
  *error = std::string(what) + ": " + std::strerror(rc < 0 ? -rc : rc);
  return false;
}

// The native rules: the four calls go to the supervisor unless both token
// words match (a rule per word: any mismatch notifies).
bool addNativeRules(scmp_filter_ctx ctx, const CallToken& token, std::string* error) {
  struct Tokened {
    int syscall;
    unsigned firstArg;  // the token's first word; the second follows
  };
  const Tokened tokened[] = {{SCMP_SYS(connect), 3}, {SCMP_SYS(sendmsg), 3}, {SCMP_SYS(sendmmsg), 4}};
  for (const Tokened& t : tokened) {
    const scmp_arg_cmp first = argumentIsNot(t.firstArg, token.first);
    const scmp_arg_cmp second = argumentIsNot(t.firstArg + 1, token.second);
    if (int rc = seccomp_rule_add_exact(ctx, SCMP_ACT_NOTIFY, t.syscall, 1, first); rc != 0)
      return failed(error, "seccomp rule", rc);
    if (int rc = seccomp_rule_add_exact(ctx, SCMP_ACT_NOTIFY, t.syscall, 1, second); rc != 0)
      return failed(error, "seccomp rule", rc);
  }
  // sendto: only with an address (its fifth argument).
  if (int rc = seccomp_rule_add_exact(ctx, SCMP_ACT_NOTIFY, SCMP_SYS(sendto), 1, argumentIsNot(4, 0));
      rc != 0)
    return failed(error, "seccomp rule", rc);
  if (int rc = seccomp_rule_add_exact(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(io_uring_setup), 0); rc != 0)
    return failed(error, "seccomp rule", rc);
  return true;
}

// The other ABIs: their socket calls (socketcall included, which libseccomp
// covers for these names) are refused.
bool addForeignRules(scmp_filter_ctx ctx, std::string* error) {
  for (const char* name : {"connect", "sendto", "sendmsg", "sendmmsg"}) {
    const int nr = seccomp_syscall_resolve_name(name);
    if (nr == __NR_SCMP_ERROR) continue;
    if (int rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), nr, 0); rc != 0)
      return failed(error, "seccomp rule", rc);
  }
  if (int rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(io_uring_setup), 0); rc != 0)
    return failed(error, "seccomp rule", rc);
  return true;
}

Context foreignContext(std::uint32_t arch, std::string* error) {
  Context ctx(seccomp_init(SCMP_ACT_ALLOW));
  if (!ctx) return nullptr;
  if (seccomp_arch_remove(ctx.get(), SCMP_ARCH_NATIVE) != 0 || seccomp_arch_add(ctx.get(), arch) != 0)
    return nullptr;
  if (!addForeignRules(ctx.get(), error)) return nullptr;
  return ctx;
}

// The whole filter as a BPF program.
bool buildProgram(const CallToken& token, std::vector<sock_filter>* program, std::string* error) {
  Context ctx(seccomp_init(SCMP_ACT_ALLOW));
  if (!ctx) return failed(error, "seccomp_init", ENOMEM);
  if (!addNativeRules(ctx.get(), token, error)) return false;
  for (std::uint32_t arch : {SCMP_ARCH_X86, SCMP_ARCH_X32}) {
    Context other = foreignContext(arch, error);
    if (!other) return error->empty() ? failed(error, "seccomp architecture", EINVAL) : false;
    if (int rc = seccomp_merge(ctx.get(), other.get()); rc != 0) return failed(error, "seccomp_merge", rc);
    other.release();  // merged into ctx, which frees it
  }
  const int fd = ::memfd_create("kestrix-filter", MFD_CLOEXEC);
  if (fd < 0) return failed(error, "memfd_create", errno);
  bool ok = false;
  if (int rc = seccomp_export_bpf(ctx.get(), fd); rc != 0) {
    failed(error, "seccomp_export_bpf", rc);
  } else {
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size <= 0 || static_cast<std::size_t>(size) > kMaxProgramBytes ||
        size % static_cast<off_t>(sizeof(sock_filter)) != 0) {
      failed(error, "seccomp program", EINVAL);
    } else {
      program->resize(static_cast<std::size_t>(size) / sizeof(sock_filter));
      ok = ::pread(fd, program->data(), static_cast<std::size_t>(size), 0) == size;
      if (!ok) failed(error, "reading the seccomp program", errno != 0 ? errno : EIO);
    }
  }
  ::close(fd);
  return ok;
}

}  // namespace

InstalledFilter installCallFilter(const CallToken& token, std::string* error) {
  InstalledFilter installed;
  std::vector<sock_filter> program;
  if (!buildProgram(token, &program, error)) return installed;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    failed(error, "no_new_privs", errno);
    return installed;
  }
  sock_fprog prog{static_cast<unsigned short>(program.size()), program.data()};
  // The filter is no boundary against the program itself: it need not
  // force the speculative-store-bypass mitigation on, which slows every
  // instruction the program runs.
  const unsigned long flags = SECCOMP_FILTER_FLAG_NEW_LISTENER | SECCOMP_FILTER_FLAG_SPEC_ALLOW;
  long fd = ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags | kWaitKillableRecv, &prog);
  installed.killable = fd >= 0;
  if (fd < 0 && errno == EINVAL) fd = ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &prog);
  if (fd < 0) {
    installed.underOuterFilter = errno == EBUSY;
    failed(error, "installing the seccomp filter", errno);
    return installed;
  }
  installed.listener = static_cast<int>(fd);
  return installed;
}

std::string callTokenText(const CallToken& token) {
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(token.first),
                static_cast<unsigned long long>(token.second));
  return text;
}

std::optional<CallToken> newCallToken() {
  CallToken token;
  for (;;) {
    std::uint64_t words[2];
    if (::getrandom(words, sizeof words, 0) != static_cast<ssize_t>(sizeof words)) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    token.first = words[0];
    token.second = words[1];
    return token;
  }
}

}  // namespace kst::launch
