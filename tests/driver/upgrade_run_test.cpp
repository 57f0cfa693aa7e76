// End-to-end: the real upgrader in a simulated router, one run per test, for every exit E1 to
// E7 and the edge cases around them. Asserts what the router is left with: the command trace,
// the services' signals, the reboot record, the persistent log, the markers and the files.
#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/driver/upgrade_run_fixture.h"

namespace qx::driver_test {
namespace {

constexpr const char kStartedMarker[] = "/etc/upgrade_started";
constexpr const char kWaitMarker[] = "/tmp/ramdisk/vlk-wait-during-startup";
constexpr const char kKernel[] = "kernel image bytes\n";
constexpr const char kDatabase[] = "file-system database\n";

// qxsshd renamed aside, as an earlier interrupted upgrade can leave it.
qx::sim::DeviceSpec WithSshDaemonDisabled(qx::sim::DeviceSpec spec) {
  for (qx::sim::DeviceFile& file : spec.files) {
    if (file.path == "/usr/sbin/qxsshd") file.path = "/usr/sbin/qxsshd.disabled";
  }
  return spec;
}

std::string GoodUpgrade(const std::string& validator_body = CheckingValidatorBody()) {
  return MakeUpgradeFile(UpgradeMembers(validator_body, kKernel, kDatabase));
}

std::vector<std::string> Tail(const std::vector<std::string>& lines, std::size_t count) {
  if (lines.size() < count) return lines;
  return std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(count), lines.end());
}

class UpgradeExitTest : public UpgradeRunTest {
 protected:
  // Past the argument check: every service stopped (the manager by SIGINT), the watchdog
  // program started, killed by SIGKILL and deleted, the daemons restored.
  void ExpectDeviceTakenOverAndRestored() const {
    for (const auto& [name, signal] : device_->ServiceSignals()) {
      EXPECT_EQ(name == "service-manager" ? SIGINT : SIGKILL, signal) << name;
    }
    EXPECT_TRUE(device_->WatchdogProgramStarted());
    EXPECT_EQ(SIGKILL, device_->WatchdogProgramSignal());
    EXPECT_FALSE(DeviceHas(qx::sim::Device::kWatchdogProgram));
    EXPECT_TRUE(DeviceHas("/usr/sbin/qxsshd"));
    EXPECT_FALSE(DeviceHas("/usr/sbin/qxsshd.disabled"));
  }

