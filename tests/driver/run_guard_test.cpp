// End-to-end: what keeps a run whole in the field. A second run started beside it, signals from a
// lost session or the caller, staging files an earlier run left under /tmp/, and a ramdisk that
// cannot be re-created. Each scene is driven by a busybox shell script inside the device (run
// without the traced /bin/sh, so the trace holds the upgraders' commands alone).
#include <algorithm>
#include <csignal>
#include <ctime>
#include <string>
#include <vector>

#include "tests/driver/upgrade_run_fixture.h"

namespace qx::driver_test {
namespace {

constexpr const char kKernel[] = "kernel image bytes\n";
constexpr const char kDatabase[] = "file-system database\n";
constexpr const char kAnotherRun[] = "Another upgrade is in progress";
constexpr const char kUpgraded[] = "Successfully upgraded firmware";

std::string GoodUpgrade(const std::string& kernel = kKernel,
                        const std::string& validator_body = CheckingValidatorBody()) {
  return MakeUpgradeFile(UpgradeMembers(validator_body, kernel, kDatabase));
}

std::size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  std::size_t count = 0;
  for (const std::string& each : lines) count += each == line ? 1 : 0;
  return count;
}

class RunGuardTest : public UpgradeRunTest {
 protected:
  // The upgrader's command line for the device shell, behind the launcher if any. Its output
  // goes to a file of its own (kept for the emulator's system-call listing, if asked for), so
  // the script prints only what it echoes.
  static std::string Upgrader(const std::string& extra_argument = "run") {
    std::string command;
    for (const std::string& word : UpgraderArgv({qx::sim::Device::kWatchdogProgram})) {
      command += word + " ";
    }
    return command + extra_argument + " >/root/" + extra_argument + ".out 2>&1";
  }

  void RunScript(const std::string& script) {
    started_ = static_cast<std::uint32_t>(std::time(nullptr));
    result_ = device_->Run({"/bin/busybox", "sh", "-c", script}, std::chrono::seconds(90));
    ended_ = static_cast<std::uint32_t>(std::time(nullptr));
    for (const std::string& name : device_->ListDir("/root")) {
      std::string output;
      if (device_->ReadFile("/root/" + name, output)) {
        KeepRunOutput(::testing::UnitTest::GetInstance()->current_test_info()->name() +
                          std::string("/") + name,
                      output);
      }
    }
    ASSERT_TRUE(result_.started) << result_.error;
    ASSERT_FALSE(result_.timed_out) << result_.output;
    ASSERT_TRUE(result_.exited) << result_.output;
  }

