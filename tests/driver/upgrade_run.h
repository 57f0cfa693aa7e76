// The names the driver's end-to-end tests and fault matrix use for the shared helpers, kept
// until those callers name the helpers themselves: the upgrader in a device and upgrade files
// (tests/support), the log's lines (sim/host/log_lines.h), the settled reboot records (Device).
#ifndef QX_TESTS_DRIVER_UPGRADE_RUN_H_
#define QX_TESTS_DRIVER_UPGRADE_RUN_H_

#include <string>
#include <vector>

#include "sim/host/device.h"
#include "sim/host/log_lines.h"
#include "tests/support/upgrade_files.h"
#include "tests/support/upgrader_install.h"

namespace qx::driver_test {

using qx::sim::router::LogLines;
using qx::test::AddUpgrader;
using qx::test::CheckingValidatorBody;
using qx::test::KeepRunOutput;
using qx::test::LauncherHostPath;
using qx::test::MakeUpgradeFile;
using qx::test::Member;
using qx::test::UpgradeMembers;
using qx::test::UpgraderArgv;
constexpr const char* const kDeviceUpgrader = qx::sim::router::kUpgrader;

inline std::vector<std::string> SettledRebootRecords(const qx::sim::Device& device) {
  return device.SettledRebootRecords();
}

}  // namespace qx::driver_test

#endif  // QX_TESTS_DRIVER_UPGRADE_RUN_H_
