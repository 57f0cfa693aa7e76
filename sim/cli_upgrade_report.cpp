// The report of `device-sim upgrade`: every label says what happened, and the JSON carries
// everything the text shows.
#include <cstdio>
#include <sstream>
#include <string>

#include "sim/cli.h"
#include "sim/cli_upgrade.h"

namespace qx::sim::cli {
namespace {

// The upgrader's log lines that the report reads.
constexpr const char kPassedLine[] = "Successfully upgraded firmware";
constexpr const char kFailedPrefix[] = "Firmware validation failed: validator ";
constexpr const char kExtractFailedPrefix[] = "Unable to extract files: ";
// The command line the upgrader runs the validator with, as the trace shows it.
constexpr const char kValidatorCommand[] =
    "/tmp/ramdisk/fs-validator /tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string Seconds(std::chrono::milliseconds duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000);
  return text;
}

std::string LastLine(const std::string& log) {
  std::string last;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) last = line;
  }
  const std::string::size_type text = last.find(" - ");  // after the time stamp
  return text == std::string::npos ? last : last.substr(text + 3);
}

const char* ValidatorLabel(ValidatorState state) {
  switch (state) {
    case ValidatorState::kPassed:
      return "passed";
    case ValidatorState::kFailed:
      return "FAILED";
    case ValidatorState::kNotRun:
      return "not run";
    case ValidatorState::kUnfinished:
      return "did not finish";
    case ValidatorState::kUnknown:
      break;
  }
  return "unknown";
}

// What the upgrader's exit status says, in words.
std::string ExitLabel(const UpgradeReport& r) {
  if (!r.run.exited) {
    return r.run.timed_out ? "none: timed out after " + Seconds(r.timeout) +
                                 "; the device's processes were killed"
                           : "none: killed by " + SignalName(r.run.term_signal);
  }
  std::string label = std::to_string(r.run.exit_status);
  if (r.run.exit_status == 0) return label + " (early exit: nothing extracted)";
  if (r.run.exit_status != 1) return label;
  if (r.validator == ValidatorState::kPassed || r.validator == ValidatorState::kFailed) {
    return label + " (late exit: files extracted)";
  }
  if (StartsWith(r.verdict, kExtractFailedPrefix)) return label + " (late exit: extraction failed)";
  return label + " (late exit: extraction begun)";
}

const char* Extraction(const UpgradeReport& r) {
  if (!r.run.exited || (r.run.exit_status != 0 && r.run.exit_status != 1)) return "unknown";
  if (r.run.exit_status == 0) return "not begun";
  if (r.validator == ValidatorState::kPassed || r.validator == ValidatorState::kFailed) {
    return "done";
  }
  return StartsWith(r.verdict, kExtractFailedPrefix) ? "failed" : "begun";
}

std::string MiB(std::uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f MiB (%llu bytes)", static_cast<double>(bytes) / 1048576.0,
                static_cast<unsigned long long>(bytes));
  return text;
}

// A file read back from the device, for the text report; opening is its heading up to where
// the heading tells how much of it was read: "== upgrade log (/var/log/upgrade_log after ...".
std::string Section(const std::string& opening, const ReadBack& file) {
  if (!file.read) return opening + "): not read: " + file.why_not + "\n";
  std::string heading = opening;
  if (file.cut()) {
    heading += "; cut: its first " + std::to_string(file.content.size()) + " of " +
               std::to_string(file.size) + " bytes)\n";
  } else {
    heading += "; " + std::to_string(file.size) + " bytes)\n";
  }
  std::string body = Visible(file.content);
  if (!body.empty() && body.back() != '\n') body += "\n";
  return heading + body;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* Bool(bool value) { return value ? "true" : "false"; }

// A file read back, as JSON fields with the given prefix.
std::string JsonFile(const std::string& prefix, const ReadBack& file) {
  return "\"" + prefix + "\":" + Json(file.content) + ",\"" + prefix +
         "_read\":" + Bool(file.read) + ",\"" + prefix + "_not_read\":" + Json(file.why_not) +
         ",\"" + prefix + "_cut\":" + Bool(file.cut()) + ",\"" + prefix +
         "_bytes\":" + std::to_string(file.size);
}

}  // namespace

void JudgeValidator(UpgradeReport& report) {
  const ReadBack& log = report.log;
  const bool whole = log.read && !log.cut();
  report.verdict = whole ? LastLine(log.content) : std::string();
  if (report.verdict == kPassedLine) {
    report.validator = ValidatorState::kPassed;
  } else if (StartsWith(report.verdict, kFailedPrefix)) {
    report.validator = ValidatorState::kFailed;
  } else if (report.run.timed_out) {
    bool started = false;
    for (const std::string& command : report.run.trace) started |= command == kValidatorCommand;
    report.validator = started ? ValidatorState::kUnfinished : ValidatorState::kNotRun;
    report.verdict.clear();  // the upgrader had no final word
    report.why_unknown = "timed out after " + Seconds(report.timeout);
  } else if (!whole) {
    report.validator = ValidatorState::kUnknown;
    report.why_unknown = log.read ? "the log's last line is beyond the part read"
                                  : "the log was not read (" + log.why_not + ")";
  } else {
    report.validator = ValidatorState::kNotRun;
  }
}