  // E2 to E6 keep both markers and the upgrade file.
  void ExpectMarkersAndUpgradeFileKept(const std::string& upgrade_file = kUpgradeFile) const {
    EXPECT_TRUE(DeviceHas(kStartedMarker));
    EXPECT_TRUE(DeviceHas(kWaitMarker));
    if (!upgrade_file.empty()) {
      EXPECT_TRUE(DeviceHas(upgrade_file));
    }
  }
};

TEST_F(UpgradeExitTest, E1WithoutWatchdogOnlyLogsAndReboots) {
  qx::sim::DeviceSpec spec = WithSshDaemonDisabled(RouterSpec());
  spec.files.push_back(
      {"/var/log/upgrade_log", "20240101 00:00:00 - an earlier run\n", {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec, {}));
  ExpectEndedWith(0);
  EXPECT_EQ((std::vector<std::string>{kLogIn, kLogOut, kReboot}), result_.trace);
  EXPECT_EQ((std::vector<std::string>{"an earlier run", kBanner,
                                      std::string(kDeviceUpgrader) + ": No watchdog provided"}),
            Log());
  EXPECT_FALSE(DeviceHas(kStartedMarker));
  EXPECT_FALSE(DeviceHas(kWaitMarker));
  for (const auto& [name, signal] : device_->ServiceSignals()) EXPECT_EQ(0, signal) << name;
  EXPECT_FALSE(device_->WatchdogProgramStarted());
  EXPECT_TRUE(DeviceHas(qx::sim::Device::kWatchdogProgram));
  EXPECT_TRUE(DeviceHas("/usr/sbin/qxsshd.disabled")) << "E1 restores no daemon";
}

TEST_F(UpgradeExitTest, E2BoardGateAcceptsOnlyBoardTwelve) {
  struct Case {
    const char* what;
    std::optional<std::string> board;
    bool passes;
  };
  const Case kCases[] = {
      {"board 12", std::string("12\n"), true},    {"board 13", std::string("13\n"), false},
      {"board 112", std::string("112\n"), false}, {"no board file", std::nullopt, true},
      {"empty board file", std::string(), true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    qx::sim::DeviceSpec spec = WithSshDaemonDisabled(RouterSpec());
    spec.board = c.board;
    ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec));
    ExpectEndedWith(0);
    ExpectDeviceTakenOverAndRestored();
    ExpectMarkersAndUpgradeFileKept("");
    if (c.passes) {  // on to the cleanup, then no upgrade file
      ExpectTrace(true, ClosingCommands());
      EXPECT_EQ("Unable to locate upgrade file", Log().back());
    } else {
      ExpectTrace(false, ClosingCommands());
      EXPECT_EQ(
          (std::vector<std::string>{kBanner, "This upgrade file only works on 730/830 Rev1 units"}),
          Log());
    }
  }
}

// E3 to E6: each failure ends the run with its line last, the router taken over and restored,
// both markers and the upgrade file kept.
TEST_F(UpgradeExitTest, EveryFailureExitLogsItsLineRestoresAndReboots) {
  std::vector<Member> four = UpgradeMembers(CheckingValidatorBody(), kKernel, kDatabase);
  four.pop_back();
  std::string damaged = GoodUpgrade();
  damaged[damaged.size() - 3] ^= 0x01;  // a byte of the database, the last inner file
  struct Case {
    const char* what;
    std::function<void(qx::sim::DeviceSpec&)> prepare;
    std::uint64_t free_space;  // 0: as built; else ballast (which no stage touches) leaves this
    int exit_status;
    std::string last_line;
    std::string kept;                         // the upgrade file that stays, "" for none
    std::vector<std::string> extracted_kept;  // what E6 leaves under /tmp/
  };
  const Case kCases[] = {
      {"E3: a root that cannot free 22 MiB",
       [](qx::sim::DeviceSpec&) {},
       8ull << 20,
       0,
       "Unable to sufficiently cleanup the OS",
       kUpgradeFile,
       {}},
      {"E4: no entry begins with ud (case and position matter)",
       [](qx::sim::DeviceSpec& spec) {
         for (qx::sim::DeviceFile& file : spec.files) {
           if (file.path == kUpgradeFile) file.path = "/tmp/ramdisk/xud1780000123";
         }
         spec.files.push_back({"/tmp/ramdisk/UD1780000123", GoodUpgrade(), {}, 0644, {}});
       },
       0,
       0,
       "Unable to locate upgrade file",
       "/tmp/ramdisk/xud1780000123",
       {}},
      {"E5: a damaged inner file",
       [&damaged](qx::sim::DeviceSpec& spec) { spec.files.back().content = damaged; },
       0,
       0,
       "Unable to parse file: Inner header MD5 check failed",
       kUpgradeFile,
       {}},
      {"E5: the message names the file with the double slash",
       [](qx::sim::DeviceSpec& spec) {
         spec.files.pop_back();
         spec.symlinks.push_back({"/tmp/ramdisk/ud-dangling", "/tmp/ramdisk/missing"});
       },
       0,
       0,
       "Unable to parse file: Couldn't open file /tmp/ramdisk//ud-dangling: error: No such file "
       "or directory",
       "",
       {}},
      {"E6: an upgrade file of four inner files",
       [&four](qx::sim::DeviceSpec& spec) { spec.files.back().content = MakeUpgradeFile(four); },
       0,
       1,
       "Unable to extract files: Invalid offset",
       kUpgradeFile,
       {"/tmp/fs-validator", "/tmp/kernel_image"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    qx::sim::DeviceSpec spec = WithSshDaemonDisabled(RouterWithUpgrade(GoodUpgrade()));
    c.prepare(spec);
    ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
    if (c.free_space != 0) {
      ASSERT_TRUE(device_->WriteFile(
          {"/data/ballast", "", device_->FreeSpace("/") - c.free_space, 0644, {}}));
    }
    // A second argument changes nothing.
    ASSERT_NO_FATAL_FAILURE(
        RunUpgraderInDevice({qx::sim::Device::kWatchdogProgram, "/tmp/ignored-argument"}));
    ExpectEndedWith(c.exit_status);
    ExpectTrace(true, ClosingCommands());
    const std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(c.last_line, log.back());
    ExpectDeviceTakenOverAndRestored();
    ExpectMarkersAndUpgradeFileKept(c.kept);
    EXPECT_EQ(c.extracted_kept.size() > 0, DeviceHas("/tmp/fs-validator"));
    for (const std::string& path : c.extracted_kept) EXPECT_TRUE(DeviceHas(path)) << path;
    EXPECT_FALSE(DeviceHas("/tmp/filesystem.db"));
  }
}

TEST_F(UpgradeExitTest, E7ValidatedUpgradeIsStagedAndTheMarkerCleared) {
  const std::string upgrade = GoodUpgrade();
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(WithSshDaemonDisabled(RouterWithUpgrade(upgrade))));
  ExpectEndedWith(1);
  ExpectTrace(true, Concat(StagingCommands(true), ClosingCommands()));
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 4u);
  // One file across the ramdisk re-creation: the first lines and the verdict are both there.
  EXPECT_EQ(kBanner, log[0]);
  EXPECT_EQ("Running cleanup to allow for upgrade", log[1]);
  EXPECT_EQ(
      (std::vector<std::string>{"Version 5", "Upgrade Name: Router firmware", "Release Name: 5.2.1",
                                "File Date: 20240315", "Upgrade ID: 730",
                                "Upgrade file size " + std::to_string(upgrade.size() - 6 * 128),
                                "Successfully upgraded firmware", ""}),
      Tail(log, 8));
  ExpectDeviceTakenOverAndRestored();
  EXPECT_FALSE(DeviceHas(kStartedMarker));
  EXPECT_FALSE(DeviceHas(kWaitMarker)) << "hidden by the new ramdisk";
  EXPECT_FALSE(DeviceHas(kUpgradeFile));
  EXPECT_EQ(kKernel, DeviceFile("/tmp/ramdisk/kernel_image"));
  EXPECT_EQ(kDatabase, DeviceFile("/tmp/ramdisk/filesystem.db"));
  EXPECT_TRUE(DeviceHas("/tmp/ramdisk/fs-validator"));
  for (const char* moved : {"/tmp/fs-validator", "/tmp/kernel_image", "/tmp/filesystem.db"}) {
    EXPECT_FALSE(DeviceHas(moved)) << moved;
  }
}

TEST_F(UpgradeExitTest, E7FailedValidationIsNeverLoggedAsSuccess) {
  struct Case {
    const char* body;
    const char* verdict;
  };
  const Case kCases[] = {
      {"#!/bin/sh\nexit 1\n", "Firmware validation failed: validator exit status 1"},
      {"#!/bin/sh\nkill -9 $$\n", "Firmware validation failed: validator killed by signal 9"},
      // The interpreter it names is not on the router: the shell cannot start it.
      {"#!/no/such/interpreter\n", "Firmware validation failed: validator exit status 127"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.body);
    std::vector<Member> members = UpgradeMembers("", kKernel, kDatabase);
    members[2].data = c.body;
    ASSERT_NO_FATAL_FAILURE(RunUpgrader(RouterWithUpgrade(MakeUpgradeFile(members))));
    ExpectEndedWith(1);
    ExpectTrace(true, Concat(StagingCommands(false), ClosingCommands()));
    EXPECT_EQ(c.verdict, Log().back());
    EXPECT_TRUE(DeviceHas(kStartedMarker)) << "an unvalidated upgrade keeps the marker";
    EXPECT_FALSE(DeviceHas(kUpgradeFile));
  }
}

TEST_F(UpgradeExitTest, LongUpgradeFileNameIsOpenedWhole) {
  const std::string path = "/tmp/ramdisk/ud1780000123-router-firmware-5.2.1-final.bin";
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(RouterWithUpgrade(GoodUpgrade(), path)));
  ExpectEndedWith(1);
  EXPECT_EQ("Successfully upgraded firmware", Log().end()[-2]);
  EXPECT_FALSE(DeviceHas(path));
}