  // One whole E7 run and nothing else: its commands once, one reboot, its staged files, its
  // verdict last; `others` lines of a second run in its log.
  void ExpectOneCompleteUpgrade(const std::string& kernel, std::size_t others) const {
    ExpectTrace(true, Concat(StagingCommands(true), ClosingCommands()));
    EXPECT_EQ(std::vector<std::string>{kReboot}, SettledRebootRecords(*device_));
    const std::vector<std::string> log = Log();
    EXPECT_EQ(1u, Count(log, kBanner));
    EXPECT_EQ(others, Count(log, kAnotherRun));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(kUpgraded, log.end()[-2]);
    EXPECT_EQ(kernel, DeviceFile("/tmp/ramdisk/kernel_image"));
    EXPECT_EQ(kDatabase, DeviceFile("/tmp/ramdisk/filesystem.db"));
  }
};

// The second run, whenever it starts, changes nothing: one line in the running run's log, exit
// status 0, no command, no reboot.
TEST_F(RunGuardTest, SecondRunLeavesOnlyOneLineInTheRunningRunsLog) {
  const std::string first = Upgrader("first"), second = Upgrader("second");
  struct Case {
    const char* what;
    std::string script;
    const char* statuses;  // "" when the winner of a simultaneous start may be either run
  };
  // The first run is stopped at the point, the second runs to its end, the first goes on.
  const auto second_at = [&](const std::string& wait_for_point) {
    return first + " & a=$!\n" + wait_for_point + "kill -STOP $a\n" + second +
           "\necho second=$?\nkill -CONT $a\nwait $a\necho first=$?\n";
  };
  const Case kCases[] = {
      {"started together, first before second",
       first + " & a=$!\n" + second + " & b=$!\nwait $a\necho first=$?\nwait $b\necho second=$?\n",
       ""},
      {"started together, second before first",
       second + " & b=$!\n" + first + " & a=$!\nwait $a\necho first=$?\nwait $b\necho second=$?\n",
       ""},
      {"second started mid-cleanup",
       second_at(
           "until grep -q 'Running cleanup' /tmp/ramdisk/upgrade_log 2>/dev/null; do :; done\n"),
       "second=0\nfirst=1\n"},
      {"second started mid-extraction", second_at("until [ -e /tmp/kernel_image ]; do :; done\n"),
       "second=0\nfirst=1\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    // A large kernel image keeps the first run in its extraction long enough to be caught there.
    const std::string kernel = std::string(8 << 20, 'k');
    qx::sim::DeviceSpec spec = RouterWithUpgrade(GoodUpgrade(kernel));
    spec.root_size = 96ull << 20;
    ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
    ASSERT_NO_FATAL_FAILURE(RunScript(c.script));
    if (*c.statuses != '\0') {
      EXPECT_EQ(c.statuses, result_.output);
    } else {
      EXPECT_TRUE(result_.output == "first=1\nsecond=0\n" ||
                  result_.output == "first=0\nsecond=1\n")
          << result_.output;
    }
    ExpectOneCompleteUpgrade(kernel, 1);
  }
}

// A hang-up when the SSH daemons go, the signals a caller's shutdown sends, and SIGTERM during the
// cleanup: the run goes on to its normal end and reboots.
TEST_F(RunGuardTest, HangUpsAndTerminationRequestsDoNotEndTheRun) {
  struct Case {
    const char* what;
    const char* wait_for_point;
    const char* signals;
  };
  const Case kCases[] = {
      {"SSH daemons stopped", "while pidof sshd >/dev/null; do :; done\n",
       "kill -HUP $a; kill -INT $a; kill -QUIT $a; kill -PIPE $a\n"},
      {"cleanup running",
       "until grep -q 'Running cleanup' /tmp/ramdisk/upgrade_log 2>/dev/null; do :; done\n",
       "kill -TERM $a\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(CreateDevice(RouterWithUpgrade(GoodUpgrade())));
    ASSERT_NO_FATAL_FAILURE(RunScript(Upgrader() + " & a=$!\n" + c.wait_for_point + c.signals +
                                      "wait $a\necho status=$?\n"));
    EXPECT_EQ("status=1\n", result_.output);
    ExpectOneCompleteUpgrade(kKernel, 0);
  }
}

// What the run starts gets the default dispositions: the watchdog program dies by SIGTERM and the
// validator by SIGINT when they are sent one.
// Nor do they inherit the run's claim: a process the validator leaves behind does not keep the
// next run from taking it.
TEST_F(RunGuardTest, CommandsTheRunStartsStillDieBySignalsAndHoldNoClaim) {
  ASSERT_NO_FATAL_FAILURE(CreateDevice(
      RouterWithUpgrade(GoodUpgrade(kKernel, "sleep 1000 &\npkill -TERM wdprog\nkill -INT $$\n"))));
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice({qx::sim::Device::kWatchdogProgram}));
  ExpectEndedWith(1);
  EXPECT_EQ("Firmware validation failed: validator killed by signal 2", Log().back());
  EXPECT_EQ(SIGTERM, device_->WatchdogProgramSignal());
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice({qx::sim::Device::kWatchdogProgram}));
  EXPECT_EQ("Unable to locate upgrade file", Log().back());
}

// An E6 leaves the validator and the kernel image under /tmp/. The next run removes them before
// its cleanup measures, so that cleanup removes what it removes on a device without them
// (nothing here), instead of a rotated log.
TEST_F(RunGuardTest, StaleStagingFilesAreRemovedBeforeTheCleanupMeasures) {
  std::vector<Member> four =
      UpgradeMembers(CheckingValidatorBody(), std::string(3 << 20, 'k'), kDatabase);
  four.pop_back();
  qx::sim::DeviceSpec spec = RouterWithUpgrade(MakeUpgradeFile(four));
  spec.files.push_back({"/var/log/messages.1.gz", "", 3u << 20, 0644, 1700000000});
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  // Free space: 1 MiB over the 22 MiB that the upgrade needs, 2 MiB under it with the leftovers.
  const std::uint64_t ballast = device_->FreeSpace("/") - (23ull << 20);
  ASSERT_TRUE(device_->WriteFile({"/data/ballast", "", ballast, 0644, {}}));
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice({qx::sim::Device::kWatchdogProgram}));
  ExpectEndedWith(1);
  const std::vector<std::string> first_run = Log();
  ASSERT_EQ("Unable to extract files: Invalid offset", first_run.back());
  ASSERT_TRUE(DeviceHas("/tmp/kernel_image"));

