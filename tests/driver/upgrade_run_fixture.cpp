#include "tests/driver/upgrade_run_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace qx::driver_test {
namespace {

// The commands a cleanup may run; none of them is the driver's own.
bool IsCleanupCommand(const std::string& command) {
  for (const char* prefix :
       {"rm -rf ", "cat /dev/null > ", "tail -n 2000 ", "mv /tmp/ramdisk/upgrade_log.tmp "}) {
    if (command.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

}  // namespace

std::vector<std::string> Concat(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

std::vector<std::string> ClosingCommands() { return {kLogOut, kKillWatchdog, kReboot}; }

std::vector<std::string> StagingCommands(bool validator_passed) {
  std::vector<std::string> commands = {
      kLogOut,
      "umount /tmp/ramdisk/",
      "mount -t tmpfs -o size=25M /tmp/ramdisk/",
      kLogIn,
      "mv /tmp/fs-validator /tmp/ramdisk/fs-validator",
      "mv /tmp/kernel_image /tmp/ramdisk/kernel_image",
      "mv /tmp/filesystem.db /tmp/ramdisk/filesystem.db",
      kValidatorRun,
  };
  if (validator_passed) commands.push_back("rm /etc/upgrade_started");
  return commands;
}

qx::sim::DeviceSpec UpgradeRunTest::RouterSpec() {
  qx::sim::DeviceSpec spec;
  AddUpgrader(spec);
  for (const char* daemon : {"/sbin/qx_monitor", "/usr/sbin/qxsshd", "/sbin/nvlogger"}) {
    spec.files.push_back({daemon, std::string("#!/bin/sh\n# ") + daemon + "\n", {}, 0755, {}});
  }
  spec.directories.push_back("/var/log");
  return spec;
}

qx::sim::DeviceSpec UpgradeRunTest::RouterWithUpgrade(const std::string& upgrade_file,
                                                      const std::string& path) {
  qx::sim::DeviceSpec spec = RouterSpec();
  spec.files.push_back({path, upgrade_file, {}, 0644, {}});
  return spec;
}

void UpgradeRunTest::RunUpgrader(const qx::sim::DeviceSpec& spec,
                                 const std::vector<std::string>& args, const std::string& cwd) {
  ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
  RunUpgraderInDevice(args, cwd);
}

void UpgradeRunTest::CreateDevice(const qx::sim::DeviceSpec& spec) {
  // An emulator copied into the device (11 MB for qemu-arm-static) takes root space that a
  // native run does not: the root grows by its size, so every run sees the free space its test
  // chose and a small root still fits the emulator.
  qx::sim::DeviceSpec sized = spec;
  struct stat launcher {};
  if (!LauncherHostPath().empty() && ::stat(LauncherHostPath().c_str(), &launcher) == 0) {
    sized.root_size += static_cast<std::uint64_t>(launcher.st_size);
  }
  std::string error;
  device_ = qx::sim::Device::Create(sized, &error);
  ASSERT_NE(nullptr, device_) << error;
}

void UpgradeRunTest::RunUpgraderInDevice(const std::vector<std::string>& args,
                                         const std::string& cwd) {
  started_ = static_cast<std::uint32_t>(std::time(nullptr));
  result_ = device_->Run(UpgraderArgv(args), std::chrono::seconds(60), cwd);
  KeepRunOutput(::testing::UnitTest::GetInstance()->current_test_info()->name(), result_.output);
  ended_ = static_cast<std::uint32_t>(std::time(nullptr));
  ASSERT_TRUE(result_.started) << result_.error;
  ASSERT_FALSE(result_.timed_out) << "trace:\n" << Joined(result_.trace);
}

void UpgradeRunTest::ExpectEndedWith(int exit_status) const {
  ASSERT_TRUE(result_.exited) << "killed by signal " << result_.term_signal;
  EXPECT_EQ(exit_status, result_.exit_status);
  EXPECT_EQ(std::vector<std::string>{kReboot}, SettledRebootRecords(*device_));
}

std::vector<std::string> UpgradeRunTest::Opening(std::uint32_t now, const std::string& watchdog) {
  std::vector<std::string> commands = {kLogIn, "touch /etc/upgrade_started",
                                       "touch /tmp/ramdisk/vlk-wait-during-startup"};
  // The stop list, from the simulator's own list of the router's services.
  for (std::size_t i = 0; i < qx::sim::kServiceNames.size(); ++i) {
    commands.push_back((i == 0 ? "pkill -SIGINT " : "pkill -9 ") + qx::sim::kServiceNames[i]);
  }
  // The sweep spares the entries stamped with the current thousand-second window and the two
  // next to it.
  const std::uint32_t window = now / 1000;
  commands.push_back("find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud" + std::to_string(window) +
                     "*\" ! -name \"ud" + std::to_string(window - 1) + "*\" ! -name \"ud" +
                     std::to_string(window + 1) + "*\" -exec rm -rf {} \\;");
  commands.push_back(watchdog + " &");
  commands.push_back(kBoardGate);
  return commands;
}

void UpgradeRunTest::ExpectTrace(bool cleanup_ran, const std::vector<std::string>& closing,
                                 const std::string& watchdog) const {
  const std::vector<std::string>& trace = result_.trace;
  SCOPED_TRACE("trace:\n" + Joined(trace));
  // The sweep line carries the time of the run: accept the window at either end of it.
  const std::size_t sweep = 3 + qx::sim::kServiceNames.size();
  std::vector<std::string> opening = Opening(started_, watchdog);
  const std::vector<std::string> later = Opening(ended_, watchdog);
  if (trace.size() > sweep && trace[sweep] == later[sweep]) opening = later;
  ASSERT_GE(trace.size(), opening.size() + closing.size());
  EXPECT_EQ(opening, std::vector<std::string>(trace.begin(), trace.begin() + opening.size()));
  EXPECT_EQ(closing, std::vector<std::string>(trace.end() - closing.size(), trace.end()));
  const std::vector<std::string> middle(trace.begin() + opening.size(),
                                        trace.end() - closing.size());
  if (!cleanup_ran) {
    EXPECT_TRUE(middle.empty());
  }
  for (const std::string& command : middle) EXPECT_TRUE(IsCleanupCommand(command)) << command;
}

std::vector<std::string> UpgradeRunTest::Log() const {
  std::string log;
  EXPECT_TRUE(device_->ReadFile("/var/log/upgrade_log", log)) << "the log is back in /var/log";
  EXPECT_FALSE(device_->Exists("/tmp/ramdisk/upgrade_log")) << "and not left in the ramdisk";
  return LogLines(log);
}

std::string UpgradeRunTest::DeviceFile(const std::string& path) const {
  std::string content;
  EXPECT_TRUE(device_->ReadFile(path, content)) << path;
  return content;
}

}  // namespace qx::driver_test
