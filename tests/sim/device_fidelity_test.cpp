// The device behaves like the router where the driver's tests depend on it, and goes without a
// trace on the host however its owner ends.
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

// What the driver does to a router: free space exact to the byte, exact traces, the signals that
// ended services and the watchdog program, the reboot record, the ramdisk remounted from its
// fstab line; then power cycles, which keep the root file system and nothing else.
TEST(DeviceFidelityTest, DriverSessionIsRecordedExactlyAndPowerCyclesKeepOnlyTheRoot) {
  const std::string host_mounts = HostFile("/proc/self/mountinfo");
  DeviceSpec spec;
  spec.symlinks = {{"/etc/escape", "/../../../../etc/passwd"}};
  std::string error;
  auto device = Device::Create(spec, &error);
  ASSERT_TRUE(device) << error;
  const std::uint64_t free = device->FreeSpace();
  ASSERT_TRUE(device->WriteFile({"/var/log/ballast", "", 5ull << 20, 0644, std::nullopt}));
  EXPECT_EQ(free - (5ull << 20), device->FreeSpace());  // real bytes, not a sparse file
  std::string content;  // a link that climbs out resolves inside the device, never on the host
  ASSERT_TRUE(device->ReadFile("/etc/escape", content));
  EXPECT_EQ("root:x:0:0:root:/root:/bin/sh\n", content);
  // Every command line run through /bin/sh -c is traced byte for byte, in order (the full path
  // keeps busybox from running its own sh in the same process).
  const std::string nested =
      "/bin/sh -c '  echo 1 ; true '; /bin/sh -c ''; /bin/sh -c '\t\"2  x\"\n'";
  const RunResult run = Sh(*device, nested);
  EXPECT_EQ(std::vector<std::string>({nested, "  echo 1 ; true ", "", "\t\"2  x\"\n"}), run.trace);
  // The remounted ramdisk is empty; df inside reports what statvfs outside does.
  EXPECT_EQ(
      std::to_string((free >> 10) - 5120 - 3072) + "\n",
      Sh(*device,
         "echo >/tmp/ramdisk/old; /tmp/wdprog & pkill -SIGINT service-manager; pkill -9 sshd; "
         "umount /tmp/ramdisk/ "
         "&& mount -t tmpfs -o size=25M /tmp/ramdisk/ && ls /tmp/ramdisk; dd if=/dev/zero "
         "of=/etc/kept bs=1024 count=3072 2>&-; df -k / | awk 'NR==2 {print $4}'")
          .output);
  EXPECT_EQ(free - (8ull << 20), device->FreeSpace());
  EXPECT_EQ(25ull << 20, device->FreeSpace(router::kRamdisk));
  EXPECT_TRUE(device->WatchdogProgramStarted());
  EXPECT_EQ(0, device->WatchdogProgramSignal());
  std::map<std::string, int> signals;
  for (const std::string& name : router::kServiceNames) signals[name] = 0;
  signals["service-manager"] = SIGINT;
  signals["sshd"] = signals["qxsshd"] = SIGKILL;  // pkill matches a pattern
  EXPECT_EQ(signals, device->ServiceSignals());
  Sh(*device, std::string("pkill -9 wdprog; ") + router::kRebootCommand +
                  "; echo >/tmp/ramdisk/gone; mount -t tmpfs -o size=1M t /tmp/ramdisk");
  EXPECT_EQ(SIGKILL, device->WatchdogProgramSignal());
  EXPECT_EQ(std::vector<std::string>{router::kRebootCommand}, device->RebootRecords());
  EXPECT_EQ(host_mounts, HostFile("/proc/self/mountinfo"));
  ASSERT_TRUE(device->PowerCycle(&error)) << error;
  EXPECT_EQ(free - (8ull << 20), device->FreeSpace());
  EXPECT_EQ(std::vector<std::string>{}, device->ListDir(router::kRamdisk));
  EXPECT_EQ(32ull << 20, device->FreeSpace(router::kRamdisk));  // the size it was built with
  for (auto& [name, signal] : signals) signal = 0;
  EXPECT_EQ(signals, device->ServiceSignals());
  EXPECT_TRUE(device->RebootRecords().empty());
  EXPECT_FALSE(device->WatchdogProgramStarted());
  EXPECT_EQ("1\n", Sh(*device, "pidof sshd | wc -w").output);
  // Without the fstab line busybox cannot remount it, and after a power cycle it stays a plain
  // directory of the root file system.
  const char* no_fstab =
      "rm /etc/fstab; umount /tmp/ramdisk/; mount -t tmpfs -o size=25M /tmp/ramdisk/";
  EXPECT_NE(0, Sh(*device, no_fstab).exit_status);
  ASSERT_TRUE(device->PowerCycle(&error)) << error;
  EXPECT_EQ(device->FreeSpace("/"), device->FreeSpace(router::kRamdisk));
}

// A hang is killed at its timeout with every process of the device but init. A device goes with
// its owner, whether the owner ends it or is killed, and leaves nothing on the host.
TEST(DeviceFidelityTest, TimeoutAndTeardownEndEveryProcessAndLeaveNothing) {
  EnterPrivateTmp();  // where the devices make their host directories
  const std::string host_mounts = HostFile("/proc/self/mountinfo");
  int fds[2];
  ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
  std::string error;
  Child owner([&] {
    auto device = Device::Create(DeviceSpec{}, &error);
    // Asking for the state waits until init has started the services.
    const int init = device && device->ServiceSignals().size() == 25 ? device->InitPid() : 0;
    (void)!::write(fds[1], &init, sizeof init);
    for (;;) ::pause();
  });
  ::close(fds[1]);
  int owned = 0;
  EXPECT_EQ(static_cast<ssize_t>(sizeof owned), ::read(fds[0], &owned, sizeof owned));
  ::close(fds[0]);
  ASSERT_GT(owned, 0);
  const int owned_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, owned, 0));
  auto device = Device::Create(DeviceSpec{}, &error);
  ASSERT_TRUE(device) << error;
  const int init = device->InitPid();
  const int init_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, init, 0));
  const std::string group = DeviceGroupName(init);  // none where only rlimits are had
  const RunResult hung = Sh(*device, "/tmp/wdprog & sleep 1000", std::chrono::milliseconds(300));
  EXPECT_TRUE(hung.timed_out && hung.term_signal == SIGKILL);
  EXPECT_EQ(SIGKILL, device->ServiceSignals().at("service-manager"));
  EXPECT_EQ(SIGKILL, device->WatchdogProgramSignal());
  EXPECT_FALSE(Ended(init_pidfd, 0) || Ended(owned_pidfd, 0));
  device.reset();
  EXPECT_TRUE(Ended(init_pidfd, 0));
  owner.Kill();
  EXPECT_TRUE(Ended(owned_pidfd, 60000));  // the bound only ends the wait for a device never ended
  std::string kept;  // a checkout under /tmp and $TMPDIR, as the test began: nothing else
  std::vector<std::string> entries = kept_tmp_entries;
  std::sort(entries.begin(), entries.end());
  for (const std::string& entry : entries) kept += entry + "\n";
  EXPECT_EQ(kept, RunProgram({"/bin/ls", "-A", "/tmp"}).output);
  EXPECT_EQ(host_mounts, HostFile("/proc/self/mountinfo"));
  EXPECT_TRUE(group.empty() || !GroupLeft(group)) << group;
}

}  // namespace
}  // namespace qx::sim::testing
