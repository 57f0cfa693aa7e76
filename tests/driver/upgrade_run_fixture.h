// The end-to-end fixture: a simulated router with the upgrader under test, one run of it, and
// the assertions every exit shares (the command trace around the cleanup, the closing, the
// persistent log).
#ifndef QX_TESTS_DRIVER_UPGRADE_RUN_FIXTURE_H_
#define QX_TESTS_DRIVER_UPGRADE_RUN_FIXTURE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sim/device.h"
#include "tests/driver/upgrade_run.h"

namespace qx::driver_test {

// Shell command texts the tests expect, written out here rather than taken from the driver.
constexpr const char kLogIn[] = "mv /var/log/upgrade_log /tmp/ramdisk/upgrade_log";
constexpr const char kLogOut[] = "mv /tmp/ramdisk/upgrade_log /var/log/upgrade_log";
constexpr const char kBoardGate[] = "cat /sys/kernel/qxfc/board | grep -qv \"\\b12\\b\"";
constexpr const char kKillWatchdog[] = "pkill -9 wdprog";
constexpr const char kReboot[] = "watchdog /dev/watchdog -T 5";
constexpr const char kValidatorRun[] =
    "/tmp/ramdisk/fs-validator /tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db";
constexpr const char kBanner[] = "Upg: V0.0.5: Beginning upgrade";
constexpr const char kUpgradeFile[] = "/tmp/ramdisk/ud1780000123.bin";

class UpgradeRunTest : public ::testing::Test {
 protected:
  // A router ready for an upgrade: board 12, a 64 MiB root, services running, the upgrader
  // installed and the three auto-start daemons in place.
  static qx::sim::DeviceSpec RouterSpec();

  // The same router with an upgrade file in the ramdisk.
  static qx::sim::DeviceSpec RouterWithUpgrade(const std::string& upgrade_file,
                                               const std::string& path = kUpgradeFile);

  // Creates the device and runs the upgrader in it with the given arguments.
  void RunUpgrader(const qx::sim::DeviceSpec& spec,
                   const std::vector<std::string>& args = {qx::sim::Device::kWatchdogProgram},
                   const std::string& cwd = "/");
  void CreateDevice(const qx::sim::DeviceSpec& spec);
  void RunUpgraderInDevice(const std::vector<std::string>& args, const std::string& cwd = "/");

  // The run ended with this exit status and issued exactly one reboot command.
  void ExpectEndedWith(int exit_status) const;

  // The trace: the opening of every run past the argument check, then the cleanup's own
  // commands (none when the board gate fails), then exactly `closing`.
  void ExpectTrace(bool cleanup_ran, const std::vector<std::string>& closing,
                   const std::string& watchdog = qx::sim::Device::kWatchdogProgram) const;

  // The persistent upgrade log after the run, stamps removed.
  std::vector<std::string> Log() const;

  bool DeviceHas(const std::string& path) const { return device_->Exists(path); }
  std::string DeviceFile(const std::string& path) const;

  // The commands every run from the argument check to the board gate runs, in order, with the
  // sweep line for window time `now`.
  static std::vector<std::string> Opening(std::uint32_t now, const std::string& watchdog);

  std::unique_ptr<qx::sim::Device> device_;
  qx::sim::RunResult result_;
  std::uint32_t started_ = 0;  // host time before and after the run, for the sweep's window
  std::uint32_t ended_ = 0;
};

// What every exit past the argument check ends with: the log back to persistent storage, the
// watchdog program killed, the reboot command.
std::vector<std::string> ClosingCommands();

// Re-creating the ramdisk and running the validator (then removing the marker if it passed).
std::vector<std::string> StagingCommands(bool validator_passed);

std::vector<std::string> Concat(std::vector<std::string> first,
                                const std::vector<std::string>& second);

}  // namespace qx::driver_test

#endif  // QX_TESTS_DRIVER_UPGRADE_RUN_FIXTURE_H_
