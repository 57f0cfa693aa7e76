// End-to-end: the unit as it really is around a run, not a friendly lab. A launcher that is not a
// clean shell, an SSH session that the stop list ends, and other users of the unit (uid 65534 of
// the device) who can write to /tmp and to a freshly mounted ramdisk. Every scene must still end
// in a whole upgrade, or in the exit its inputs call for, and the reboot.
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "sim/host/log_lines.h"
#include "sim/host/rootless.h"
#include "tests/driver/upgrade_run_fixture.h"

namespace qx::driver_test {
namespace {

constexpr const char kLauncher[] = "/usr/bin/hostile_launcher";
// The start of a busybox command that another user of the device runs.
constexpr const char kAsOther[] = "/usr/bin/hostile_launcher --user 65534 -- /bin/busybox ";

// False where a rootless simulator's user has no subordinate ids: its devices have root alone.
bool DeviceHasOtherUsers() {
  std::string error;
  const qx::sim::SimulatorIds& ids = qx::sim::CurrentSimulatorIds();
  return !qx::sim::PrepareSimulatorIds(&error) || !ids.rootless || ids.spare > 0;
}
constexpr const char kRootAlone[] =
    "rootless without subordinate ids: the device has no user 65534";

class HostileWorldTest : public UpgradeRunTest {
 protected:
  static qx::sim::DeviceSpec Spec(const std::string& upgrade_file = GoodUpgrade()) {
    qx::sim::DeviceSpec spec = RouterSpec(upgrade_file);
    spec.binaries.push_back({QX_HOSTILE_LAUNCHER, kLauncher});
    spec.files.push_back({"/etc/canary", "canary bytes\n", {}, 0644, {}});
    return spec;
  }

