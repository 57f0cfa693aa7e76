// End-to-end: the real upgrader in a simulated router, one run per case, for every exit E1 to E7
// and the edge cases around them.
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/driver/upgrade_run_fixture.h"

namespace qx::driver_test {
namespace {

using router::kStartedMarker;
using router::kWaitMarker;

class UpgradeExitTest : public UpgradeRunTest {
 protected:
  // Past the argument check: every service stopped (the manager by SIGINT), the watchdog
  // program started, killed and deleted, qxsshd restored, and the markers as given.
  void ExpectTakenOverAndRestored(bool markers_kept) const {
    for (const auto& [name, signal] : device_->ServiceSignals()) {
      EXPECT_EQ(name == "service-manager" ? SIGINT : SIGKILL, signal) << name;
    }
    EXPECT_TRUE(device_->WatchdogProgramStarted());
    EXPECT_EQ(SIGKILL, device_->WatchdogProgramSignal());
    EXPECT_FALSE(DeviceHas(kWatchdog));
    EXPECT_TRUE(DeviceHas("/usr/sbin/qxsshd"));
    EXPECT_FALSE(DeviceHas("/usr/sbin/qxsshd.disabled"));
    EXPECT_EQ(markers_kept, DeviceHas(kStartedMarker));
    EXPECT_EQ(markers_kept, DeviceHas(kWaitMarker));
  }
};

TEST_F(UpgradeExitTest, E1WithoutWatchdogOnlyLogsAndReboots) {
  qx::sim::DeviceSpec spec = RouterSpec();
  spec.files.push_back(
      {"/var/log/upgrade_log", "20240101 00:00:00 - an earlier run\n", {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec, {}));
  ExpectEndedWith(0);
  EXPECT_EQ((std::vector<std::string>{router::kLogIntoRamdisk, router::kLogOutOfRamdisk,
                                      router::kRebootCommand}),
            result_.trace);
  EXPECT_EQ((std::vector<std::string>{"an earlier run", router::kBannerLine,
                                      std::string(router::kUpgrader) + ": No watchdog provided"}),
            Log());
  EXPECT_FALSE(DeviceHas(kStartedMarker));
  EXPECT_FALSE(DeviceHas(kWaitMarker));
  for (const auto& [name, signal] : device_->ServiceSignals()) EXPECT_EQ(0, signal) << name;
  EXPECT_FALSE(device_->WatchdogProgramStarted());
  EXPECT_TRUE(DeviceHas(kWatchdog));
  EXPECT_TRUE(DeviceHas("/usr/sbin/qxsshd.disabled")) << "E1 restores no daemon";
}

TEST_F(UpgradeExitTest, E2BoardGateAcceptsOnlyBoardTwelve) {
  // The board file's content (nullopt: none), and whether the gate lets the run on.
  const std::pair<std::optional<std::string>, bool> kCases[] = {
      {"12\n", true}, {"13\n", false}, {"112\n", false}, {std::nullopt, true}, {"", true}};
  for (const auto& [board, passes] : kCases) {
    SCOPED_TRACE(board.value_or("no board file"));
    qx::sim::DeviceSpec spec = RouterSpec();
    spec.board = board;
    ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec));
    ExpectEndedWith(0);
    ExpectTrace();
    ExpectTakenOverAndRestored(true);
    if (passes) {  // on to the cleanup, then no upgrade file
      EXPECT_EQ("Unable to locate upgrade file", Log().back());
    } else {
      EXPECT_EQ((std::vector<std::string>{router::kBannerLine,
                                          "This upgrade file only works on 730/830 Rev1 units"}),
                Log());
    }
  }
}

// E3 to E6, with decoys beside the upgrade file whose names do not begin with "ud". Each ends
// with its line last, the router taken over and restored, markers and upgrade file kept.
TEST_F(UpgradeExitTest, E3ToE6LogTheirLineRestoreAndReboot) {
  std::vector<Member> four = UpgradeMembers(CheckingValidatorBody(), kKernel, kDatabase);
  four.pop_back();
  const std::string good = GoodUpgrade();
  std::string damaged = good;
  damaged[damaged.size() - 3] ^= 0x01;  // a byte of the database, the last inner file
  struct Case {
    const char* what;
    std::optional<std::string> upgrade;  // at kUpgradeFile ("": none); nullopt: a dangling link
    std::uint64_t free_space;  // 0: as built; else ballast (which no stage touches) leaves this
    int exit_status;           // 1 (E6): the validator and the kernel image stay under /tmp/
    const char* last_line;
  };
  const Case kCases[] = {
      {"E3", good, 8ull << 20, 0, "Unable to sufficiently cleanup the OS"},
      {"E4", "", 0, 0, "Unable to locate upgrade file"},
      {"E5", damaged, 0, 0, "Unable to parse file: Inner header MD5 check failed"},
      {"E5, named with the double slash", std::nullopt, 0, 0,
       "Unable to parse file: Couldn't open file /tmp/ramdisk//ud1780000123.bin: error: No such "
       "file or directory"},
      {"E6", MakeUpgradeFile(four), 0, 1, "Unable to extract files: Invalid offset"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    qx::sim::DeviceSpec spec = RouterSpec(c.upgrade.value_or(""));
    if (!c.upgrade) spec.symlinks.push_back({kUpgradeFile, "/tmp/ramdisk/missing"});
    for (const char* decoy : {"/tmp/ramdisk/xud1780000123", "/tmp/ramdisk/UD1780000123"}) {
      spec.files.push_back({decoy, good, {}, 0644, {}});
    }
    ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
    if (c.free_space != 0) {
      ASSERT_TRUE(device_->WriteFile(
          {"/data/ballast", "", device_->FreeSpace("/") - c.free_space, 0644, {}}));
    }
    // A second argument changes nothing.
    ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice({kWatchdog, "/tmp/ignored-argument"}));
    ExpectEndedWith(c.exit_status);
    ExpectTrace();
    const std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(c.last_line, log.back());
    ExpectTakenOverAndRestored(true);
    EXPECT_EQ(c.upgrade != "", DeviceHas(kUpgradeFile));
    for (const char* path : {"/tmp/fs-validator", "/tmp/kernel_image"}) {
      EXPECT_EQ(c.exit_status == 1, DeviceHas(path)) << path;
    }
    EXPECT_FALSE(DeviceHas("/tmp/filesystem.db"));
  }
}

// The reference run (tests/golden/e7_run.txt); $QX_GOLDEN_RUN_OUT: write it there instead of
// comparing (tests/golden/regenerate.sh).
TEST_F(UpgradeExitTest, E7ValidatedUpgradeIsStagedAndTheMarkerCleared) {
  const char* golden_out = std::getenv("QX_GOLDEN_RUN_OUT");
  if (golden_out != nullptr && *golden_out != '\0') {
    ASSERT_NO_FATAL_FAILURE(WriteGoldenRun(RouterSpec(GoodUpgrade()), golden_out));
  } else {
    ASSERT_NO_FATAL_FAILURE(RunUpgrader(RouterSpec(GoodUpgrade())));
    // One log across the ramdisk re-creation, the first lines and the verdict both in it.
    ExpectGoldenRun();
  }
  ExpectEndedWith(1);
  ExpectTakenOverAndRestored(false);  // the wait marker hidden by the new ramdisk
  EXPECT_FALSE(DeviceHas(kUpgradeFile));
  EXPECT_EQ(kKernel, DeviceFile(router::kStagedKernel));
  EXPECT_EQ(kDatabase, DeviceFile(router::kStagedDatabase));
  EXPECT_TRUE(DeviceHas(router::kStagedValidator));
  for (const char* moved : {"/tmp/fs-validator", "/tmp/kernel_image", "/tmp/filesystem.db"}) {
    EXPECT_FALSE(DeviceHas(moved)) << moved;
  }
}

// How the validator's status reads is the unit tier's table; here, that a failure is no success.
TEST_F(UpgradeExitTest, E7FailedValidationIsNeverLoggedAsSuccess) {
  std::vector<Member> members = UpgradeMembers("", kKernel, kDatabase);
  members[2].data = "#!/bin/sh\nexit 1\n";
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(RouterSpec(MakeUpgradeFile(members))));
  ExpectEndedWith(1);
  ExpectTrace(StagedClosing(false));
  EXPECT_EQ("Firmware validation failed: validator exit status 1", Log().back());
  EXPECT_TRUE(DeviceHas(kStartedMarker)) << "an unvalidated upgrade keeps the marker";
  EXPECT_FALSE(DeviceHas(kUpgradeFile));
}

