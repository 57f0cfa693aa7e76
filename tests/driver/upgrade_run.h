// Shared by the end-to-end tests, the fault matrix and the benchmarks of the driver: the upgrader
// under test in a simulated router, upgrade files, and the upgrade log read back.
#ifndef QX_TESTS_DRIVER_UPGRADE_RUN_H_
#define QX_TESTS_DRIVER_UPGRADE_RUN_H_

#include <string>
#include <vector>

#include "sim/host/device.h"

namespace qx::driver_test {

constexpr const char kDeviceUpgrader[] = "/usr/bin/upgrader";
constexpr const char kDeviceLauncher[] = "/usr/bin/upgrader-launcher";

// $QX_UPGRADER_LAUNCHER: an emulator to run the upgrader behind (empty: run natively).
std::string LauncherHostPath();

// Adds the upgrader ($QX_UPGRADER or the one built here) and the launcher, if any, to the device.
void AddUpgrader(qx::sim::DeviceSpec& spec);

// The upgrader's command line, behind the launcher and the words of $QX_UPGRADER_LAUNCHER_ARGS.
std::vector<std::string> UpgraderArgv(const std::vector<std::string>& args);

// Appends "=== run: NAME" and the run's output (say, the emulator's -strace lines) to the file
// that $QX_UPGRADER_OUTPUT names, if any.
void KeepRunOutput(const std::string& run_name, const std::string& output);

// The reboot records; the watchdog applet detaches, so this waits up to three seconds for one.
std::vector<std::string> SettledRebootRecords(const qx::sim::Device& device);

struct Member {
  std::string name;
  std::string data;
};

// A valid upgrade file holding the members in order, built by udtool's writer.
std::string MakeUpgradeFile(const std::vector<Member>& members,
                            const std::string& upgrade_name = "Router firmware");

// Two unused members, a "/bin/sh" validator with this body (the kernel image and the database
// as $1 and $2), the kernel image and the file-system database.
std::vector<Member> UpgradeMembers(const std::string& validator_body, const std::string& kernel,
                                   const std::string& database);

// Exits 0 when its arguments are the staged kernel image and database, both non-empty, else 3.
std::string CheckingValidatorBody();

// The log's lines in order, time stamps removed (continuation lines kept as they are).
std::vector<std::string> LogLines(const std::string& log);

}  // namespace qx::driver_test

#endif  // QX_TESTS_DRIVER_UPGRADE_RUN_H_
