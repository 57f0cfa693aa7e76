// The device behaves like the router where the driver depends on it.
#include <signal.h>

#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

TEST(DeviceFidelityTest, FreeSpaceTracksRootSizeAndWrites) {
  DeviceSpec small;
  small.root_size = 48ull << 20;
  DeviceSpec large;
  large.root_size = 80ull << 20;
  large.files.push_back({"/var/log/ballast", "", 5ull << 20, 0644, std::nullopt});
  auto a = MakeDevice(small);
  auto b = MakeDevice(large);
  ASSERT_TRUE(a && b);
  // Same userland in both: the difference is the root size less the ballast, to the byte.
  EXPECT_EQ((32ull << 20) - (5ull << 20), b->FreeSpace() - a->FreeSpace());
  const std::uint64_t before = a->FreeSpace();
  Shell(*a, "dd if=/dev/zero of=/home/blob bs=1024 count=3072 2>/dev/null");
  EXPECT_EQ(before - (3ull << 20), a->FreeSpace());
  // What statvfs("/") says inside agrees with the host side's view.
  EXPECT_EQ(std::to_string(a->FreeSpace() / 1024) + "\n",
            Shell(*a, "df -k / | awk 'NR==2 {print $4}'"));
  Shell(*a, "rm /home/blob");
  EXPECT_EQ(before, a->FreeSpace());
}

TEST(DeviceFidelityTest, RamdiskRemountFollowsFstab) {
  auto device = MakeDevice(WithProbe());
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->WriteFile({"/tmp/ramdisk/old", "x", std::nullopt, 0644, std::nullopt}));
  const RunResult run =
      RunCommands(*device, {"umount /tmp/ramdisk/", "mount -t tmpfs -o size=25M /tmp/ramdisk/"});
  EXPECT_EQ("0\n0\n", run.output);
  EXPECT_EQ(25ull << 20, device->FreeSpace("/tmp/ramdisk"));
  EXPECT_FALSE(device->Exists("/tmp/ramdisk/old"));
  // As on the router, busybox mount cannot do it without the fstab line.
  EXPECT_EQ("0\n0\n256\n",
            RunCommands(*device, {"rm /etc/fstab", "umount /tmp/ramdisk/",
                                  "mount -t tmpfs -o size=25M /tmp/ramdisk/ 2>/dev/null"})
                .output);
}

