// device-sim as a person uses it: help, clear usage errors, the report of a run, and a clear
// refusal where the machine cannot isolate a device.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>

#include "gtest/gtest.h"

namespace {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and error
};

Outcome DeviceSim(const std::string& arguments) {
  Outcome outcome;
  FILE* pipe = ::popen((std::string(QX_DEVICE_SIM_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
  const int raw = ::pclose(pipe);
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return outcome;
}

TEST(DeviceCliTest, HelpDocumentsEveryOption) {
  const Outcome help = DeviceSim("run --help");
  EXPECT_EQ(0, help.status);
  for (const char* option :
       {"--root-size", "--ramdisk-size", "--kernel", "--kernel-banner", "--proc-version", "--board",
        "--no-board", "--no-services", "--copy", "--file", "--fill", "--dir", "--symlink",
        "--timeout", "--memory-limit", "--process-limit", "--env", "--cwd", "--quiet"}) {
    EXPECT_NE(std::string::npos, help.output.find(option)) << option;
  }
  EXPECT_EQ(0, DeviceSim("--help").status);
  EXPECT_EQ(0, DeviceSim("shell --help").status);
}

TEST(DeviceCliTest, BadOptionsGiveAClearErrorAndStatusTwo) {
  struct Case {
    const char* arguments;
    const char* message;
  };
  const Case kCases[] = {
      {"", "usage: device-sim COMMAND"},
      {"frobnicate", "device-sim: unknown command \"frobnicate\""},
      {"run --root-size lots -- /bin/true", "--root-size lots: expected a size"},
      {"run --proc-version maybe -- /bin/true", "expected banner, unreadable or absent"},
      {"run --file relative=x -- /bin/true", "--file relative=x: expected /DEVICE_PATH=CONTENT"},
      {"run --timeout", "--timeout needs a value"},
      {"run --process-limit 20 -- /bin/true", "expected a number from 32 to 4194304"},
      {"run --memory-limit 1M -- /bin/true", "expected a size of at least 16M"},
      {"run --bogus -- /bin/true", "run: unknown option --bogus"},
      {"run", "run: no COMMAND given"},
      {"shell --bogus", "shell: unknown option --bogus"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.arguments);
    const Outcome outcome = DeviceSim(c.arguments);
    EXPECT_EQ(2, outcome.status);
    EXPECT_NE(std::string::npos, outcome.output.find(c.message)) << outcome.output;
  }
}

TEST(DeviceCliTest, RunReportsOutputTraceServicesRebootAndStatus) {
  const Outcome run = DeviceSim(
      "run --board 13 --file /etc/note=hi -- /bin/sh -c "
      "'cat /etc/note; cat /sys/kernel/qxfc/board; pkill -SIGINT service-manager; exit 4'");
  EXPECT_EQ(4, run.status);
  EXPECT_EQ(0u, run.output.find("hi13\n--- trace (1 command lines run through /bin/sh -c)\n[1] "))
      << run.output;
  EXPECT_NE(std::string::npos, run.output.find("service-manager  killed by SIGINT\n"));
  EXPECT_NE(std::string::npos, run.output.find("qx_monitor       running\n"));
  EXPECT_NE(std::string::npos, run.output.find("--- exit status 4\n"));
  const Outcome quiet = DeviceSim("run --quiet --timeout 0.3 -- /bin/sleep 10");
  EXPECT_EQ(124, quiet.status);
  EXPECT_NE(std::string::npos, quiet.output.find("timed out after 0.3 s"));
  EXPECT_EQ(127, DeviceSim("run --quiet -- /no/such/program").status);
}

// `device-sim run -- /bin/true` on a machine that lacks something: a seccomp filter makes the
// system call fail with EPERM, when its first argument has one of the given bits (the flags of
// unshare() and of clone(), which is denied alike).
Outcome DeviceSimWhere(long denied_call, unsigned int flags) {
  Outcome outcome;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return outcome;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[1], 1);
    ::dup2(pipe_fds[1], 2);
    const auto also =
        static_cast<unsigned int>(denied_call == SYS_unshare ? SYS_clone : denied_call);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(denied_call), 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, also, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),  // low half
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, flags, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
    const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0) {
      ::execl(QX_DEVICE_SIM_PATH, "device-sim", "run", "--quiet", "--", "/bin/true", nullptr);
    }
    ::_exit(99);
  }
  ::close(pipe_fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    outcome.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    outcome.status = WEXITSTATUS(status);
  }
  return outcome;
}

TEST(DeviceCliTest, MachineThatCannotIsolateADeviceGetsOneLineAndStatusTwo) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the seccomp filter is written for x86-64";
#endif
  struct Case {
    long call;
    unsigned int flags;  // for unshare()
    const char* missing;
  };
  // pivot_root takes a path: every flag bit matches its pointer's low half but 0.
  const Case kCases[] = {
      {SYS_unshare, CLONE_NEWUSER, "no user namespace"},
      {SYS_unshare, CLONE_NEWNET, "no network namespace"},
      {SYS_unshare, CLONE_NEWPID, "no PID namespace"},
      {SYS_pivot_root, ~0u, "cannot move into the device root (pivot_root)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.missing);
    const Outcome outcome = DeviceSimWhere(c.call, c.flags);
    EXPECT_EQ(2, outcome.status);
    EXPECT_EQ(0u, outcome.output.find(std::string("device-sim: refusing to start a device: ") +
                                      c.missing))
        << outcome.output;
    EXPECT_EQ(outcome.output.size() - 1, outcome.output.find('\n')) << "not one line";
  }
}

}  // namespace
