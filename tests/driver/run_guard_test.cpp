// End-to-end: what keeps a run whole in the field: a second run, signals, an earlier run's
// leftovers, a ramdisk that cannot be re-created. Scenes are busybox shell scripts in the device
// (not the traced /bin/sh: the trace holds the upgraders' commands alone).
#include <algorithm>
#include <csignal>
#include <ctime>
#include <string>
#include <vector>

#include "sim/host/log_lines.h"
#include "tests/driver/upgrade_run_fixture.h"

namespace qx::driver_test {
namespace {

constexpr const char kAnotherRun[] = "Another upgrade is in progress";
// Waits for a point of the run started as $a, or for its end, with the shell's builtins alone:
// a loop that forks a grep per look can miss a whole run on a loaded machine.
constexpr const char kUntilCleanup[] =
    "cleaning() { while read -r line; do case $line in *'Running cleanup'*) return 0;; esac\n"
    "  done </tmp/ramdisk/upgrade_log; return 1; } 2>/dev/null\n"
    "until cleaning || ! kill -0 $a; do :; done\n";

std::size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

class RunGuardTest : public UpgradeRunTest {
 protected:
  // One whole E7 run and nothing else: its commands once, one reboot, its staged files, its
  // verdict last; `others` lines of a second run in its log.
  void ExpectOneCompleteUpgrade(const std::string& kernel, std::size_t others) const {
    ExpectTrace(StagedClosing(true));
    ExpectUpgraded(kernel);
    const std::vector<std::string> log = Log();
    EXPECT_EQ(1u, Count(log, router::kBannerLine));
    EXPECT_EQ(others, Count(log, kAnotherRun));
    EXPECT_EQ(kDatabase, DeviceFile(router::kStagedDatabase));
  }
};

// The second run, whenever it starts, changes nothing: one line in the running run's log, exit
// status 0, no command, no reboot.
TEST_F(RunGuardTest, SecondRunLeavesOnlyOneLineInTheRunningRunsLog) {
  const std::string first = Upgrader("first"), second = Upgrader("second");
  // The first run is stopped at the point, the second runs to its end, the first goes on.
  const auto second_at = [&](const std::string& wait_for_point) {
    return first + " & a=$!\n" + wait_for_point + "kill -STOP $a\n" + second +
           "\necho second=$?\nkill -CONT $a\nwait $a\necho first=$?\n";
  };
  const std::string kScripts[] = {
      // Started together, in both orders: either may win.
      first + " & a=$!\n" + second + " & b=$!\nwait $a\necho first=$?\nwait $b\necho second=$?\n",
      second + " & b=$!\n" + first + " & a=$!\nwait $a\necho first=$?\nwait $b\necho second=$?\n",
      second_at(kUntilCleanup),
      second_at("until [ -e /tmp/kernel_image ] || ! kill -0 $a; do :; done\n"),  // mid-extraction
  };
  for (const std::string& script : kScripts) {
    SCOPED_TRACE(script);
    // A large kernel image keeps the first run in its extraction long enough to be caught there.
    const std::string kernel = std::string(8 << 20, 'k');
    qx::sim::DeviceSpec spec = RouterSpec(GoodUpgrade(CheckingValidatorBody(), kernel));
    spec.root_size = 96ull << 20;
    ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
    ASSERT_NO_FATAL_FAILURE(RunScript(script));
    if (&script <= &kScripts[1]) {
      EXPECT_TRUE(result_.output == "first=1\nsecond=0\n" ||
                  result_.output == "first=0\nsecond=1\n")
          << result_.output;
    } else {
      EXPECT_EQ("second=0\nfirst=1\n", result_.output);
    }
    ExpectOneCompleteUpgrade(kernel, 1);
  }
}

// A hang-up when the SSH daemons go, the signals a caller's shutdown sends, SIGTERM during the
// cleanup, and the other signals that end or stop a process by default: the run goes on to its
// normal end and reboots.
TEST_F(RunGuardTest, HangUpsAndTerminationRequestsDoNotEndTheRun) {
  const std::string kScenes[] = {
      "while pidof sshd >/dev/null; do :; done\n"
      "kill -HUP $a; kill -INT $a; kill -QUIT $a; kill -PIPE $a\n",
      kUntilCleanup + std::string("kill -TERM $a\n"),
      // Signals whose default action ends or stops a process, from other programs and timers.
      kUntilCleanup + std::string("kill -USR1 $a; kill -USR2 $a; kill -ALRM $a; kill -TSTP $a\n"
                                  "kill -TTOU $a; kill -XFSZ $a; kill -37 $a\n"),
  };
  for (const std::string& scene : kScenes) {
    SCOPED_TRACE(scene);
    ASSERT_NO_FATAL_FAILURE(CreateDevice(RouterSpec(GoodUpgrade())));
    ASSERT_NO_FATAL_FAILURE(RunScript(Upgrader() + " & a=$!\n" + scene + "wait $a\necho $?\n"));
    EXPECT_EQ("1\n", result_.output);
    ExpectOneCompleteUpgrade(kKernel, 0);
  }
}

// The pause after the markers is the driver's own sleep of one whole second (seen by strace in
// the device, so no clock is read).
TEST_F(RunGuardTest, MarkersAreFollowedByAOneSecondPause) {
  qx::sim::DeviceSpec spec = RouterSpec(GoodUpgrade());
  spec.binaries.push_back({"/usr/bin/strace", "/usr/bin/strace"});
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  ASSERT_NO_FATAL_FAILURE(
      RunScript("/usr/bin/strace -E ASAN_OPTIONS=detect_leaks=0 -o /tmp/sleeps -e "
                "trace=nanosleep,clock_nanosleep " +
                Upgrader()));
  EXPECT_NE(std::string::npos, DeviceFile("/tmp/sleeps").find("{tv_sec=1, tv_nsec=0}"));
  ExpectOneCompleteUpgrade(kKernel, 0);
}

// What the run starts gets the default dispositions (the watchdog program dies by SIGTERM, the
// validator by SIGINT) and no claim: a process the validator leaves behind does not keep the
// next run from taking the device.
TEST_F(RunGuardTest, CommandsTheRunStartsStillDieBySignalsAndHoldNoClaim) {
  ASSERT_NO_FATAL_FAILURE(
      RunUpgrader(RouterSpec(GoodUpgrade("sleep 1000 &\npkill -TERM wdprog\nkill -INT $$\n"))));
  ExpectEndedWith(1);
  EXPECT_EQ(std::string(router::kValidationFailedPrefix) + "killed by signal 2", Log().back());
  EXPECT_EQ(SIGTERM, device_->WatchdogProgramSignal());
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice());
  EXPECT_EQ("Unable to locate upgrade file", Log().back());
}

// An E6 leaves the validator and the kernel image under /tmp/; the next run removes them before
// its cleanup measures.
TEST_F(RunGuardTest, StaleStagingFilesAreRemovedBeforeTheCleanupMeasures) {
  std::vector<Member> four =
      UpgradeMembers(CheckingValidatorBody(), std::string(3 << 20, 'k'), kDatabase);
  four.pop_back();
  qx::sim::DeviceSpec spec = RouterSpec(MakeUpgradeFile(four));
  spec.files.push_back({"/var/log/messages.1.gz", "", 3u << 20, 0644, 1700000000});
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  // Free space: 1 MiB over the 22 MiB that the upgrade needs, 2 MiB under it with the leftovers.
  const std::uint64_t ballast = device_->FreeSpace("/") - (23ull << 20);
  ASSERT_TRUE(device_->WriteFile({"/data/ballast", "", ballast, 0644, {}}));
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice());
  const std::vector<std::string> first_run = Log();
  ASSERT_EQ("Unable to extract files: Invalid offset", first_run.back());
  ASSERT_TRUE(DeviceHas("/tmp/kernel_image"));