TEST(DeviceFidelityTest, ProcVersionAndBoardReadAsConfigured) {
  struct Case {
    const char* name;
    ProcVersion mode;
    std::string banner;
    std::optional<std::string> board;
    const char* expected;  // what the shell prints
  };
  const Case kCases[] = {
      {"banner", ProcVersion::kBanner, "Linux version 2.6.35.3 (x) #1\n", std::string("13\n"),
       "version=Linux version 2.6.35.3 (x) #1\nboard=13\n"},
      {"empty banner", ProcVersion::kBanner, "", std::string("12\n"), "version=\nboard=12\n"},
      {"unreadable", ProcVersion::kUnreadable, "", std::nullopt, "version=unreadable\nno board\n"},
      {"absent", ProcVersion::kAbsent, "", std::string(""), "version=absent\nboard=\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    DeviceSpec spec;
    spec.proc_version = c.mode;
    spec.kernel_banner = c.banner;
    spec.board = c.board;
    auto device = MakeDevice(spec);
    ASSERT_TRUE(device);
    EXPECT_EQ(c.expected,
              Shell(*device,
                    "if [ ! -e /proc/version ]; then echo version=absent;"
                    " elif v=$(cat /proc/version 2>/dev/null); then echo \"version=$v\";"
                    " else echo version=unreadable; fi;"
                    " if [ -e /sys/kernel/qxfc/board ]; then echo \"board=$(cat "
                    "/sys/kernel/qxfc/board)\"; else echo no board; fi"));
  }
}

TEST(DeviceFidelityTest, TraceHoldsExactCommandTextsInOrder) {
  auto device = MakeDevice(WithProbe());
  ASSERT_TRUE(device);
  const std::vector<std::string> commands = {
      "touch /etc/upgrade_started",
      "find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud1780000*\" | xargs rm -rf",
      "cat /sys/kernel/qxfc/board | grep -qv \"\\b12\\b\"",
      "echo one\necho 'two  spaced'\n\techo three",
      "  leading and trailing blanks  ; true ",
      "",
  };
  const RunResult run = RunCommands(*device, commands);
  ASSERT_TRUE(run.exited) << run.error;
  EXPECT_EQ(commands, run.trace);
  EXPECT_EQ(run.trace.size(), run.trace_times.size());
  // The probe's own output shows the multi-line command ran whole.
  EXPECT_NE(std::string::npos, run.output.find("one\ntwo  spaced\nthree\n"));
  // A later run has a trace of its own.
  EXPECT_EQ(std::vector<std::string>{"true"}, RunCommands(*device, {"true"}).trace);
}

TEST(DeviceFidelityTest, ServicesRecordTheSignalThatEndedThem) {
  auto device = MakeDevice(WithProbe());
  ASSERT_TRUE(device);
  std::map<std::string, int> expected;
  for (const std::string& name : kServiceNames) expected[name] = 0;
  EXPECT_EQ(expected, device->ServiceSignals());
  RunCommands(*device, {"pkill -SIGINT service-manager", "pkill -9 snmpd", "pkill -9 sshd"});
  expected["service-manager"] = SIGINT;
  expected["snmpd"] = SIGKILL;
  expected["sshd"] = SIGKILL;
  expected["qxsshd"] = SIGKILL;  // pkill matches a pattern: "sshd" also names qxsshd
  EXPECT_EQ(expected, device->ServiceSignals());
}

TEST(DeviceFidelityTest, WatchdogProgramAndRebootCommandAreObservable) {
  auto device = MakeDevice(WithProbe());
  ASSERT_TRUE(device);
  EXPECT_FALSE(device->WatchdogProgramStarted());
  // As the driver does it: started in the background, later killed by name, then the reboot.
  RunCommands(*device, {"/tmp/wdprog &"});
  EXPECT_TRUE(device->WatchdogProgramStarted());
  EXPECT_EQ(0, device->WatchdogProgramSignal());
  RunCommands(*device, {"pkill -9 wdprog", "watchdog /dev/watchdog -T 5"});
  EXPECT_EQ(SIGKILL, device->WatchdogProgramSignal());
  EXPECT_EQ(std::vector<std::string>{"watchdog /dev/watchdog -T 5"}, device->RebootRecords());
}

// A power cycle keeps the root file system and nothing else: processes, the ramdisk (with what
// was stacked on it) and the records of the last boot go; the services and an empty ramdisk
// come back, the ramdisk only while its fstab line is there.
TEST(DeviceFidelityTest, PowerCycleKeepsOnlyTheRootFileSystem) {
  auto device = MakeDevice(WithProbe());
  ASSERT_TRUE(device);
  RunCommands(*device, {"/tmp/wdprog &", "pkill -9 sshd", "watchdog /dev/watchdog -T 5",
                        "echo kept > /etc/kept", "echo gone > /tmp/ramdisk/gone",
                        "mount -t tmpfs -o size=1M tmpfs /tmp/ramdisk"});
  ASSERT_NE(25ull << 20, device->FreeSpace("/tmp/ramdisk"));
  std::string error;
  ASSERT_TRUE(device->PowerCycle(&error)) << error;
  EXPECT_TRUE(device->Exists("/etc/kept"));
  EXPECT_FALSE(device->Exists("/tmp/ramdisk/gone"));
  EXPECT_EQ(32ull << 20, device->FreeSpace("/tmp/ramdisk"));  // the size it was built with
  for (const auto& [name, signal] : device->ServiceSignals()) EXPECT_EQ(0, signal) << name;
  EXPECT_TRUE(device->RebootRecords().empty());
  EXPECT_FALSE(device->WatchdogProgramStarted());
  EXPECT_EQ("1\n", Shell(*device, "pidof sshd | wc -w"));
  // Without its fstab line the ramdisk stays a plain directory of the root file system.
  Shell(*device, "rm /etc/fstab");
  ASSERT_TRUE(device->PowerCycle(&error)) << error;
  EXPECT_EQ(device->FreeSpace("/"), device->FreeSpace("/tmp/ramdisk"));
}

TEST(DeviceFidelityTest, SpecEntriesAppearWithModesTimesAndLinks) {
  DeviceSpec spec;
  spec.directories.push_back("/lib/modules/2.6.35.3");
  spec.files.push_back({"/usr/share/doc/a.txt", "abc", std::nullopt, 0600, 1000000000});
  spec.files.push_back({"/tmp/ramdisk/ud1", "", 4096, 0644, std::nullopt});
  spec.symlinks.push_back({"/etc/escape", "/../../../../etc/passwd"});
  auto device = MakeDevice(spec);
  ASSERT_TRUE(device);
  struct stat st {};
  ASSERT_TRUE(device->Lstat("/usr/share/doc/a.txt", st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(1000000000, st.st_mtime);
  EXPECT_EQ(std::vector<std::string>{"2.6.35.3"}, device->ListDir("/lib/modules"));
  // Files under /tmp/ramdisk land in the ramdisk, not on the root.
  EXPECT_EQ((32ull << 20) - 4096, device->FreeSpace("/tmp/ramdisk"));
  // A link that climbs out resolves inside the device, never to a host file.
  std::string content;
  ASSERT_TRUE(device->ReadFile("/etc/escape", content));
  EXPECT_EQ("root:x:0:0:root:/root:/bin/sh\n", content);
}

TEST(DeviceFidelityTest, BinaryCopiedUnderTheRamdiskLandsOnIt) {
  DeviceSpec spec;
  spec.binaries.push_back({QX_SIM_PROBE_PATH, "/tmp/ramdisk/probe"});
  auto device = MakeDevice(spec);
  ASSERT_TRUE(device);
  EXPECT_EQ(std::vector<std::string>{"probe"}, device->ListDir("/tmp/ramdisk"));
  EXPECT_LT(device->FreeSpace("/tmp/ramdisk"), 32ull << 20);
  const RunResult result = device->Run({"/tmp/ramdisk/probe", "true"});
  EXPECT_TRUE(result.exited && result.exit_status == 0) << result.error << result.output;
}

}  // namespace
}  // namespace qx::sim::testing
