// Shared by the end-to-end tests and the benchmarks of the driver: putting the upgrader under
// test into a simulated router, making upgrade files, and reading the upgrade log back.
#ifndef QX_TESTS_DRIVER_UPGRADE_RUN_H_
#define QX_TESTS_DRIVER_UPGRADE_RUN_H_

#include <string>
#include <vector>

#include "sim/device.h"

namespace qx::driver_test {

// Where the upgrader lives in the device, and its emulator when one is used.
constexpr const char kDeviceUpgrader[] = "/usr/bin/upgrader";
constexpr const char kDeviceLauncher[] = "/usr/bin/upgrader-launcher";

// The upgrader under test: $QX_UPGRADER or the one built in this tree, and the emulator named
// by $QX_UPGRADER_LAUNCHER (empty: run natively), with the words of $QX_UPGRADER_LAUNCHER_ARGS
// as its options (for qemu-arm-static: "-cpu arm926", "-r 2.6.35.3 -strace", ...).
std::string UpgraderHostPath();
std::string LauncherHostPath();
std::vector<std::string> LauncherArgs();

// Adds the upgrader (and the launcher, if any) to the device's binaries.
void AddUpgrader(qx::sim::DeviceSpec& spec);

// The command line that runs the upgrader with the given arguments, behind the launcher and its
// options if any.
std::vector<std::string> UpgraderArgv(const std::vector<std::string>& args);

// When $QX_UPGRADER_OUTPUT names a host file, appends a heading with the run's name and the
// run's output (the driver writes none itself; under an emulator, say, its -strace lines).
void KeepRunOutput(const std::string& run_name, const std::string& output);

// The device's reboot records once the reboot command has acted. The watchdog applet detaches
// and opens the watchdog device after the upgrader may already have returned, so this waits up
// to three seconds for a first record.
std::vector<std::string> SettledRebootRecords(const qx::sim::Device& device);

// One inner file of an upgrade file.
struct Member {
  std::string name;
  std::string data;
};

// A valid upgrade file holding the members in order, built by udtool's writer.
std::string MakeUpgradeFile(const std::vector<Member>& members);

// The five members of a usable upgrade: two unused ones, then a validator shell script with the
// given body (run as "/bin/sh" script with the kernel image and the database as $1 and $2), the
// kernel image and the file-system database.
std::vector<Member> UpgradeMembers(const std::string& validator_body, const std::string& kernel,
                                   const std::string& database);

// A validator that checks its two arguments (the staged kernel image and database, both
// non-empty) and exits 0, or 3 when they are wrong.
std::string CheckingValidatorBody();

// The entries of an upgrade log with the time stamps removed: one string per line, in order.
// Lines without a stamp (continuations) are kept as they are.
std::vector<std::string> LogLines(const std::string& log);

}  // namespace qx::driver_test

#endif  // QX_TESTS_DRIVER_UPGRADE_RUN_H_
