// What a device may not do to the host: the hostile payload (hostile_payload.cpp) run by
// `device-sim run` fails at every act, the host's canaries unchanged. Where the machine cannot
// isolate a device, device-sim refuses; in a plain chroot it works.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cstddef>

#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

std::string Interfaces() { return RunProgram({"/bin/busybox", "ip", "-o", "link"}).output; }

// As the command of `device-sim run`: an upgrade file's validator runs in the same device.
TEST(DeviceHostileTest, EveryActFailsAndTheHostIsUnchanged) {
  EnterPrivateTmp();  // the canary file and mount and the scratch files go with the test
  Child canary([] {
    ::prctl(PR_SET_NAME, "qx-canary-hst", 0, 0, 0);
    for (;;) ::pause();
  });
  std::ofstream("/tmp/qx-canary-file") << "alive";
  ::mkdir("/tmp/qx-canary-mnt", 0755);
  ASSERT_EQ(0, ::mount("qx-canary", "/tmp/qx-canary-mnt", "tmpfs", 0, "size=64k"));
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  ASSERT_TRUE(::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
              ::listen(listener, 4) == 0 &&
              ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
  const std::string config =
      std::to_string(canary.pid()) + " " + std::to_string(ntohs(address.sin_port));
  const std::string mounts = HostFile("/proc/self/mountinfo"), interfaces = Interfaces();
  const ProgramOutcome run = RunProgram(
      {QX_DEVICE_SIM_PATH, "run", "--quiet", "--copy", QX_SIM_HOSTILE_PATH ":/usr/bin/hostile",
       "--file", "/etc/hostile.conf=" + config, "--", "/usr/bin/hostile", "/etc/hostile.conf"});
  EXPECT_NE(std::string::npos, run.output.find("exhaust processes: blocked")) << run.output;
  EXPECT_EQ(0, run.status) << run.output;
  EXPECT_TRUE(canary.Alive());
  EXPECT_EQ("alive", HostFile("/tmp/qx-canary-file"));
  EXPECT_EQ(mounts, HostFile("/proc/self/mountinfo"));
  EXPECT_EQ(-1, ::accept(listener, nullptr, nullptr)) << "the device reached the listener";
  EXPECT_NE(0, ::access("/dev/qx-null", F_OK));
  EXPECT_EQ(interfaces, Interfaces());
  if (Interfaces() != interfaces) RunProgram({"/bin/busybox", "ip", "link", "del", "qxhostile0"});
}

// The lack is a seccomp filter (x86-64 numbers and layout) that fails the call with EPERM when
// its first argument has one of the given bits (unshare()'s flags, and clone()'s alike; for
// pivot_root, the low half of a path's address).
TEST(DeviceSimTest, MachineThatCannotIsolateADeviceGetsOneLineAndStatusTwo) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the seccomp filter is written for x86-64";
#endif
  ASSERT_TRUE(AsSimulatorRoot());  // a filter without no_new_privs needs CAP_SYS_ADMIN
  const struct {
    long call;
    unsigned int flags;
    const char* missing;
  } kCases[] = {
      {SYS_unshare, CLONE_NEWUSER, "no user namespace"},
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
    const ProgramOutcome outcome = RunProgram({QX_DEVICE_SIM_PATH, "run", "--", "/bin/true"}, [&] {
      if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) ::_exit(99);
    });
    EXPECT_EQ(2, outcome.status);
    EXPECT_EQ(0u, outcome.output.find(std::string("device-sim: refusing to start a device: ") +
                                      c.missing))
        << outcome.output;
    EXPECT_EQ(outcome.output.size() - 1, outcome.output.find('\n')) << "not one line";
  }
}

// A plain chroot, as a freshly bootstrapped system is entered: its / is not a mount point, and
// the mount it lies on is shared (as a systemd host's root is), so that anything mounted on it
// would show outside. Made in a mount namespace of the shell's own, where all of it vanishes.
TEST(DeviceSimTest, WorksInAPlainChrootWithoutMountingAnythingOutside) {
  ASSERT_TRUE(AsSimulatorRoot());
  const std::string sim = QX_DEVICE_SIM_PATH;
  const ProgramOutcome run = RunProgram(
      {"/bin/sh", "-ec", R"sh(r=/tmp/chroot/root
mkdir /tmp/chroot && mount -t tmpfs qx-chroot /tmp/chroot && mount --make-shared /tmp/chroot
mkdir $r
for d in /usr /etc /proc /tmp /bin /sbin /lib /lib64; do
  if [ -L $d ]; then ln -s "$(readlink $d)" $r$d
  elif [ -e $d ]; then mkdir $r$d; case $d in /proc|/tmp) ;; *) mount --rbind $d $r$d;; esac; fi
done
mount -t tmpfs t $r/tmp && mkdir -p $r${TMPDIR:-/tmp} $r$1
mount --bind $1 $r$1
# Rootless, no proc can be mounted outside a PID namespace of the user's: a bind shows the same.
mount -t proc proc $r/proc 2>&- || mount --rbind /proc $r/proc
before=$(cat /proc/self/mountinfo)
chroot $r $1/sim/device-sim run --board 13 -- \
  /bin/sh -c 'cat /sys/kernel/qxfc/board; kill -ILL $$' || echo "status $?"
[ "$before" = "$(cat /proc/self/mountinfo)" ] || echo mounts propagated out of the chroot)sh",
       "sh", sim.substr(0, sim.rfind("/sim/"))},  // the build tree: device-sim and its helpers
      [] {
        std::string error;
        if (!::qx::test_support::EnterPrivateTmp(&error)) ::_exit(100);
      });
  // The report of a run: its output, every shell command line, the services, its status.
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(0u, run.output.find("13\n--- trace (1 command lines run through /bin/sh -c, as "
                                "reported by the device)\n[1] cat "
                                "/sys/kernel/qxfc/board; kill -ILL $$\n--- services\n"
                                "service-manager  running\n"))
      << run.output;
  const std::string tail = "--- killed by SIGILL\nstatus 132\n";
  EXPECT_EQ(run.output.size() - tail.size(), run.output.rfind(tail)) << run.output;
}

}  // namespace
}  // namespace qx::sim::testing