TEST_F(UpgradeExitTest, FirstUdEntryInDirectoryOrderIsUsed) {
  std::string damaged = GoodUpgrade();
  damaged[damaged.size() - 3] ^= 0x01;
  qx::sim::DeviceSpec spec = RouterWithUpgrade(GoodUpgrade(), "/tmp/ramdisk/udA");
  spec.files.push_back({"/tmp/ramdisk/udB", damaged, {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  const qx::sim::RunResult listing = device_->Run({"/bin/ls", "-f", "/tmp/ramdisk"});
  ASSERT_TRUE(listing.exited) << listing.output;
  const bool a_first = listing.output.find("udA") < listing.output.find("udB");
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice({qx::sim::Device::kWatchdogProgram}));
  if (a_first) {
    EXPECT_EQ("Successfully upgraded firmware", Log().end()[-2]);
    EXPECT_FALSE(DeviceHas("/tmp/ramdisk/udA"));
    EXPECT_FALSE(DeviceHas("/tmp/ramdisk/udB")) << "the new ramdisk hides the other one";
  } else {
    EXPECT_EQ("Unable to parse file: Inner header MD5 check failed", Log().back());
    EXPECT_TRUE(DeviceHas("/tmp/ramdisk/udA"));
    EXPECT_TRUE(DeviceHas("/tmp/ramdisk/udB"));
  }
}

// Stale entries go whole, whatever their names hold; nothing outside /tmp/ is touched, neither
// the working directory that a split name would reach nor what a link points to.
TEST_F(UpgradeExitTest, SweepRemovesStaleEntriesAndNothingElse) {
  const std::string window = std::to_string(static_cast<std::uint32_t>(std::time(nullptr)) / 1000);
  const std::vector<std::string> kStale = {"/tmp/ud etc", "/tmp/udstale", "/tmp/ud\nline",
                                           "/tmp/ud*", "/tmp/ud -rf .."};
  qx::sim::DeviceSpec spec = RouterSpec();
  for (const std::string& path : kStale) spec.files.push_back({path + "/inside", "", {}, 0644, {}});
  spec.symlinks.push_back({"/tmp/udlink", "/etc"});
  spec.files.push_back({"/etc/keep", "", {}, 0644, {}});
  spec.files.push_back({"/tmp/ud" + window + "-current", "fresh", {}, 0644, {}});
  spec.files.push_back({"/root/work/etc/keep", "", {}, 0644, {}});
  spec.files.push_back({"/root/udstale", "not in /tmp/", {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec, {qx::sim::Device::kWatchdogProgram}, "/root/work"));
  ExpectEndedWith(0);
  for (const std::string& path : kStale) EXPECT_FALSE(DeviceHas(path)) << path;
  EXPECT_FALSE(DeviceHas("/tmp/udlink"));
  for (const std::string& path :
       {"/tmp/ud" + window + "-current", std::string("/etc/keep"),
        std::string("/root/work/etc/keep"), std::string("/root/udstale")}) {
    EXPECT_TRUE(DeviceHas(path)) << path;
  }
}

// A root file system that the validator fills up: the log cannot be moved back, and the run
// still reboots the router with its late exit status; the log stays whole in the ramdisk.
TEST_F(UpgradeExitTest, FullRootFileSystemAtTheClosingStillReboots) {
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(RouterWithUpgrade(
      GoodUpgrade("dd if=/dev/zero of=/data-fill bs=65536 >/dev/null 2>&1\nexit 0\n"))));
  ExpectEndedWith(1);
  std::string log;
  ASSERT_TRUE(device_->ReadFile("/tmp/ramdisk/upgrade_log", log));
  EXPECT_EQ("Successfully upgraded firmware", LogLines(log).end()[-2]);
}

TEST_F(UpgradeExitTest, ShortWatchdogArgumentIsRemovedWithoutPkill) {
  qx::sim::DeviceSpec spec = RouterSpec();
  spec.files.push_back({"/wd", "not a program", {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec, {"/wd"}));
  ExpectEndedWith(0);
  ExpectTrace(true, {kLogOut, kReboot}, "/wd");
  EXPECT_FALSE(DeviceHas("/wd"));
}

}  // namespace
}  // namespace qx::driver_test
