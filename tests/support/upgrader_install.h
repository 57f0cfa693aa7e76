// The upgrader under test in a simulated router: the binary ($QX_UPGRADER, else the one built
// here), behind an emulator when $QX_UPGRADER_LAUNCHER names one, and its output kept for a
// look after the run.
#ifndef QX_TESTS_SUPPORT_UPGRADER_INSTALL_H_
#define QX_TESTS_SUPPORT_UPGRADER_INSTALL_H_

#include <string>
#include <vector>

#include "sim/host/device.h"

namespace qx::test {

// $QX_UPGRADER_LAUNCHER: an emulator to run the upgrader behind (empty: run natively).
std::string LauncherHostPath();

// Adds the upgrader and the launcher, if any, to the device at the router profile's paths.
void AddUpgrader(qx::sim::DeviceSpec& spec);

// The upgrader's command line, behind the launcher and the words of $QX_UPGRADER_LAUNCHER_ARGS.
std::vector<std::string> UpgraderArgv(const std::vector<std::string>& args);

// Appends "=== run: NAME" and the run's output (say, the emulator's -strace lines) to the file
// that $QX_UPGRADER_OUTPUT names, if any.
void KeepRunOutput(const std::string& run_name, const std::string& output);

}  // namespace qx::test

#endif  // QX_TESTS_SUPPORT_UPGRADER_INSTALL_H_
