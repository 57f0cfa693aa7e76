// device-sim as a person uses it: help, clear usage errors, the report of a run, and a clear
// refusal where the machine cannot isolate a device.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>

#include <cstddef>

#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

TEST(DeviceCliTest, EachCommandLineEndsWithItsStatusAndSaysWhy) {
  const struct {
    const char* arguments;
    int status;
    const char* message;
  } kCases[] = {
      {"--help", 0, "What it may not do to this machine: "},
      {"shell --help", 0, "usage: device-sim shell"},
      {"upgrade --help", 0, "usage: device-sim upgrade FILE"},
      {"", 2, "usage: device-sim COMMAND"},
      {"frobnicate", 2, "device-sim: unknown command \"frobnicate\""},
      {"run --root-size lots -- /bin/true", 2, "--root-size lots: expected a size"},
      {"run --proc-version maybe -- /bin/true", 2, "expected banner, unreadable or absent"},
      {"run --file relative=x -- /bin/true", 2, "--file relative=x: expected /DEVICE_PATH=CONTENT"},
      {"run --timeout", 2, "--timeout needs a value"},
      {"run --process-limit 20 -- /bin/true", 2, "expected a number from 32 to 4194304"},
      {"run --memory-limit 1M -- /bin/true", 2, "expected a size of at least 16M"},
      {"run --bogus -- /bin/true", 2, "run: unknown option --bogus"},
      {"run", 2, "run: no COMMAND given"},
      {"shell --bogus", 2, "shell: unknown option --bogus"},
      {"upgrade /no/such/file", 2, "device-sim upgrade: cannot read /no/such/file"},
      {"run --quiet --timeout 0.3 -- /bin/sleep 10", 124, "timed out after 0.3 s"},
      {"run --quiet -- /no/such/program", 127, "cannot run /no/such/program"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.arguments);
    const ProgramOutcome outcome = DeviceSim(c.arguments);
    EXPECT_EQ(c.status, outcome.status);
    EXPECT_NE(std::string::npos, outcome.output.find(c.message)) << outcome.output;
  }
  const std::string help = DeviceSim("run --help").output;
  for (const char* option :
       {"--root-size", "--ramdisk-size", "--kernel", "--kernel-banner", "--proc-version", "--board",
        "--no-board", "--no-services", "--copy", "--file", "--fill", "--dir", "--symlink",
        "--timeout", "--memory-limit", "--process-limit", "--env", "--cwd", "--quiet"}) {
    EXPECT_NE(std::string::npos, help.find(option)) << option;
  }
}

TEST(DeviceCliTest, RunReportsOutputTraceServicesAndStatus) {
  const ProgramOutcome run = DeviceSim(
      "run --board 13 --file /etc/note=hi -- /bin/sh -c",
      {"cat /etc/note; cat /sys/kernel/qxfc/board; pkill -SIGINT service-manager; exit 4"});
  EXPECT_EQ(4, run.status);
  EXPECT_EQ(0u, run.output.find("hi13\n--- trace (1 command lines run through /bin/sh -c)\n[1] "))
      << run.output;
  EXPECT_NE(std::string::npos, run.output.find("service-manager  killed by SIGINT\n"));
  EXPECT_NE(std::string::npos, run.output.find("qx_monitor       running\n"));
  EXPECT_NE(std::string::npos, run.output.find("--- exit status 4\n"));
}

// A machine that lacks something: a seccomp filter (x86-64 numbers and layout) makes the system
// call fail with EPERM when its first argument has one of the given bits (unshare()'s flags;
// clone() is denied alike).
TEST(DeviceCliTest, MachineThatCannotIsolateADeviceGetsOneLineAndStatusTwo) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the seccomp filter is written for x86-64";
#endif
  const struct {
    long call;
    unsigned int flags;  // pivot_root takes a path: every bit but 0 matches its pointer's low half
    const char* missing;
  } kCases[] = {
      {SYS_unshare, CLONE_NEWUSER, "no user namespace"},
      {SYS_unshare, CLONE_NEWNET, "no network namespace"},
      {SYS_unshare, CLONE_NEWPID, "no PID namespace"},
      {SYS_pivot_root, ~0u, "cannot move into the device root (pivot_root)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.missing);
    const auto also = static_cast<unsigned int>(c.call == SYS_unshare ? SYS_clone : c.call);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(c.call), 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, also, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),  // low half
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, c.flags, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    const ProgramOutcome outcome =
        RunProgram({QX_DEVICE_SIM_PATH, "run", "--quiet", "--", "/bin/true"}, [&] {
          if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) ::_exit(99);
        });
    EXPECT_EQ(2, outcome.status);
    EXPECT_EQ(0u, outcome.output.find(std::string("device-sim: refusing to start a device: ") +
                                      c.missing))
        << outcome.output;
    EXPECT_EQ(outcome.output.size() - 1, outcome.output.find('\n')) << "not one line";
  }
}

}  // namespace
}  // namespace qx::sim::testing
