// The report of `device-sim upgrade`: every label says what happened, and the JSON carries
// everything the text shows.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "sim/cli/cli.h"
#include "sim/cli/upgrade.h"
#include "sim/host/log_lines.h"

namespace qx::sim::cli {
namespace {

// The upgrader's log line of a failed extraction, which the report reads.
constexpr const char kExtractFailedPrefix[] = "Unable to extract files: ";
using router::kValidatorCommand;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string Seconds(std::chrono::milliseconds duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000);
  return text;
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
  report.verdict = whole ? router::FinalLine(router::LogLines(log.content)) : std::string();
  const router::Verdict verdict = router::VerdictOf(report.verdict);
  if (verdict == router::Verdict::kUpgraded) {
    report.validator = ValidatorState::kPassed;
  } else if (verdict == router::Verdict::kValidationFailed) {
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
    std::fputs(
        Section("== upgrade log (" + std::string(router::kUpgradeLog) + " after the power cycle",
                r.log_after_power_cycle)
            .c_str(),
        stdout);
  }
  std::fputs(Section("== upgrade log (" + r.log_path + " after the run", r.log).c_str(), stdout);
  if (r.validator_output_isolated) {
    std::printf("== validator output: what it wrote to its standard output and error\n");
  } else {
    std::printf(
        "== run output: the standard output and error of the upgrader's run (no validator's\n"
        "   part: the validator did not run); the commands it runs write there when they fail\n");
  }
  std::fputs(Section("-- standard output (" + std::string(kOutputDirectory) + "/stdout",
                     r.validator_stdout)
                 .c_str(),
             stdout);
  std::fputs(
      Section("-- standard error (" + std::string(kOutputDirectory) + "/stderr", r.validator_stderr)
          .c_str(),
      stdout);
  std::printf("\n== summary (upgrade file %s)\n", Visible(r.upgrade_file).c_str());
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
  std::printf("\"output_of\":\"%s\",%s,%s},", r.validator_output_isolated ? "validator" : "run",
              JsonFile("stdout", r.validator_stdout).c_str(),
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

namespace {

struct OutputMark {
  long parent = 0;
  std::uint64_t out = 0;
  std::uint64_t err = 0;
  std::string command;
};

// The marks as the shells appended them; parsing stops at the first one that is not whole.
std::vector<OutputMark> ParseMarks(const std::string& text) {
  std::vector<OutputMark> marks;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t line_end = text.find('\n', at);
    if (line_end == std::string::npos) break;
    OutputMark mark;
    unsigned long long out = 0, err = 0, length = 0;
    int used = 0;
    const std::string head = text.substr(at, line_end - at);
    if (std::sscanf(head.c_str(), "%ld %llu %llu %llu%n", &mark.parent, &out, &err, &length,
                    &used) != 4 ||
        static_cast<std::size_t>(used) != head.size() || length > text.size() - line_end - 1) {
      break;
    }
    mark.out = out;
    mark.err = err;
    mark.command = text.substr(line_end + 1, length);
    marks.push_back(mark);
    at = line_end + 1 + length + 1;
  }
  return marks;
}

// The part [begin, end) of a file read back whole (end: where the file ends), at most
// kOutputCapBytes of it; size tells how long the part was.
void CutPart(ReadBack& file, std::uint64_t begin, std::optional<std::uint64_t> end) {
  if (!file.read) return;
  const std::uint64_t stop = std::min(end.value_or(file.size), file.size);
  const std::uint64_t start = std::min(begin, stop);
  const std::uint64_t have = file.content.size();
  const std::uint64_t from = std::min(start, have);
  const std::uint64_t to = std::min({stop, have, start + kOutputCapBytes});
  file.content = file.content.substr(from, to - from);
  file.size = stop - start;
}

}  // namespace

void IsolateValidatorOutput(const ReadBack& marks, UpgradeReport& report) {
  report.validator_output_isolated = false;
  const std::vector<OutputMark> parsed =
      marks.read ? ParseMarks(marks.content) : std::vector<OutputMark>{};
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    if (parsed[i].command != kValidatorCommand) continue;
    // The validator's own commands have other parents: the part ends where the upgrader's next
    // command begins.
    std::optional<std::uint64_t> out_end, err_end;
    for (std::size_t j = i + 1; j < parsed.size(); ++j) {
      if (parsed[j].parent != parsed[i].parent) continue;
      out_end = parsed[j].out;
      err_end = parsed[j].err;
      break;
    }
    CutPart(report.validator_stdout, parsed[i].out, out_end);
    CutPart(report.validator_stderr, parsed[i].err, err_end);
    report.validator_output_isolated = true;
    return;
  }
  // No validator's part: the run's output, at most kOutputCapBytes of each.
  CutPart(report.validator_stdout, 0, std::nullopt);
  CutPart(report.validator_stderr, 0, std::nullopt);
}

}  // namespace qx::sim::cli
