// The end-to-end fixture: a simulated router with the upgrader under test, a run of it, and what
// every exit shares (the command trace around the cleanup, the closing, the persistent log).
#ifndef QX_TESTS_DRIVER_UPGRADE_RUN_FIXTURE_H_
#define QX_TESTS_DRIVER_UPGRADE_RUN_FIXTURE_H_

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sim/host/device.h"
#include "tests/driver/upgrade_run.h"

namespace qx::driver_test {

// Command texts and log lines, written out here rather than taken from the driver.
constexpr const char kLogIn[] = "mv /var/log/upgrade_log /tmp/ramdisk/upgrade_log";
constexpr const char kLogOut[] = "mv /tmp/ramdisk/upgrade_log /var/log/upgrade_log";
constexpr const char kReboot[] = "watchdog /dev/watchdog -T 5";
constexpr const char kBanner[] = "Upg: V0.0.5: Beginning upgrade";
constexpr const char kUpgraded[] = "Successfully upgraded firmware";
constexpr const char kUpgradeFile[] = "/tmp/ramdisk/ud1780000123.bin";
constexpr const char kWatchdog[] = "/tmp/wdprog";
constexpr const char kKernel[] = "kernel image bytes\n";
constexpr const char kDatabase[] = "file-system database\n";

inline std::string GoodUpgrade(const std::string& validator_body = CheckingValidatorBody(),
                               const std::string& kernel = kKernel) {
  return MakeUpgradeFile(UpgradeMembers(validator_body, kernel, kDatabase));
}

// What every exit past the argument check ends with.
inline std::vector<std::string> Closing() { return {kLogOut, "pkill -9 wdprog", kReboot}; }

// Re-creating the ramdisk, running the validator (then clearing the marker if it passed), and
// the closing.
inline std::vector<std::string> StagedClosing(bool validator_passed) {
  std::vector<std::string> commands = {
      kLogOut,
      "umount /tmp/ramdisk/",
      "mount -t tmpfs -o size=25M /tmp/ramdisk/",
      kLogIn,
      "mv /tmp/fs-validator /tmp/ramdisk/fs-validator",
      "mv /tmp/kernel_image /tmp/ramdisk/kernel_image",
      "mv /tmp/filesystem.db /tmp/ramdisk/filesystem.db",
      "/tmp/ramdisk/fs-validator /tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db"};
  if (validator_passed) commands.push_back("rm /etc/upgrade_started");
  for (const std::string& command : Closing()) commands.push_back(command);
  return commands;
}

// A word for the device shell, in single quotes.
inline std::string ShellWord(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class UpgradeRunTest : public ::testing::Test {
 protected:
  // A router ready for an upgrade (board 12, a 64 MiB root, services running) with the upgrader
  // and the auto-start daemons, qxsshd renamed aside as an interrupted upgrade leaves it.
  static qx::sim::DeviceSpec RouterSpec(const std::string& upgrade_file = "") {
    qx::sim::DeviceSpec spec;
    AddUpgrader(spec);
    for (const char* daemon : {"/sbin/qx_monitor", "/usr/sbin/qxsshd.disabled", "/sbin/nvlogger"}) {
      spec.files.push_back({daemon, "#!/bin/sh\n", {}, 0755, {}});
    }
    spec.directories.push_back("/var/log");
    if (!upgrade_file.empty()) spec.files.push_back({kUpgradeFile, upgrade_file, {}, 0644, {}});
    return spec;
  }

  void CreateDevice(const qx::sim::DeviceSpec& spec) {
    // An emulator copied into the device takes root space: the root grows by its size.
    qx::sim::DeviceSpec sized = spec;
    struct stat launcher {};
    if (!LauncherHostPath().empty() && ::stat(LauncherHostPath().c_str(), &launcher) == 0) {
      sized.root_size += static_cast<std::uint64_t>(launcher.st_size);
    }
    std::string error;
    device_ = qx::sim::Device::Create(sized, &error);
    ASSERT_NE(nullptr, device_) << error;
  }

  // The upgrader replaces a pipe as its output with /dev/null, so its output (an emulator's
  // -strace lines) goes to a regular file; the shell execs it, so the result is the upgrader's.
  void RunUpgraderInDevice(const std::vector<std::string>& args = {kWatchdog},
                           const std::string& cwd = "/") {
    std::string command = "exec";
    for (const std::string& word : UpgraderArgv(args)) command += " " + ShellWord(word);
    started_ = static_cast<std::uint32_t>(std::time(nullptr));
    result_ = device_->Run({"/bin/busybox", "sh", "-c", command + " >/root/upgrader.out 2>&1"},
                           std::chrono::seconds(60), cwd);
    ended_ = static_cast<std::uint32_t>(std::time(nullptr));
    (void)device_->ReadFile("/root/upgrader.out", result_.output);
    KeepRunOutput(::testing::UnitTest::GetInstance()->current_test_info()->name(), result_.output);
    ASSERT_TRUE(result_.started) << result_.error;
    ASSERT_FALSE(result_.timed_out) << ::testing::PrintToString(result_.trace);
  }

  void RunUpgrader(const qx::sim::DeviceSpec& spec,
                   const std::vector<std::string>& args = {kWatchdog},
                   const std::string& cwd = "/") {
    ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
    RunUpgraderInDevice(args, cwd);
  }

  // The upgrader's command line for the device shell, behind `launcher` (words of the device
  // shell); its output goes to a file of its own (kept for the emulator's system-call listing,
  // if asked for).
  static std::string Upgrader(const std::string& name = "run", const std::string& launcher = "") {
    std::string command = launcher.empty() ? "" : launcher + " ";
    for (const std::string& word : UpgraderArgv({kWatchdog})) command += word + " ";
    return command + name + " >/root/" + name + ".out 2>&1";
  }

  // Runs a scene: a busybox shell script in the device (not the traced /bin/sh, so the trace
  // holds the upgraders' commands alone).
  void RunScript(const std::string& script) {
    started_ = static_cast<std::uint32_t>(std::time(nullptr));
    result_ = device_->Run({"/bin/busybox", "sh", "-c", script}, std::chrono::seconds(90));
    ended_ = static_cast<std::uint32_t>(std::time(nullptr));
    std::string outputs;  // the upgraders' own, shown when the scene did not end
    for (const std::string& name : device_->ListDir("/root")) {
      if (name.size() < 4 || name.compare(name.size() - 4, 4, ".out") != 0) continue;
      outputs += "--- " + name + "\n" + DeviceFile("/root/" + name);
      KeepRunOutput(
          std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "/" + name,
          DeviceFile("/root/" + name));
    }
    ASSERT_TRUE(result_.started) << result_.error;
    ASSERT_FALSE(result_.timed_out)
        << result_.output << outputs << DeviceFile("/tmp/ramdisk/upgrade_log");
    ASSERT_TRUE(result_.exited) << result_.output;
  }

  // The run ended with this status and issued exactly one reboot.
  void ExpectEndedWith(int exit_status) const {
    ASSERT_TRUE(result_.exited) << "killed by signal " << result_.term_signal;
    EXPECT_EQ(exit_status, result_.exit_status);
    EXPECT_EQ(std::vector<std::string>{kReboot}, SettledRebootRecords(*device_));
  }

  // The opening of every run past the argument check, cleanup commands only, then `closing`.
  void ExpectTrace(const std::vector<std::string>& closing = Closing()) const {
    const std::vector<std::string>& trace = result_.trace;
    SCOPED_TRACE(::testing::PrintToString(trace));
    std::vector<std::string> opening = {kLogIn, "touch /etc/upgrade_started",
                                        "touch /tmp/ramdisk/vlk-wait-during-startup"};
    for (const std::string& command : qx::sim::router::StopListCommands()) {
      opening.push_back(command);
    }
    // A run may straddle two of the sweep's windows.
    const auto sweep = qx::sim::router::SweepCommand;
    const std::size_t at = opening.size();
    opening.push_back(trace.size() > at && trace[at] == sweep(ended_) ? sweep(ended_)
                                                                      : sweep(started_));
    opening.push_back(std::string(kWatchdog) + " &");
    opening.push_back(qx::sim::router::kBoardGateCommand);
    ASSERT_GE(trace.size(), opening.size() + closing.size());
    EXPECT_EQ(opening, std::vector<std::string>(trace.begin(), trace.begin() + opening.size()));
    EXPECT_EQ(closing, std::vector<std::string>(trace.end() - closing.size(), trace.end()));
    for (auto command = trace.begin() + opening.size(); command != trace.end() - closing.size();
         ++command) {
      bool cleanup = false;
      for (const char* prefix :
           {"rm -rf ", "cat /dev/null > ", "tail -n 2000 ", "mv /tmp/ramdisk/upgrade_log.tmp "}) {
        cleanup = cleanup || command->rfind(prefix, 0) == 0;
      }
      EXPECT_TRUE(cleanup) << *command;
    }
  }

  // The persistent upgrade log after the run, stamps removed.
  std::vector<std::string> Log() const {
    std::string log;
    EXPECT_TRUE(device_->ReadFile("/var/log/upgrade_log", log)) << "the log is back in /var/log";
    EXPECT_FALSE(device_->Exists("/tmp/ramdisk/upgrade_log")) << "and not left in the ramdisk";
    return LogLines(log);
  }

  bool DeviceHas(const std::string& path) const { return device_->Exists(path); }

  std::string DeviceFile(const std::string& path) const {
    std::string content;
    EXPECT_TRUE(device_->ReadFile(path, content)) << path;
    return content;
  }

  std::unique_ptr<qx::sim::Device> device_;
  qx::sim::RunResult result_;
  std::uint32_t started_ = 0;  // host time before and after the run, for the sweep's window
  std::uint32_t ended_ = 0;
};

}  // namespace qx::driver_test

#endif  // QX_TESTS_DRIVER_UPGRADE_RUN_FIXTURE_H_
