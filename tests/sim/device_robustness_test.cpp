// Whatever the program inside does, the device ends cleanly and leaves nothing on the host.
#include <poll.h>
#include <sys/syscall.h>

#include <chrono>

#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

// Whether the device's init (and so, with its PID namespace, every process of the device) has
// ended within timeout_ms, seen through a pidfd taken while it ran.
bool Ended(int init_pidfd, int timeout_ms) {
  pollfd ready{init_pidfd, POLLIN, 0};
  return init_pidfd >= 0 && ::poll(&ready, 1, timeout_ms) == 1;
}

TEST(DeviceRobustnessTest, EveryEndingIsReportedAndTeardownLeavesNothing) {
  EnterPrivateTmp();  // where the device makes its host directories
  const std::string host_mounts = HostFile("/proc/self/mountinfo");
  auto device = MakeDevice();
  ASSERT_TRUE(device);
  const RunResult exited = Sh(*device, "echo out; echo err >&2; exit 3");
  EXPECT_TRUE(exited.exited && exited.exit_status == 3);
  EXPECT_EQ("out\nerr\n", exited.output);
  const RunResult crashed = Sh(*device, "kill -SEGV $$");
  EXPECT_TRUE(!crashed.exited && crashed.term_signal == SIGSEGV);
  EXPECT_EQ("cannot run /usr/bin/no-such-program: No such file or directory",
            device->Run({"/usr/bin/no-such-program"}).error);
  EXPECT_FALSE(device->Run({"/bin/true"}, std::chrono::seconds(5), "/no/dir").started);
  // A hang is killed at its timeout (not when init's answer is given up, 30 s later), and every
  // process of the device but init with it; the files stay.
  const int init = device->InitPid();
  const int init_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, init, 0));
  const std::string cgroups = HostFile("/proc/" + std::to_string(init) + "/cgroup");
  const auto start = std::chrono::steady_clock::now();
  const RunResult hung = Sh(*device, "/tmp/wdprog & sleep 1000", std::chrono::milliseconds(300));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(hung.timed_out && hung.term_signal == SIGKILL);
  EXPECT_EQ(std::vector<std::string>{"/tmp/wdprog & sleep 1000"}, hung.trace);
  EXPECT_EQ(SIGKILL, device->ServiceSignals().at("service-manager"));
  EXPECT_EQ(SIGKILL, device->WatchdogProgramSignal());
  EXPECT_TRUE(device->Exists("/etc/fstab"));
  device.reset();
  EXPECT_TRUE(Ended(init_pidfd, 0));
  EXPECT_EQ("", RunProgram({"/bin/ls", "-A", "/tmp"}).output);
  EXPECT_EQ(host_mounts, HostFile("/proc/self/mountinfo"));
  const std::size_t group = cgroups.find("qx-sim-");  // none where only rlimits are had
  if (group != std::string::npos) {
    const std::string name = cgroups.substr(group, cgroups.find('\n', group) - group);
    EXPECT_EQ("", RunProgram({"/usr/bin/find", "/sys/fs/cgroup", "-name", name}).output);
  }
}

TEST(DeviceRobustnessTest, InterruptedOwnerTakesTheDeviceWithIt) {
  int fds[2];
  ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
  Child owner([&] {  // a test process that is killed while its device runs
    std::string error;
    auto device = Device::Create(DeviceSpec{}, &error);
    // Asking for the state waits until init has started the services.
    const int init = device && device->ServiceSignals().size() == 25 ? device->InitPid() : 0;
    (void)!::write(fds[1], &init, sizeof init);
    for (;;) ::pause();
  });
  ::close(fds[1]);
  int init = 0;
  EXPECT_EQ(static_cast<ssize_t>(sizeof init), ::read(fds[0], &init, sizeof init));
  ::close(fds[0]);
  ASSERT_GT(init, 0);
  const int init_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, init, 0));
  EXPECT_FALSE(Ended(init_pidfd, 0));
  owner.Kill();
  EXPECT_TRUE(Ended(init_pidfd, 60000));  // the bound only ends the wait for a device never ended
}

// A plain chroot, as a freshly bootstrapped system is entered: its / is not a mount point, and
// the mount it lies on is shared (as a systemd host's root is), so that anything mounted on it
// would show outside. Made in a mount namespace of the shell's own, where all of it vanishes.
TEST(DeviceRobustnessTest, WorksInAPlainChrootWithoutMountingAnythingOutside) {
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
chroot $r $1/sim/device-sim run --quiet -- /bin/sh -c 'echo inside'
[ "$before" = "$(cat /proc/self/mountinfo)" ] || echo mounts propagated out of the chroot)sh",
       "sh", sim.substr(0, sim.rfind("/sim/"))},  // the build tree: device-sim and its helpers
      [] {
        std::string error;
        if (::unshare(CLONE_NEWNS) != 0 || !MakeMountsPrivate("/tmp", &error)) ::_exit(100);
      });
  EXPECT_EQ(0, run.status) << run.output;
  EXPECT_EQ("inside\n", run.output);
}

}  // namespace
}  // namespace qx::sim::testing