void PrintText(const UpgradeReport& r) {
  if (r.power_cut) {
    std::printf("== power cut %lld ms into the run (%s)\n",
                static_cast<long long>(r.power_cut_at.count()),
                r.cut_while_running ? "the upgrader was still running" : "the upgrader had ended");
    std::fputs(Section("== upgrade log (/var/log/upgrade_log after the power cycle",
                       r.log_after_power_cycle)
                   .c_str(),
               stdout);
  }
  std::fputs(Section("== upgrade log (" + r.log_path + " after the run", r.log).c_str(), stdout);
  std::printf(
      "== validator output: the standard output and error of the upgrader's run, which the\n"
      "   validator inherits (the commands the upgrader runs write there only when they fail)\n");
  std::fputs(Section("-- standard output (" + std::string(kOutputDirectory) + "/stdout",
                     r.validator_stdout)
                 .c_str(),
             stdout);
  std::fputs(
      Section("-- standard error (" + std::string(kOutputDirectory) + "/stderr", r.validator_stderr)
          .c_str(),
      stdout);
  std::printf("== summary (upgrade file %s)\n", Visible(r.upgrade_file).c_str());
  std::printf("exit status:      %s\n", ExitLabel(r).c_str());
  std::printf("validator:        %s%s\n", ValidatorLabel(r.validator),
              r.why_unknown.empty() ? "" : (" (" + r.why_unknown + ")").c_str());
  std::printf("verdict:          %s\n", !r.verdict.empty() ? Visible(r.verdict).c_str()
                                        : r.run.timed_out  ? "(none: the run was stopped first)"
                                                           : "(none in the log)");
  std::printf("free space on /:  before %s\n                  after  %s\n",
              MiB(r.free_before).c_str(), MiB(r.free_after).c_str());
  std::printf("removed from /:   %zu path(s)\n", r.removed.size());
  for (const Removal& removal : r.removed) {
    std::printf("  %-50s %llu bytes\n", Visible(removal.path).c_str(),
                static_cast<unsigned long long>(removal.bytes));
  }
  std::printf("reboot command:   %s\n",
              r.reboots.empty() ? "NOT issued" : ("issued: " + Visible(r.reboots.front())).c_str());
}

void PrintJson(const UpgradeReport& r) {
  std::printf(
      "{\"upgrade_file\":%s,\"exited\":%s,\"exit_status\":%d,\"timed_out\":%s,"
      "\"timeout_ms\":%lld,\"term_signal\":%d,\"extraction\":\"%s\",",
      Json(r.upgrade_file).c_str(), Bool(r.run.exited), r.run.exited ? r.run.exit_status : -1,
      Bool(r.run.timed_out), static_cast<long long>(r.timeout.count()),
      r.run.exited ? 0 : r.run.term_signal, Extraction(r));
  const bool ran = r.validator == ValidatorState::kPassed || r.validator == ValidatorState::kFailed;
  std::printf("\"validator\":{\"state\":\"%s\",\"ran\":%s,\"passed\":%s,\"verdict\":%s,\"why\":%s,",
              ValidatorLabel(r.validator), Bool(ran), Bool(r.validator == ValidatorState::kPassed),
              Json(r.verdict).c_str(), Json(r.why_unknown).c_str());
  std::printf("%s,%s},", JsonFile("stdout", r.validator_stdout).c_str(),
              JsonFile("stderr", r.validator_stderr).c_str());
  std::printf("\"free_before\":%llu,\"free_after\":%llu,\"removed\":[",
              static_cast<unsigned long long>(r.free_before),
              static_cast<unsigned long long>(r.free_after));
  for (std::size_t i = 0; i < r.removed.size(); ++i) {
    std::printf("%s{\"path\":%s,\"bytes\":%llu}", i == 0 ? "" : ",",
                Json(r.removed[i].path).c_str(),
                static_cast<unsigned long long>(r.removed[i].bytes));
  }
  std::printf("],\"reboot_issued\":%s,\"reboot_command\":%s,\"log_path\":%s,%s,",
              Bool(!r.reboots.empty()),
              r.reboots.empty() ? "null" : Json(r.reboots.front()).c_str(),
              Json(r.log_path).c_str(), JsonFile("log", r.log).c_str());
  if (!r.power_cut) {
    std::printf("\"power_cut\":null}\n");
    return;
  }
  std::printf("\"power_cut\":{\"at_ms\":%lld,\"upgrader_running\":%s,%s}}\n",
              static_cast<long long>(r.power_cut_at.count()), Bool(r.cut_while_running),
              JsonFile("log_after", r.log_after_power_cycle).c_str());
}

}  // namespace qx::sim::cli