  // A device from `spec`, `prepare` run in it, then the upgrade (a whole one).
  void UpgradeAfter(const qx::sim::DeviceSpec& spec, const std::string& prepare) {
    ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
    ASSERT_NO_FATAL_FAILURE(Prepare(prepare));
    ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice());
    ExpectUpgraded();
  }
};

// What a launcher leaves to its children: none of it reaches the run or what the run starts.
TEST_F(HostileWorldTest, LauncherStateDoesNotReachTheRun) {
  // With SIGCHLD ignored every system() status is -1, which passed the board gate on board 13.
  qx::sim::DeviceSpec board13 = Spec();
  board13.board = "13\n";
  ASSERT_NO_FATAL_FAILURE(CreateDevice(board13));
  ASSERT_NO_FATAL_FAILURE(
      RunScript(Upgrader("run", std::string(kLauncher) + " --ignore-sigchld --") + "; echo $?"));
  EXPECT_EQ("0\n", result_.output);
  EXPECT_EQ("This upgrade file only works on 730/830 Rev1 units", Log().back());
  EXPECT_FALSE(DeviceHas("/tmp/fs-validator"));

  // A umask that would make the extracted validator 0600.
  ASSERT_NO_FATAL_FAILURE(CreateDevice(Spec()));
  ASSERT_NO_FATAL_FAILURE(RunScript(Upgrader("run", std::string(kLauncher) + " --umask 0177 --")));
  ExpectUpgraded();

  // Blocked HUP, INT, TERM and USR1 and a leaked descriptor: the validator sees neither.
  const std::string reporting =
      "grep SigBlk /proc/self/status > /root/validator-env\n"
      "[ -e /proc/$$/fd/7 ] && echo fd 7 open >> /root/validator-env\n" +
      CheckingValidatorBody();
  ASSERT_NO_FATAL_FAILURE(CreateDevice(Spec(GoodUpgrade(reporting))));
  ASSERT_NO_FATAL_FAILURE(
      RunScript(Upgrader("run", std::string(kLauncher) + " --block --leak-fd --")));
  ExpectUpgraded();
  EXPECT_EQ("SigBlk:\t0000000000000000\n", DeviceFile("/root/validator-env"));
}

// Started from an SSH session: its output is a pipe read by sshd, which the stop list kills. A
// validator that prints and a watchdog program that prints every second both live on.
TEST_F(HostileWorldTest, OutputToAnSshSessionThatTheStopListEnds) {
  const std::string validator =
      "sleep 2\n"  // the watchdog program has printed by now
      "i=0; while [ $i -lt 400 ]; do echo out $i; echo err $i >&2; i=$((i+1)); done\n"
      "pidof wdchat > /root/watchdog-alive\n"
      "echo ran to its end > /root/validator-done\n" +
      CheckingValidatorBody();
  qx::sim::DeviceSpec spec = Spec(GoodUpgrade(validator));
  spec.binaries.push_back({QX_HOSTILE_LAUNCHER, "/tmp/wdchat"});  // prints every second
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  std::string upgrader = std::string(kLauncher) + " --output-to-sshd --";
  for (const std::string& word : UpgraderArgv({"/tmp/wdchat"})) upgrader += " " + word;
  // The closing's pkill -9 ends it; init may take a moment to reap it.
  ASSERT_NO_FATAL_FAILURE(RunScript(upgrader + "; echo $?; for i in 1 2 3 4 5 6 7 8 9 10; do\n"
                                               "  pidof wdchat >/dev/null || break; sleep 0.2\n"
                                               "done; pidof wdchat || echo watchdog ended"));
  EXPECT_EQ("1\nwatchdog ended\n", result_.output);
  ExpectUpgraded();
  EXPECT_EQ("ran to its end\n", DeviceFile("/root/validator-done"));
  EXPECT_NE("", DeviceFile("/root/watchdog-alive")) << "the watchdog program lived until the end";
}

// Another user binds every abstract name and locks every file it can open: the run still claims
// the device.
TEST_F(HostileWorldTest, OtherUsersCannotHoldTheRunClaim) {
  if (!DeviceHasOtherUsers()) GTEST_SKIP() << kRootAlone;
  ASSERT_NO_FATAL_FAILURE(CreateDevice(Spec()));
  ASSERT_NO_FATAL_FAILURE(
      RunScript(std::string(kLauncher) +
                " --user 65534 --squat > /root/squat & s=$!\n"
                "until grep -q squatting /root/squat 2>/dev/null; do sleep 0.1; done\n" +
                Upgrader() + "; echo $?; kill $s"));
  EXPECT_EQ("1\n", result_.output);
  ExpectUpgraded();
}

// Objects planted in the ramdisk before the run: a link from the log to /etc/passwd with a header
// text crafted as a passwd line, a FIFO as the log, links at the trimming file and at the wait
// marker. Nothing is written through them, nothing hangs, and the log is whole.
TEST_F(HostileWorldTest, ObjectsPlantedInTheRamdiskAreNeverWrittenThrough) {
  if (!DeviceHasOtherUsers()) GTEST_SKIP() << kRootAlone;
  // A 530 kB log is trimmed by stage 1 through upgrade_log.tmp.
  qx::sim::DeviceSpec trimmed = Spec();
  std::string history;
  while (history.size() < 530000) history += "20240101 00:00:00 - an earlier run's line\n";
  trimmed.files.push_back({router::kUpgradeLog, history, {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(UpgradeAfter(trimmed, std::string(kAsOther) + "ln -s /etc/canary " +
                                                    router::kRamdiskLog + ".tmp; " + kAsOther +
                                                    "ln -s /etc/nologin " + router::kWaitMarker));
  EXPECT_EQ("canary bytes\n", DeviceFile("/etc/canary"));
  EXPECT_FALSE(DeviceHas("/etc/nologin"));
  const std::vector<std::string> trimmed_log = Log();
  EXPECT_LT(trimmed_log.size(), 2100u) << "trimmed to 2000 lines, then the run went on";
  EXPECT_EQ(1, std::count_if(trimmed_log.begin(), trimmed_log.end(), [](const std::string& line) {
              return line.rfind("Clearing upgrade_log because too large. Size: ", 0) == 0;
            }));

  const std::string crafted = MakeUpgradeFile(
      UpgradeMembers(CheckingValidatorBody(), kKernel, kDatabase), "\nx::0:0::/root:/bin/sh");
  qx::sim::DeviceSpec passwd = Spec(crafted);
  passwd.files.push_back({"/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n", {}, 0644, {}});
  ASSERT_NO_FATAL_FAILURE(
      UpgradeAfter(passwd, std::string(kAsOther) + "ln -s /etc/passwd " + router::kRamdiskLog));
  EXPECT_EQ("root:x:0:0:root:/root:/bin/sh\n", DeviceFile("/etc/passwd"));
  struct stat persistent {};
  ASSERT_TRUE(device_->Lstat(router::kUpgradeLog, persistent));
  EXPECT_TRUE(S_ISREG(persistent.st_mode));
  EXPECT_EQ(router::kBannerLine, Log().front());

  ASSERT_NO_FATAL_FAILURE(
      UpgradeAfter(Spec(), std::string(kAsOther) + "mkfifo " + router::kRamdiskLog));
  EXPECT_EQ(router::kBannerLine, Log().front());
}

// A directory tree of another user at an extraction path, and a run claim file that is not a
// private file: the run removes the one, says so of the other, and upgrades.
TEST_F(HostileWorldTest, PlantedDirectoriesAndAnUnsafeClaimFile) {
  if (!DeviceHasOtherUsers()) GTEST_SKIP() << kRootAlone;
  ASSERT_NO_FATAL_FAILURE(UpgradeAfter(
      Spec(), std::string(kAsOther) + "mkdir -p /tmp/kernel_image/deep/er; " + kAsOther +
                  "touch /tmp/kernel_image/deep/er/file; mkdir /etc/qx-upgrader.lock"));
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ((std::vector<std::string>{
                router::kBannerLine,
                "Run claim unavailable: /etc/qx-upgrader.lock: error: Is a directory",
                "Removed stale file /tmp/kernel_image", "Running cleanup to allow for upgrade"}),
            std::vector<std::string>(log.begin(), log.begin() + 4));
}

// The most inner files that fit a 25 MiB ramdisk (all but the five of an upgrade empty): about
// 200,000 records, which the router's memory cannot hold. The reader stops at its bound.
TEST_F(HostileWorldTest, MostInnerFilesThatFitTheRamdiskEndTheParseWithinBoundedMemory) {
  // Empty inner files first: the data sizes meet the total only at the last one, so all of them
  // are walked.
  const std::vector<Member> upgrade = UpgradeMembers(CheckingValidatorBody(), kKernel, kDatabase);
  std::size_t size = 128;
  for (const Member& member : upgrade) size += 128 + member.data.size();
  std::vector<Member> members;
  for (; size + 128 <= (25u << 20); size += 128) members.push_back({"", ""});
  members.insert(members.end(), upgrade.begin(), upgrade.end());
  const std::string file = MakeUpgradeFile(members);
  ASSERT_EQ(size, file.size());
  ASSERT_NO_FATAL_FAILURE(RunUpgrader(Spec(file)));
  ExpectEndedWith(0);
  EXPECT_EQ("Unable to parse file: More than 1024 inner files", Log().back());
#if !defined(__SANITIZE_ADDRESS__)
  // The upgrader's own peak (an emulator's, when one runs it) stays far below what 200,000
  // records would take.
  EXPECT_LT(result_.max_rss_kb, 16 * 1024);
#endif
}

// An allocation that fails while the upgrade file is parsed ends the run's work, not the process:
// the early closing runs and the unit reboots. malloc is told to map every allocation on its own
// (so each one is a mapping), and strace answers ENOMEM to the first mapping after the file is
// opened, to malloc's fallback mapping after it, and to every heap growth from then on.
TEST_F(HostileWorldTest, AnAllocationThatFailsStillEndsInTheReboot) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator grows the heap its own way";
#endif
  if (!LauncherHostPath().empty()) GTEST_SKIP() << "strace would trace the emulator";
  qx::sim::DeviceSpec spec = Spec();
  spec.binaries.push_back({"/usr/bin/strace", "/usr/bin/strace"});
  const std::string strace = "/usr/bin/strace -E GLIBC_TUNABLES=glibc.malloc.mmap_threshold=0 ";
  const std::string upgrader = std::string(router::kUpgrader) + " " + kWatchdog;

  // Calibration: how many heap growths and mappings the run makes before the file is opened.
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  ASSERT_NO_FATAL_FAILURE(
      RunScript(strace + "-o /root/calibration -e trace=brk,mmap,openat " + upgrader));
  std::istringstream calls(DeviceFile("/root/calibration"));
  int brk_before = 0, mmap_before = 0;
  bool opened = false;
  for (std::string line; !opened && std::getline(calls, line);) {
    brk_before += line.rfind("brk(", 0) == 0 ? 1 : 0;
    mmap_before += line.rfind("mmap(", 0) == 0 ? 1 : 0;
    opened = line.find(std::string("\"") + router::kRamdiskPrefix + "/ud1780000123.bin\"") !=
             std::string::npos;
  }
  ASSERT_TRUE(opened);

  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  ASSERT_NO_FATAL_FAILURE(
      RunScript(strace + "-o /root/injected -e trace=brk,mmap -e inject=brk:error=ENOMEM:when=" +
                std::to_string(brk_before + 1) +
                "+ -e inject=mmap:error=ENOMEM:when=" + std::to_string(mmap_before + 1) + ".." +
                std::to_string(mmap_before + 2) + " " + upgrader + "; echo $?"));
  EXPECT_EQ("0\n", result_.output) << DeviceFile("/root/injected");
  EXPECT_EQ(std::vector<std::string>{router::kRebootCommand}, device_->SettledRebootRecords());
  EXPECT_EQ("Upgrade stopped: std::bad_alloc", Log().back());
  EXPECT_TRUE(DeviceHas("/usr/sbin/qxsshd")) << "the early closing restored the daemons";
}

}  // namespace
}  // namespace qx::driver_test