  // The same root, a good upgrade file.
  ASSERT_TRUE(device_->WriteFile({qx::test::kUpgradeFilePath, GoodUpgrade(), {}, 0644, {}}));
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice());
  const std::vector<std::string> both = Log();
  const std::vector<std::string> second_run(both.begin() + static_cast<long>(first_run.size()),
                                            both.end());
  ASSERT_GE(second_run.size(), 5u);
  EXPECT_EQ((std::vector<std::string>{router::kBannerLine, "Removed stale file /tmp/fs-validator",
                                      "Removed stale file /tmp/kernel_image",
                                      "Running cleanup to allow for upgrade"}),
            std::vector<std::string>(second_run.begin(), second_run.begin() + 4));
  // Its cleanup had nothing to remove; with the leftovers it would have taken the rotated log.
  EXPECT_TRUE(DeviceHas("/var/log/messages.1.gz"));
  EXPECT_EQ(router::kUpgradedLine, router::FinalLine(second_run));
}

// Hard and symbolic links to a file elsewhere, planted at the extraction paths, are removed as
// stale files; the linked file keeps its bytes.
TEST_F(RunGuardTest, LinksPlantedAtTheExtractionPathsNeverReachTheirTarget) {
  qx::sim::DeviceSpec spec = RouterSpec(GoodUpgrade());
  spec.files.push_back({"/etc/canary", "canary bytes\n", {}, 0644, {}});
  spec.symlinks.push_back({"/tmp/filesystem.db", "/etc/canary"});
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  ASSERT_NO_FATAL_FAILURE(
      Prepare("ln /etc/canary /tmp/fs-validator; ln /etc/canary /tmp/kernel_image"));
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice());
  ExpectEndedWith(1);
  const std::vector<std::string> log = Log();
  for (const char* path : {"/tmp/fs-validator", "/tmp/kernel_image", "/tmp/filesystem.db"}) {
    EXPECT_EQ(1u, Count(log, std::string("Removed stale file ") + path)) << path;
  }
  EXPECT_EQ("canary bytes\n", DeviceFile("/etc/canary"));
  EXPECT_EQ(kKernel, DeviceFile(router::kStagedKernel));
}

// Without its fstab line the ramdisk is unmounted but not mounted again: the run says so, the
// validator still decides, and nothing of the upgrade stays in the plain directory beneath.
TEST_F(RunGuardTest, RamdiskThatCannotBeRecreatedKeepsNothingOnTheRootFileSystem) {
  qx::sim::DeviceSpec spec = RouterSpec(GoodUpgrade());
  spec.files.push_back({"/etc/fstab", "", {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec));
  ExpectEndedWith(1);
  ExpectTrace(StagedClosing(true));
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(0u, log.end()[-4].rfind("Upgrade file size ", 0)) << log.end()[-4];
  EXPECT_EQ("Unable to re-create the ramdisk", log.end()[-3]);
  EXPECT_EQ(router::kUpgradedLine, log.end()[-2]);
  EXPECT_FALSE(DeviceHas(router::kStartedMarker)) << "the validator passed";
  EXPECT_EQ(std::vector<std::string>{}, device_->ListDir(router::kRamdisk));
}

}  // namespace
}  // namespace qx::driver_test
