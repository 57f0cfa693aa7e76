// The end-to-end fixture: a simulated router with the upgrader under test, a run of it, and what
// every exit shares (the command trace around the cleanup, the closing, the persistent log).
#ifndef QX_TESTS_DRIVER_UPGRADE_RUN_FIXTURE_H_
#define QX_TESTS_DRIVER_UPGRADE_RUN_FIXTURE_H_

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sim/host/device.h"
#include "sim/host/log_lines.h"
#include "sim/host/router_profile.h"
#include "tests/driver/golden_run.h"
#include "tests/support/upgrade_files.h"
#include "tests/support/upgrader_install.h"

namespace qx::driver_test {

using qx::test::AddUpgrader;
using qx::test::CheckingValidatorBody;
using qx::test::KeepRunOutput;
using qx::test::LauncherHostPath;
using qx::test::MakeUpgradeFile;
using qx::test::Member;
using qx::test::UpgradeMembers;
using qx::test::UpgraderArgv;
namespace router = qx::sim::router;  // the router's paths and texts
using router::LogLines;

// Run by the staging only when the validator passed.
constexpr const char kClearStartedMarker[] = "rm /etc/upgrade_started";
constexpr const char* kUpgradeFile = qx::test::kUpgradeFilePath;
constexpr const char* kWatchdog = qx::sim::Device::kWatchdogProgram;
constexpr const char kKernel[] = "kernel image bytes\n";
constexpr const char kDatabase[] = "file-system database\n";

inline std::string GoodUpgrade(const std::string& validator_body = CheckingValidatorBody(),
                               const std::string& kernel = kKernel) {
  return MakeUpgradeFile(UpgradeMembers(validator_body, kernel, kDatabase));
}

// What every exit past the argument check ends with: the golden run's closing.
inline std::vector<std::string> Closing() { return GoldenTexts(kCommandItem, {"E7.closing"}); }

// Re-creating the ramdisk, running the validator (then clearing the marker if it passed), and
// the closing.
inline std::vector<std::string> StagedClosing(bool validator_passed) {
  std::vector<std::string> commands = GoldenTexts(kCommandItem, {"E7", "E7.closing"});
  if (!validator_passed) {
    commands.erase(std::remove(commands.begin(), commands.end(), kClearStartedMarker),
                   commands.end());
  }
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

  // Runs a device shell command before the upgrade (as root unless it says otherwise).
  void Prepare(const std::string& command) {
    const qx::sim::RunResult prepared = device_->Run({"/bin/busybox", "sh", "-c", command});
    ASSERT_TRUE(prepared.exited && prepared.exit_status == 0) << command << prepared.output;
  }

  // The upgrader replaces a pipe as its output with /dev/null, so its output (an emulator's
  // -strace lines) goes to a regular file; the shell execs it, so the result is the upgrader's.
  void RunUpgraderInDevice(const std::vector<std::string>& args = {kWatchdog},
                           const std::string& cwd = "/",
                           const std::vector<std::string>& launcher = {}) {
    std::string command = "exec";
    for (const std::string& word : launcher) command += " " + ShellWord(word);
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
    ASSERT_FALSE(result_.timed_out) << result_.output << outputs << DeviceFile(router::kRamdiskLog);
    ASSERT_TRUE(result_.exited) << result_.output;
  }

  // The run ended with this status and issued exactly one reboot.
  void ExpectEndedWith(int exit_status) const {
    ASSERT_TRUE(result_.exited) << "killed by signal " << result_.term_signal;
    EXPECT_EQ(exit_status, result_.exit_status);
    EXPECT_EQ(std::vector<std::string>{router::kRebootCommand}, device_->SettledRebootRecords());
  }

  // A whole E7 run whose validator passed, with the log back in /var/log.
  void ExpectUpgraded(const std::string& kernel = kKernel) const {
    EXPECT_EQ(std::vector<std::string>{router::kRebootCommand}, device_->SettledRebootRecords());
    EXPECT_EQ(router::kUpgradedLine, router::FinalLine(Log()));
    EXPECT_EQ(kernel, DeviceFile(router::kStagedKernel));
  }

  // The time whose windows the run's sweep spared: a run may straddle two of them.
  std::uint32_t SweepTime() const {
    const auto& trace = result_.trace;
    const std::string at_end = router::SweepCommand(ended_);
    return std::find(trace.begin(), trace.end(), at_end) != trace.end() ? ended_ : started_;
  }

  // The golden run's pattern for a command, with the sweep's windows of this run.
  std::string Sweep(const std::string& pattern) const {
    return WithSweepWindows(pattern, SweepTime());
  }

  // The opening of every run past the argument check (the golden run's up to the board gate),
  // cleanup commands only, then `closing`.
  void ExpectTrace(const std::vector<std::string>& closing = Closing()) const {
    const std::vector<std::string>& trace = result_.trace;
    SCOPED_TRACE(::testing::PrintToString(trace));
    std::vector<std::string> opening = GoldenTexts(kCommandItem, {"E1", "E2"});
    for (std::string& command : opening) command = Sweep(command);
    ASSERT_GE(trace.size(), opening.size() + closing.size());
    EXPECT_EQ(opening, std::vector<std::string>(trace.begin(), trace.begin() + opening.size()));
    EXPECT_EQ(closing, std::vector<std::string>(trace.end() - closing.size(), trace.end()));
    for (auto command = trace.begin() + opening.size(); command != trace.end() - closing.size();
         ++command) {
      const auto starts = [&](const char* prefix) { return command->rfind(prefix, 0) == 0; };
      EXPECT_TRUE(starts("rm -rf ") || starts("cat /dev/null > ") || starts("tail -n 2000 ") ||
                  starts("mv /tmp/ramdisk/upgrade_log.tmp "))
          << *command;
    }
  }

  // The run was the golden run: every command and every log line, in order.
  void ExpectGoldenRun() const {
    ASSERT_EQ("", Golden().error);
    std::vector<std::string> commands = GoldenTexts(kCommandItem);
    for (std::string& command : commands) command = Sweep(command);
    EXPECT_EQ(commands, result_.trace);
    const std::vector<std::string> patterns = GoldenTexts(kLogItem), log = Log();
    EXPECT_EQ(patterns.size(), log.size()) << ::testing::PrintToString(log);
    for (std::size_t i = 0; i < std::min(patterns.size(), log.size()); ++i) {
      EXPECT_TRUE(GoldenMatches(patterns[i], log[i])) << "line " << i << ": " << log[i];
    }
  }

  // Runs the upgrader under strace and writes the run's items, untagged ("KIND TEXT"), to
  // `path`: the interleaving of commands and log lines is only seen from inside the process.
  void WriteGoldenRun(qx::sim::DeviceSpec spec, const std::string& path) {
    spec.binaries.push_back({"/usr/bin/strace", "/usr/bin/strace"});
    ASSERT_NO_FATAL_FAILURE(CreateDevice(spec));
    ASSERT_NO_FATAL_FAILURE(RunUpgraderInDevice(
        {kWatchdog}, "/",
        {"/usr/bin/strace", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", "/root/run.strace", "-y",
         "-s", "4096", "-e", "trace=clone,clone3,vfork,write"}));
    TranscriptReader reader(result_.trace);
    std::istringstream strace(DeviceFile("/root/run.strace"));
    std::ofstream out(path);
    for (std::string line; std::getline(strace, line);) {
      for (const GoldenItem& item : reader.Read(line)) {
        const std::string text = GoldenPattern(item.kind, item.text, SweepTime());
        out << item.kind << (text.empty() ? "" : " ") << text << "\n";
      }
    }
    EXPECT_EQ(result_.trace.size(), reader.commands_read());
    EXPECT_TRUE(out.good()) << path;
  }

  // The persistent upgrade log after the run, stamps removed.
  std::vector<std::string> Log() const {
    std::string log;
    EXPECT_TRUE(device_->ReadFile(router::kUpgradeLog, log)) << "the log is back in /var/log";
    EXPECT_FALSE(device_->Exists(router::kRamdiskLog)) << "and not left in the ramdisk";
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
