// `device-sim upgrade`: what one dry run found, and its report as text or JSON.
#ifndef QX_SIM_CLI_UPGRADE_H_
#define QX_SIM_CLI_UPGRADE_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/common/wire.h"
#include "sim/host/device.h"

namespace qx::sim::cli {

// The run's standard output and error go to files of a tmpfs of their own in the device; the
// validator inherits them (the upgrader keeps an output that is a regular file).
using wire::kOutputDirectory;
constexpr const char kOutputMountSize[] = "16M";  // tmpfs size= option, as --help shows it
// The most of each the report shows.
constexpr std::uint64_t kOutputCapBytes = 64u << 10;

struct Removal {
  std::string path;
  std::uint64_t bytes = 0;  // a directory counts everything that was under it
};

enum class ValidatorState { kPassed, kFailed, kNotRun, kUnfinished, kUnknown };

struct UpgradeReport {
  std::string upgrade_file;  // its device path
  std::chrono::milliseconds timeout{0};
  RunResult run;
  std::string log_path;  // where the log was read from
  ReadBack log;
  ValidatorState validator = ValidatorState::kUnknown;
  std::string verdict;  // the log's last line, the upgrader's final word; "" when not known
  std::string why_unknown;
  // What the validator wrote, cut from the run's output by the shells' marks; the whole run's
  // output when no mark names the validator's command (it did not run, or marks are missing).
  ReadBack validator_stdout;
  ReadBack validator_stderr;
  bool validator_output_isolated = false;
  std::uint64_t free_before = 0;
  std::uint64_t free_after = 0;
  std::vector<Removal> removed;
  std::vector<std::string> reboots;
  // --power-cut-at: where the first run was cut and the log that the power cycle left.
  bool power_cut = false;
  std::chrono::milliseconds power_cut_at{0};
  bool cut_while_running = false;
  ReadBack log_after_power_cycle;
};

// Fills validator, verdict and why_unknown from the log, read once the device was stopped
// (nothing can rewrite it after), and from the run's trace when it timed out.
void JudgeValidator(UpgradeReport& report);

// Cuts the validator's part out of validator_stdout and validator_stderr (the run's output, read
// whole) by the shells' marks; at most kOutputCapBytes of each part are kept.
void IsolateValidatorOutput(const ReadBack& marks, UpgradeReport& report);

void PrintText(const UpgradeReport& report);
void PrintJson(const UpgradeReport& report);

}  // namespace qx::sim::cli

#endif  // QX_SIM_CLI_UPGRADE_H_
