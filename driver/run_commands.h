// The fixed texts of an upgrade run and the pure functions that compose the command lines into
// which a value enters. Nothing here runs a command or touches the device: main runs what these
// give it, and the unit tests pin every text that is composed.
#ifndef QX_DRIVER_RUN_COMMANDS_H_
#define QX_DRIVER_RUN_COMMANDS_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::upgrader::driver {

// The log's two homes: persistent storage between runs, the ramdisk while a run lasts.
constexpr const char kLogIntoRamdiskCommand[] = "mv /var/log/upgrade_log /tmp/ramdisk/upgrade_log";
constexpr const char kLogOutOfRamdiskCommand[] = "mv /tmp/ramdisk/upgrade_log /var/log/upgrade_log";

constexpr const char kBanner[] = "Upg: V0.0.5: Beginning upgrade";
constexpr const char kNoWatchdogSuffix[] = ": No watchdog provided";

// Start markers. The device's start-up scripts look for them; the wait marker is never removed
// by the driver (the ramdisk re-creation hides it).
constexpr const char kMarkUpgradeStartedCommand[] = "touch /etc/upgrade_started";
constexpr const char kStartupWaitMarker[] = "/tmp/ramdisk/vlk-wait-during-startup";
constexpr const char kMarkStartupWaitCommand[] = "touch /tmp/ramdisk/vlk-wait-during-startup";
constexpr const char kUnmarkUpgradeStartedCommand[] = "rm /etc/upgrade_started";
constexpr unsigned int kMarkerPauseSeconds = 1;

// The service stop list, one command line per service, in the order they are stopped. The
// service manager alone gets SIGINT so it can shut down without restarting the others; rows 2,
// 7 and 8 are the auto-start daemons (driver/autostart.h).
constexpr const char* const kServiceStopCommands[] = {
    "pkill -SIGINT service-manager",
    "pkill -9 qx_monitor",
    "pkill -9 rsyslogd",
    "pkill -9 logrotate",
    "pkill -9 lldpd",
    "pkill -9 snmpd",
    "pkill -9 nvlogger",
    "pkill -9 qxsshd",
    "pkill -9 sshd",
    "pkill -9 dnsmasq",
    "pkill -9 pluto",
    "pkill -9 openvpn",
    "pkill -9 tcpdump",
    "pkill -9 zebra",
    "pkill -9 ripd",
    "pkill -9 hostapd",
    "pkill -9 inadyn",
    "pkill -9 diald",
    "pkill -9 pppd",
    "pkill -9 vrrpd",
    "pkill -9 l2tpd",
    "pkill -9 pptp",
    "pkill -9 msmtp",
    "pkill -9 msp-telit",
    "pkill -9 msp-quectel",
};
constexpr std::size_t kServiceStopCount =
    sizeof kServiceStopCommands / sizeof kServiceStopCommands[0];
static_assert(kServiceStopCount == 25, "the router runs 25 services that an upgrade must stop");

// The board gate: the pipeline's exit-code byte is grep's, and grep -qv exits 0 only when some
// line of the identity file does not name board 12 as a whole word.
constexpr const char kBoardGateCommand[] = "cat /sys/kernel/qxfc/board | grep -qv \"\\b12\\b\"";

// 22 MiB: what the staged files need on the root file system.
constexpr unsigned int kRequiredFreeSpace = 0x1600000;

// A second run started while one is in progress writes only this, into the running run's log.
constexpr const char kAnotherRunLine[] = "Another upgrade is in progress";

// The run claim: a private file in a directory of the root file system that only root can
// write (never /tmp or the ramdisk, where every user can create files). It stays between runs;
// only the lock on it claims, and the kernel drops that with the process.
constexpr const char kClaimPath[] = "/etc/qx-upgrader.lock";
// Logged after the banner when the claim could not be made at all; the run goes on.
constexpr const char kClaimUnavailablePrefix[] = "Run claim unavailable: ";

// The ramdisk paths that the run writes through the log writer or a shell redirection, while
// every user can write to the ramdisk until the run closes it (the tmpfs is mounted mode 1777).
constexpr const char* const kRamdiskWrittenPaths[] = {
    "/tmp/ramdisk/upgrade_log",
    kStartupWaitMarker,
    "/tmp/ramdisk/upgrade_log.tmp",
};

// An exception (an allocation that failed) ended the run's work; the closing still runs.
constexpr const char kUpgradeStoppedPrefix[] = "Upgrade stopped: ";

// Before the cleanup measures: a staging file that an earlier run left under /tmp/.
constexpr const char kRemovedStaleFilePrefix[] = "Removed stale file ";

// The ramdisk re-creation left /tmp/ramdisk a plain directory on the root file system.
constexpr const char kRamdiskNotRecreatedLine[] = "Unable to re-create the ramdisk";

// Exit lines.
constexpr const char kWrongBoardLine[] = "This upgrade file only works on 730/830 Rev1 units";
constexpr const char kRunningCleanupLine[] = "Running cleanup to allow for upgrade";
constexpr const char kCleanupFailedLine[] = "Unable to sufficiently cleanup the OS";
constexpr const char kNotFoundLine[] = "Unable to locate upgrade file";
constexpr const char kParseFailedPrefix[] = "Unable to parse file: ";
constexpr const char kExtractFailedPrefix[] = "Unable to extract files: ";
constexpr const char kUpgradedLine[] = "Successfully upgraded firmware\n";

// The directory searched for the upgrade file; the trailing slash is part of the text.
constexpr const char kUpgradeDirectory[] = "/tmp/ramdisk/";

// The path under which an upgrade file entry of kUpgradeDirectory is opened: the directory
// text, a slash and the whole entry name ("/tmp/ramdisk//udNAME"), never cut, so the reader
// opens the very file that was found.
std::string UpgradeFilePath(const std::string& entry_name);

// The reboot goes through the hardware watchdog: the driver issues no other reboot request.
constexpr const char kRebootCommand[] = "watchdog /dev/watchdog -T 5";

// The stale-file sweep for the time `now` (seconds since the epoch, taken as unsigned 32-bit):
// removes every direct entry of /tmp/ named "ud*" except those stamped, right after "ud", with
// the current thousand-second window T or its neighbours T-1 and T+1 (unsigned arithmetic).
// Each match is removed by find itself, one rm per path, so a name holding blanks ("/tmp/ud etc")
// can never be split into other paths relative to the working directory.
std::string ComposeSweepCommand(std::uint32_t now);

// Starts the watchdog program in the background: the argument as given, then " &".
std::string ComposeWatchdogStartCommand(const std::string& watchdog);

// The command that kills the watchdog program: "pkill -9 " and the argument from its sixth
// character on (the five characters of "/tmp/" skipped). Empty, meaning no command, when the
// argument is shorter than five characters: it names no process, and a pkill of some cut text
// could hit an unrelated one.
std::string ComposeWatchdogKillCommand(const std::string& watchdog);

// True when the raw system() status of kBoardGateCommand lets the run go on: the exit-code byte
// (bits 8 to 15) is not zero. A status of -1 (the shell could not be started) has a non-zero
// exit-code byte and passes too.
bool BoardGatePasses(int status);

// The log line for the validator's raw system() status. Only status 0 is a success; every other
// outcome names why, so a failed validation is never logged as an upgrade.
std::string ValidatorVerdictLine(int status);

}  // namespace qx::upgrader::driver

#endif  // QX_DRIVER_RUN_COMMANDS_H_
