// The router as the harness knows it: the services and their stop list, the board file, the
// ramdisk's fstab line, the watchdog node, the kernel banner, the device paths and the texts a
// run writes that the harness reads back. The simulator builds its devices from these facts, and
// the tests, the benchmarks and the fault matrix compare the upgrader's run against them.
//
// Spelled here once, and on purpose apart from driver/: a test never takes its expected value
// from the code under test. A change to the router (a new service, a new path) is made here and
// in the driver, and the tests say whether the two agree.
#ifndef QX_SIM_HOST_ROUTER_PROFILE_H_
#define QX_SIM_HOST_ROUTER_PROFILE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace qx::sim::router {

// Device paths.
constexpr const char kRamdisk[] = "/tmp/ramdisk";  // a tmpfs of its own, in /etc/fstab
constexpr const char kRamdiskPrefix[] = "/tmp/ramdisk/";
constexpr const char kUpgradeLog[] = "/var/log/upgrade_log";      // between runs
constexpr const char kRamdiskLog[] = "/tmp/ramdisk/upgrade_log";  // during a run
constexpr const char kBoardFile[] = "/sys/kernel/qxfc/board";
constexpr const char kBoardDirectory[] = "/sys/kernel/qxfc";
constexpr const char kWatchdogNode[] = "/dev/watchdog";
// The markers a run leaves for the start-up scripts: the wait marker in the ramdisk (which its
// re-creation hides), and the started marker, from the run's start until its validator passed.
constexpr const char kWaitMarker[] = "/tmp/ramdisk/vlk-wait-during-startup";
constexpr const char kStartedMarker[] = "/etc/upgrade_started";
constexpr const char kUpgrader[] = "/usr/bin/upgrader";  // where the harness installs it
constexpr const char kUpgraderLauncher[] = "/usr/bin/upgrader-launcher";  // an emulator, if any

// The validator and what it checks, as the upgrader stages them in the ramdisk, and the command
// it runs them with.
constexpr const char kStagedValidator[] = "/tmp/ramdisk/fs-validator";
constexpr const char kStagedKernel[] = "/tmp/ramdisk/kernel_image";
constexpr const char kStagedDatabase[] = "/tmp/ramdisk/filesystem.db";
constexpr const char kValidatorCommand[] =
    "/tmp/ramdisk/fs-validator /tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db";

// The supported board's identity file, and the ramdisk's line of /etc/fstab.
constexpr const char kBoard[] = "12\n";
constexpr const char kFstabLine[] = "tmpfs /tmp/ramdisk tmpfs defaults 0 0\n";

// The router's kernel release (its modules' directory under /lib/modules) and its /proc/version.
constexpr const char kKernelRelease[] = "2.6.35.3-00295-gbbbf593";
constexpr const char kKernelBanner[] =
    "Linux version 2.6.35.3-00295-gbbbf593 (builder@qx-build) (gcc version 4.4.4 (GCC) ) "
    "#1 PREEMPT Tue Mar 5 10:00:00 UTC 2024\n";

// The 25 services of the stop list, in its order, by process name.
extern const std::vector<std::string> kServiceNames;

// The stop list's commands: the first service is asked to stop (SIGINT), the others killed.
std::vector<std::string> StopListCommands();

// The sweep of stale upgrade files in /tmp for a run at `now` (seconds since the epoch): it
// spares the thousand-second window of that time and its two neighbours.
std::string SweepCommand(std::uint32_t now);

// Shell commands of every run, and the one reboot record it leaves.
constexpr const char kBoardGateCommand[] = "cat /sys/kernel/qxfc/board | grep -qv \"\\b12\\b\"";
constexpr const char kLogIntoRamdisk[] = "mv /var/log/upgrade_log /tmp/ramdisk/upgrade_log";
constexpr const char kLogOutOfRamdisk[] = "mv /tmp/ramdisk/upgrade_log /var/log/upgrade_log";
constexpr const char kRebootCommand[] = "watchdog /dev/watchdog -T 5";

// Log lines: the first of every run, and the validator's verdicts (the last of a late exit).
constexpr const char kBannerLine[] = "Upg: V0.0.5: Beginning upgrade";
constexpr const char kUpgradedLine[] = "Successfully upgraded firmware";
constexpr const char kValidationFailedPrefix[] = "Firmware validation failed: validator ";

}  // namespace qx::sim::router

#endif  // QX_SIM_HOST_ROUTER_PROFILE_H_