// Of two ud entries, the first that readdir returns is the one used.
TEST_F(UpgradeExitTest, FirstUdEntryInDirectoryOrderIsUsed) {
  std::string damaged = GoodUpgrade();
  damaged[damaged.size() - 3] ^= 0x01;
  qx::sim::DeviceSpec spec = RouterSpec();
  spec.files.push_back({"/tmp/ramdisk/udA", GoodUpgrade(), {}, 0644, {}});
  spec.files.push_back({"/tmp/ramdisk/udB", damaged, {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  const qx::sim::RunResult listing = device_->Run({"/bin/ls", "-f", "/tmp/ramdisk"});
  ASSERT_TRUE(listing.exited) << listing.output;
  const bool a_first = listing.output.find("udA") < listing.output.find("udB");
  ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice());
  // A good udA is gone with the upgrade, and the new ramdisk hides udB.
  EXPECT_EQ(a_first ? router::kUpgradedLine : "Unable to parse file: Inner header MD5 check failed",
            Log().end()[a_first ? -2 : -1]);
  EXPECT_EQ(!a_first, DeviceHas("/tmp/ramdisk/udA"));
  EXPECT_EQ(!a_first, DeviceHas("/tmp/ramdisk/udB"));
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
  const std::vector<std::string> kKept = {"/tmp/ud" + window + "-current", "/etc/keep",
                                          "/root/work/etc/keep", "/root/udstale"};
  for (const std::string& path : kKept) spec.files.push_back({path, "", {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(spec, {kWatchdog}, "/root/work"));
  ExpectEndedWith(0);
  for (const std::string& path : kStale) EXPECT_FALSE(DeviceHas(path)) << path;
  EXPECT_FALSE(DeviceHas("/tmp/udlink"));
  for (const std::string& path : kKept) EXPECT_TRUE(DeviceHas(path)) << path;
}

// An extraction write that writes nothing (strace answers 0 to the first write to the
// validator's file) is reported as such, not with an error number.
TEST_F(UpgradeExitTest, ExtractionWriteOfNothingIsReportedAsSuch) {
  qx::sim::DeviceSpec spec = RouterSpec(GoodUpgrade());
  spec.binaries.push_back({"/usr/bin/strace", "/usr/bin/strace"});
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  // Leak checking cannot work under ptrace: off for sanitizer builds, nothing for the others.
  std::vector<std::string> argv = {"/usr/bin/strace", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o",
                                   "/dev/null",       "-P", "/tmp/fs-validator",           "-e",
                                   "trace=write",     "-e", "inject=write:retval=0"};
  for (const std::string& word : UpgraderArgv({kWatchdog})) argv.push_back(word);
  result_ = device_->Run(argv, std::chrono::seconds(60));
  ExpectEndedWith(1);
  EXPECT_EQ(
      "Unable to extract files: Unable to write extraction file /tmp/fs-validator: error: no "
      "bytes written",
      Log().back());
}

// A root file system that the validator fills up: the log cannot be moved back, and the run
// still reboots the router with its late exit status; the log stays whole in the ramdisk.
TEST_F(UpgradeExitTest, FullRootFileSystemAtTheClosingStillReboots) {
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(
      RouterSpec(GoodUpgrade("dd if=/dev/zero of=/data-fill bs=65536 >/dev/null 2>&1\nexit 0\n"))));
  ExpectEndedWith(1);
  std::string log;
  ASSERT_TRUE(device_->ReadFile("/tmp/ramdisk/upgrade_log", log));
  EXPECT_EQ(router::kUpgradedLine, LogLines(log).end()[-2]);
}

}  // namespace
}  // namespace qx::driver_test