  // The same device, its root kept, with a good upgrade file.
  ASSERT_TRUE(device_->WriteFile({kUpgradeFile, GoodUpgrade(), {}, 0644, {}}));
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice({qx::sim::Device::kWatchdogProgram}));
  const std::vector<std::string> both = Log();
  const std::vector<std::string> second_run(both.begin() + static_cast<long>(first_run.size()),
                                            both.end());
  ASSERT_GE(second_run.size(), 5u);
  EXPECT_EQ((std::vector<std::string>{kBanner, "Removed stale file /tmp/fs-validator",
                                      "Removed stale file /tmp/kernel_image",
                                      "Running cleanup to allow for upgrade"}),
            std::vector<std::string>(second_run.begin(), second_run.begin() + 4));
  // Both runs' cleanups took the same steps (the free space they measured aside): nothing had
  // to go.
  const auto cleanup_lines = [](const std::vector<std::string>& log) {
    std::vector<std::string> steps;
    auto line = std::find(log.begin(), log.end(), "Running cleanup to allow for upgrade");
    for (; line != log.end() && *line != "Version 5"; ++line) {
      if (line->rfind("FreeSpace: ", 0) != 0) steps.push_back(*line);
    }
    return steps;
  };
  EXPECT_EQ(cleanup_lines(first_run), cleanup_lines(second_run));
  EXPECT_TRUE(DeviceHas("/var/log/messages.1.gz"));
  EXPECT_EQ(kUpgraded, second_run.end()[-2]);
}

// Hard links to a file elsewhere on the root file system, planted at the extraction paths: they
// are removed as stale files, and the linked file keeps its bytes.
TEST_F(RunGuardTest, HardLinksPlantedAtTheExtractionPathsNeverReachTheirTarget) {
  qx::sim::DeviceSpec spec = RouterWithUpgrade(GoodUpgrade());
  spec.files.push_back({"/etc/canary", "canary bytes\n", {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  const qx::sim::RunResult planted =
      device_->Run({"/bin/busybox", "sh", "-c",
                    "ln /etc/canary /tmp/fs-validator && ln /etc/canary /tmp/kernel_image && "
                    "ln /etc/canary /tmp/filesystem.db"});
  ASSERT_TRUE(planted.exited && planted.exit_status == 0) << planted.output;
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice({qx::sim::Device::kWatchdogProgram}));
  ExpectEndedWith(1);
  const std::vector<std::string> log = Log();
  EXPECT_EQ(3u, Count(log, "Removed stale file /tmp/fs-validator") +
                    Count(log, "Removed stale file /tmp/kernel_image") +
                    Count(log, "Removed stale file /tmp/filesystem.db"));
  EXPECT_EQ("canary bytes\n", DeviceFile("/etc/canary"));
  EXPECT_EQ(kKernel, DeviceFile("/tmp/ramdisk/kernel_image"));
}

// Without its fstab line the ramdisk is unmounted but not mounted again: the run says so, the
// validator still decides, and nothing of the upgrade stays in the plain directory beneath.
TEST_F(RunGuardTest, RamdiskThatCannotBeRecreatedKeepsNothingOnTheRootFileSystem) {
  qx::sim::DeviceSpec spec = RouterWithUpgrade(GoodUpgrade());
  spec.files.push_back({"/etc/fstab", "", {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec));
  ExpectEndedWith(1);
  ExpectTrace(true, Concat(StagingCommands(true), ClosingCommands()));
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(0u, log.end()[-4].rfind("Upgrade file size ", 0)) << log.end()[-4];
  EXPECT_EQ("Unable to re-create the ramdisk", log.end()[-3]);
  EXPECT_EQ(kUpgraded, log.end()[-2]);
  EXPECT_FALSE(DeviceHas("/etc/upgrade_started")) << "the validator passed";
  EXPECT_EQ(std::vector<std::string>{}, device_->ListDir("/tmp/ramdisk"));
}

}  // namespace
}  // namespace qx::driver_test
