// device-sim as a person uses it: help, clear usage errors, a clear refusal where the machine
// cannot isolate a device, and the report of a run in a plain chroot.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>

#include <cstddef>

#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

// Each command line ends with its status and says why. A machine that lacks something for
// isolating a device gets one line naming it: there a seccomp filter (x86-64 numbers and
// layout) fails the call with EPERM when its first argument has one of the given bits
// (unshare()'s flags, and clone()'s alike; for pivot_root, the low half of a path's address).
TEST(DeviceCliTest, EachCommandLineEndsWithItsStatusAndSaysWhy) {
  const struct {
    const char* arguments;
    int status;
    const char* message;  // in the output; with a filter, the start of its only line
    long call = -1;       // denied by the filter
    unsigned int flags = 0;
  } kCases[] = {
      {"--help", 0, "What it may not do to this machine: "},
      {"frobnicate", 2, "device-sim: unknown command \"frobnicate\""},
      {"run --root-size lots -- /bin/true", 2, "--root-size lots: expected a size"},
      {"run --memory-limit 1M -- /bin/true", 2, "expected a size of at least 16M"},
      {"run", 2, "run: no COMMAND given"},
      {"upgrade /no/such/file", 2, "device-sim upgrade: cannot read /no/such/file"},
      {"run --quiet --timeout 0.3 -- /bin/sleep 10", 124, "timed out after 0.3 s"},
      {"run --quiet -- /no/such/program", 127, "cannot run /no/such/program"},
      {"run -- /bin/true", 2, "device-sim: refusing to start a device: no user namespace",
       SYS_unshare, CLONE_NEWUSER},
      {"run -- /bin/true", 2, "device-sim: refusing to start a device: no network namespace",
       SYS_unshare, CLONE_NEWNET},
      {"run -- /bin/true", 2, "device-sim: refusing to start a device: no PID namespace",
       SYS_unshare, CLONE_NEWPID},
      {"run -- /bin/true", 2,
       "device-sim: refusing to start a device: cannot move into the device root (pivot_root)",
       SYS_pivot_root, ~0u},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
#if !defined(__x86_64__)
    if (c.call >= 0) continue;  // the filter is written for x86-64
#endif
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
    const ProgramOutcome outcome = DeviceSim(c.arguments, {}, [&] {
      if (c.call >= 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) ::_exit(99);
    });
    EXPECT_EQ(c.status, outcome.status);
    EXPECT_NE(std::string::npos, outcome.output.find(c.message)) << outcome.output;
    if (c.call >= 0) {
      EXPECT_EQ(0u, outcome.output.find(c.message));
      EXPECT_EQ(outcome.output.size() - 1, outcome.output.find('\n')) << "not one line";
    }
  }
}

// A plain chroot, as a freshly bootstrapped system is entered: its / is not a mount point, and
// the mount it lies on is shared (as a systemd host's root is), so that anything mounted on it
// would show outside. Made in a mount namespace of the shell's own, where all of it vanishes.
TEST(DeviceCliTest, WorksInAPlainChrootWithoutMountingAnythingOutside) {
  const std::string sim = QX_DEVICE_SIM_PATH;
  const ProgramOutcome run = RunProgram(
      {"/bin/sh", "-ec", R"sh(r=/tmp/root
mount -t tmpfs qx-chroot /tmp && mount --make-shared /tmp && mkdir $r
for d in /usr /etc /proc /tmp /bin /sbin /lib /lib64; do
  if [ -L $d ]; then ln -s "$(readlink $d)" $r$d
  elif [ -e $d ]; then mkdir $r$d; case $d in /proc|/tmp) ;; *) mount --rbind $d $r$d;; esac; fi
done
mkdir -p $r$1 && mount --bind $1 $r$1 && mount -t proc proc $r/proc && mount -t tmpfs t $r/tmp
before=$(cat /proc/self/mountinfo)
chroot $r $1/sim/device-sim run --board 13 -- /bin/sh -c 'cat /sys/kernel/qxfc/board; exit 4' ||
  echo "status $?"
[ "$before" = "$(cat /proc/self/mountinfo)" ] || echo mounts propagated out of the chroot)sh",
       "sh", sim.substr(0, sim.rfind("/sim/"))},  // the build tree: device-sim and its helpers
      [] {
        std::string error;
        if (::unshare(CLONE_NEWNS) != 0 || !MakeMountsPrivate("/tmp", &error)) ::_exit(100);
      });
  // The report of a run: its output, every shell command line, the services, its status.
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(0u, run.output.find("13\n--- trace (1 command lines run through /bin/sh -c)\n[1] cat "
                                "/sys/kernel/qxfc/board; exit 4\n--- services\n"
                                "service-manager  running\n"))
      << run.output;
  const std::string tail = "--- exit status 4\nstatus 4\n";
  EXPECT_EQ(run.output.size() - tail.size(), run.output.rfind(tail)) << run.output;
}

}  // namespace
}  // namespace qx::sim::testing
