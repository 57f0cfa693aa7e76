// End-to-end: the real upgrader in a simulated router, one run per test, for every exit E1 to
// E7 and the edge cases around them. Asserts what the router is left with: the command trace,
// the services' signals, the reboot record, the persistent log, the markers and the files.
#include <csignal>
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

TEST_F(UpgradeExitTest, E3RootThatCannotFree22MiB) {
  ASSERT_NO_FATAL_FAILURE(CreateDevice(WithSshDaemonDisabled(RouterWithUpgrade(GoodUpgrade()))));
  // Ballast that no cleanup stage touches, leaving 8 MiB free whatever the binaries take.
  const std::uint64_t ballast = device_->FreeSpace("/") - (8ull << 20);
  ASSERT_TRUE(device_->WriteFile({"/data/ballast", "", ballast, 0644, {}}));
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice({qx::sim::Device::kWatchdogProgram}));
  ExpectEndedWith(0);
  ExpectTrace(true, ClosingCommands());
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ((std::vector<std::string>{kBanner, "Running cleanup to allow for upgrade",
                                      "Beginning file system cleanup"}),
            std::vector<std::string>(log.begin(), log.begin() + 3));
  EXPECT_EQ("Unable to sufficiently cleanup the OS", log.back());
  ExpectDeviceTakenOverAndRestored();
  ExpectMarkersAndUpgradeFileKept();
}

TEST_F(UpgradeExitTest, E4NoEntryBeginsWithUd) {
  qx::sim::DeviceSpec spec = WithSshDaemonDisabled(RouterSpec());
  spec.files.push_back({"/tmp/ramdisk/xud1780000123", GoodUpgrade(), {}, 0644, {}});
  spec.files.push_back({"/tmp/ramdisk/UD1780000123", GoodUpgrade(), {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(
      RunUpgrader(spec, {qx::sim::Device::kWatchdogProgram, "/tmp/ignored-second-argument"}));
  ExpectEndedWith(0);
  ExpectTrace(true, ClosingCommands());  // the second argument changes nothing
  EXPECT_EQ("Unable to locate upgrade file", Log().back());
  ExpectDeviceTakenOverAndRestored();
  ExpectMarkersAndUpgradeFileKept("/tmp/ramdisk/xud1780000123");
}

TEST_F(UpgradeExitTest, E5DamagedUpgradeFileIsRefused) {
  std::string upgrade = GoodUpgrade();
  upgrade[upgrade.size() - 3] ^= 0x01;  // a byte of the database, the last inner file
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(WithSshDaemonDisabled(RouterWithUpgrade(upgrade))));
  ExpectEndedWith(0);
  ExpectTrace(true, ClosingCommands());
  const std::vector<std::string> log = Log();
  EXPECT_EQ("Unable to parse file: Inner header MD5 check failed", log.back());
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(0u, log[log.size() - 2].rfind("Upgrade file size ", 0)) << log[log.size() - 2];
  ExpectDeviceTakenOverAndRestored();
  ExpectMarkersAndUpgradeFileKept();
  EXPECT_FALSE(DeviceHas("/tmp/fs-validator")) << "nothing is extracted from a damaged file";
}

TEST_F(UpgradeExitTest, E5MessageNamesTheFileWithTheDoubleSlash) {
  qx::sim::DeviceSpec spec = RouterSpec();
  spec.symlinks.push_back({"/tmp/ramdisk/ud-dangling", "/tmp/ramdisk/missing"});
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec));
  ExpectEndedWith(0);
  EXPECT_EQ(
      "Unable to parse file: Couldn't open file /tmp/ramdisk//ud-dangling: error: No such "
      "file or directory",
      Log().back());
}

TEST_F(UpgradeExitTest, E6UpgradeWithFourInnerFiles) {
  std::vector<Member> members = UpgradeMembers(CheckingValidatorBody(), kKernel, kDatabase);
  members.pop_back();
  ASSERT_NO_FATAL_FAILURE(
      RunUpgrader(WithSshDaemonDisabled(RouterWithUpgrade(MakeUpgradeFile(members)))));
  ExpectEndedWith(1);
  ExpectTrace(true, ClosingCommands());
  EXPECT_EQ("Unable to extract files: Invalid offset", Log().back());
  ExpectDeviceTakenOverAndRestored();
  ExpectMarkersAndUpgradeFileKept();
  EXPECT_EQ(members[2].data, DeviceFile("/tmp/fs-validator"));
  EXPECT_EQ(kKernel, DeviceFile("/tmp/kernel_image"));
  EXPECT_FALSE(DeviceHas("/tmp/filesystem.db"));
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
      {"exit 1\n", "Firmware validation failed: validator exit status 1"},
      {"kill -9 $$\n", "Firmware validation failed: validator killed by signal 9"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.body);
    ASSERT_NO_FATAL_FAILURE(RunUpgrader(RouterWithUpgrade(GoodUpgrade(c.body))));
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

TEST_F(UpgradeExitTest, SweepRemovesStaleEntriesWithoutTouchingTheWorkingDirectory) {
  const std::string window = std::to_string(static_cast<std::uint32_t>(std::time(nullptr)) / 1000);
  qx::sim::DeviceSpec spec = RouterSpec();
  spec.files.push_back({"/tmp/ud etc/inside", "stale", {}, 0644, {}});
  spec.files.push_back({"/tmp/udstale", "stale", {}, 0644, {}});
  spec.files.push_back({"/tmp/ud" + window + "-current", "fresh", {}, 0644, {}});
  spec.files.push_back({"/root/etc/keep", "must stay", {}, 0644, {}});
  spec.files.push_back({"/root/udstale", "not in /tmp/", {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec, {qx::sim::Device::kWatchdogProgram}, "/root"));
  ExpectEndedWith(0);
  EXPECT_FALSE(DeviceHas("/tmp/ud etc"));
  EXPECT_FALSE(DeviceHas("/tmp/udstale"));
  EXPECT_TRUE(DeviceHas("/tmp/ud" + window + "-current"));
  EXPECT_TRUE(DeviceHas("/root/etc/keep")) << "a blank in a name must not reach the cwd";
  EXPECT_TRUE(DeviceHas("/root/udstale"));
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
