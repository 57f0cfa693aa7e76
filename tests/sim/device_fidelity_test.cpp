// The device behaves like the router where the driver's tests depend on it.
#include <signal.h>
#include <sys/stat.h>

#include <thread>

#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

// Two devices side by side: free space exact to the byte, the spec's entries where it says, and
// neither sees what the other does.
TEST(DeviceFidelityTest, TwoDevicesHaveExactFreeSpaceAndEntriesAndDoNotInterfere) {
  DeviceSpec small, large;
  small.root_size = 48ull << 20;
  large.root_size = 80ull << 20;
  large.board = "13\n";
  large.files = {{"/var/log/ballast", "", 5ull << 20, 0644, std::nullopt},
                 {"/tmp/ramdisk/a.txt", "abc", std::nullopt, 0600, 1000000000}};
  large.directories = {"/lib/modules/2.6.35.3"};
  large.symlinks = {{"/etc/escape", "/../../../../etc/passwd"}};
  large.binaries = {{QX_SIM_HOSTILE_PATH, "/tmp/ramdisk/static"}};
  auto a = MakeDevice(small);
  auto b = MakeDevice(large);
  ASSERT_TRUE(a && b);
  // The same userland in both: the difference is the root sizes' less the ballast, to the byte
  // (so what went to the ramdisk is not on the root).
  const std::uint64_t a_free = a->FreeSpace();
  EXPECT_EQ((32ull << 20) - (5ull << 20), b->FreeSpace() - a_free);
  struct stat st {};
  ASSERT_TRUE(b->Lstat("/tmp/ramdisk/a.txt", st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(1000000000, st.st_mtime);
  EXPECT_EQ(std::vector<std::string>({"a.txt", "static"}), b->ListDir("/tmp/ramdisk"));
  EXPECT_EQ(2, b->Run({"/tmp/ramdisk/static"}).exit_status);  // its usage error: it runs
  EXPECT_EQ(std::vector<std::string>{"2.6.35.3"}, b->ListDir("/lib/modules"));
  std::string content;  // a link that climbs out resolves inside the device, never on the host
  ASSERT_TRUE(b->ReadFile("/etc/escape", content));
  EXPECT_EQ("root:x:0:0:root:/root:/bin/sh\n", content);
  RunResult a_run;
  std::thread a_thread([&] {
    a_run = Sh(
        *a,
        "echo a >/tmp/mine; pkill -9 snmpd; sleep 0.2; cat /tmp/mine; rm /tmp/mine; dd if=/dev/zero"
        " of=/home/blob bs=1024 count=3072 2>&-; df -k / | awk 'NR==2 {print $4}'");
  });
  EXPECT_EQ("b\n13\n",
            Sh(*b, "echo b >/tmp/mine; sleep 0.2; cat /tmp/mine /sys/kernel/qxfc/board").output);
  a_thread.join();
  EXPECT_EQ(a_free - (3ull << 20), a->FreeSpace());
  EXPECT_EQ("a\n" + std::to_string(a->FreeSpace() / 1024) + "\n",
            a_run.output);  // as statvfs inside
  EXPECT_EQ(SIGKILL, a->ServiceSignals().at("snmpd"));
  EXPECT_EQ(0, b->ServiceSignals().at("snmpd"));
  Sh(*a, "rm /home/blob");
  EXPECT_EQ(a_free, a->FreeSpace());
}

// A banner as given and a board file: see inside_device_test.cpp and the test above.
TEST(DeviceFidelityTest, ProcVersionAndBoardReadAsConfigured) {
  const struct {
    ProcVersion mode;  // with an empty banner
    std::optional<std::string> board;
    const char* expected;  // what the shell prints
  } kCases[] = {
      {ProcVersion::kBanner, std::string("12\n"), "version=\nboard=12\n"},
      {ProcVersion::kUnreadable, std::nullopt, "version=unreadable\nno board\n"},
      {ProcVersion::kAbsent, std::string(""), "version=absent\nboard=\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.expected);
    DeviceSpec spec;
    spec.proc_version = c.mode;
    spec.kernel_banner = "";
    spec.board = c.board;
    auto device = MakeDevice(spec);
    ASSERT_TRUE(device);
    EXPECT_EQ(c.expected, Sh(*device,
                             "if [ ! -e /proc/version ]; then echo version=absent;"
                             " elif v=$(cat /proc/version 2>/dev/null); then echo \"version=$v\";"
                             " else echo version=unreadable; fi; b=/sys/kernel/qxfc/board;"
                             " [ -e $b ] && echo \"board=$(cat $b)\" || echo no board")
                              .output);
  }
}

// What the driver does to a router, on one device: exact traces, the signals that ended services
// and the watchdog program, the reboot record, the ramdisk remounted from its fstab line; then
// power cycles, which keep the root file system and nothing else. The host sees none of it.
TEST(DeviceFidelityTest, DriverSessionIsRecordedExactlyAndPowerCyclesKeepOnlyTheRoot) {
  const std::string host_mounts = HostFile("/proc/self/mountinfo");
  struct stat watchdog[2] = {};
  ::stat("/dev/watchdog", &watchdog[0]);  // never opened: that could arm a real one
  auto device = MakeDevice();
  ASSERT_TRUE(device);
  std::map<std::string, int> signals;
  for (const std::string& name : kServiceNames) signals[name] = 0;
  EXPECT_EQ(signals, device->ServiceSignals());
  EXPECT_FALSE(device->WatchdogProgramStarted());
  // Every command line run through /bin/sh -c is traced byte for byte, in order (the full path
  // keeps busybox from running its own sh in the same process).
  const std::string nested =
      "/bin/sh -c '  echo 1 ; true '; /bin/sh -c ''; /bin/sh -c '\t\"2  x\"\n'";
  const RunResult run = Sh(*device, nested);
  EXPECT_EQ(std::vector<std::string>({nested, "  echo 1 ; true ", "", "\t\"2  x\"\n"}), run.trace);
  EXPECT_EQ(run.trace.size(), run.trace_times.size());
  ASSERT_TRUE(device->WriteFile({"/tmp/ramdisk/old", "x", std::nullopt, 0644, std::nullopt}));
  EXPECT_EQ("25M\n", Sh(*device,
                        "/tmp/wdprog & pkill -SIGINT service-manager; pkill -9 sshd; "
                        "umount /tmp/ramdisk/ && mount -t tmpfs -o size=25M /tmp/ramdisk/ "
                        "&& ls /tmp/ramdisk && echo kept >/etc/kept && echo 25M")
                         .output);
  EXPECT_TRUE(device->WatchdogProgramStarted());
  EXPECT_EQ(0, device->WatchdogProgramSignal());
  signals["service-manager"] = SIGINT;
  signals["sshd"] = signals["qxsshd"] = SIGKILL;  // pkill matches a pattern
  EXPECT_EQ(signals, device->ServiceSignals());
  EXPECT_EQ(25ull << 20, device->FreeSpace("/tmp/ramdisk"));
  Sh(*device,
     "pkill -9 wdprog; watchdog /dev/watchdog -T 5; echo >/tmp/ramdisk/gone; mount -t "
     "tmpfs -o size=1M t /tmp/ramdisk");
  EXPECT_EQ(SIGKILL, device->WatchdogProgramSignal());
  EXPECT_EQ(std::vector<std::string>{"watchdog /dev/watchdog -T 5"}, device->RebootRecords());
  EXPECT_EQ(host_mounts, HostFile("/proc/self/mountinfo"));
  ::stat("/dev/watchdog", &watchdog[1]);
  EXPECT_EQ(watchdog[0].st_mtime, watchdog[1].st_mtime);
  std::string error;
  ASSERT_TRUE(device->PowerCycle(&error)) << error;
  EXPECT_TRUE(device->Exists("/etc/kept"));
  EXPECT_EQ(std::vector<std::string>{}, device->ListDir("/tmp/ramdisk"));
  EXPECT_EQ(32ull << 20, device->FreeSpace("/tmp/ramdisk"));  // the size it was built with
  for (auto& [name, signal] : signals) signal = 0;
  EXPECT_EQ(signals, device->ServiceSignals());
  EXPECT_TRUE(device->RebootRecords().empty());
  EXPECT_FALSE(device->WatchdogProgramStarted());
  EXPECT_EQ("1\n", Sh(*device, "pidof sshd | wc -w").output);
  // Without the fstab line busybox cannot remount it, and after a power cycle it stays a plain
  // directory of the root file system.
  EXPECT_EQ(0, Sh(*device,
                  "rm /etc/fstab && umount /tmp/ramdisk/ && ! mount -t tmpfs -o size=25M "
                  "/tmp/ramdisk/ 2>/dev/null")
                   .exit_status);
  ASSERT_TRUE(device->PowerCycle(&error)) << error;
  EXPECT_EQ(device->FreeSpace("/"), device->FreeSpace("/tmp/ramdisk"));
}

}  // namespace
}  // namespace qx::sim::testing
