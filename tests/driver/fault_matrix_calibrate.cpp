// Calibration: the phases of the run from the golden run, and one clean run under strace whose
// calls are labelled with them. The matrix knows no text of the run itself: a phase begins at the
// call that makes its first item in the golden run (a shell command spawned, a log line written).
#include <cctype>
#include <map>
#include <sstream>

#include "cleanup/cleanup_stages.h"
#include "driver/exits.h"
#include "tests/driver/fault_matrix.h"

namespace qx::driver_test::matrix {
namespace {

namespace driver = qx::upgrader::driver;
namespace cleanup = qx::upgrader::cleanup;

constexpr const char kClosingTag[] = "closing";

// A golden tag, "E<n>", "E<n>.<stage>" or "E<n>.closing", as a phase labelled from the driver's
// exit table and the cleanup's stage numbers; false when either does not know it.
bool LabelPhase(const std::string& tag, Phase& phase) {
  const std::size_t dot = tag.find('.');
  const std::string exit = tag.substr(0, dot),
                    part = dot == std::string::npos ? "" : tag.substr(dot + 1);
  const driver::ExitRow* row = nullptr;
  for (const driver::ExitRow& each : driver::kExits) row = exit == each.label ? &each : row;
  if (row == nullptr) return false;
  phase.label = row->label;
  if (part == kClosingTag) {
    phase.label += " closing";
  } else if (!part.empty()) {
    const bool digits = part.size() == 1 && std::isdigit(static_cast<unsigned char>(part[0])) != 0;
    phase.stage = digits ? part[0] - '0' : 0;
    if (row->exit != driver::Exit::kCleanupFailed || phase.stage < cleanup::kStage1TrimLogs ||
        phase.stage > cleanup::kStage6SystemLogs) {
      return false;
    }
    phase.label += " stage " + std::to_string(phase.stage);
  }
  return true;
}

}  // namespace

bool RunPhases(std::vector<Phase>& phases, std::string& error) {
  const GoldenRun& golden = Golden();
  if (!golden.error.empty()) {
    error = golden.error;
    return false;
  }
  for (const GoldenPhase& declared : golden.phases) {
    Phase phase;
    phase.tag = declared.label;
    if (!LabelPhase(declared.label, phase)) {
      error = "the golden run's phase " + declared.label + " is no exit or cleanup stage";
      return false;
    }
    phase.label += ": " + declared.description;
    for (const GoldenItem& item : golden.items) {
      if (item.phase == phase.tag && !phase.reached) {
        phase.begins = item;
        phase.reached = true;
      }
    }
    if (!phase.reached) phase.begins = declared.begins;
    if (phase.begins.kind.empty()) {
      error = "the golden run's phase " + phase.tag + " has no item that begins it";
      return false;
    }
    phases.push_back(phase);
  }
  return !phases.empty();
}

bool DeepPhase(const Phase& phase) {
  return phase.stage == cleanup::kStage5ExtraFiles || phase.stage == cleanup::kStage6SystemLogs;
}

bool Calibrate(bool deep, const std::vector<Phase>& phases, Calibration& out, std::string& error) {
  std::unique_ptr<Device> device = MakeDevice(deep, error);
  if (device == nullptr) return false;
  const std::set<std::string> before = Tree(*device);
  const std::string file = std::string(kHarness) + "/calibration";
  // -y: a write names its file, so the log's lines are told from the extraction's data.
  const qx::sim::RunResult run = device->Run(StraceArgv({"-o", file, "-y", "-s", "4096"}));
  std::string text;
  if (!run.exited || run.exit_status != 1 || !device->ReadFile(file, text)) {
    error = "the calibration run did not upgrade: " + run.output;
    return false;
  }
  TranscriptReader reader(run.trace);
  std::map<std::string, int> counts;
  std::size_t phase = 0, next = 0;  // the current phase, and the next that has not begun
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t paren = line.find('(');
    if (paren == std::string::npos || Starts(line, "---") || Starts(line, "+++")) continue;
    const std::string name = line.substr(0, paren);
    const std::vector<GoldenItem> items = reader.Read(line);
    if (!items.empty() && items[0].kind == kCommandItem) out.spawn = name;
    if (out.first == 0 && Has(line, "\"/etc/qx-upgrader.lock\"")) out.first = out.calls.size();
    // The next phase that this call begins; phases the reference run does not reach may be
    // passed over, the others may not.
    for (std::size_t p = next; p < phases.size(); ++p) {
      bool begins = false;
      for (const GoldenItem& item : items) {
        begins = begins || (item.kind == phases[p].begins.kind &&
                            GoldenMatches(phases[p].begins.text, item.text));
      }
      if (begins) {
        phase = p;
        next = p + 1;
        break;
      }
      if (phases[p].reached) break;
    }
    out.calls.push_back({name, line, ++counts[name], phase});
  }
  if (reader.commands_read() != run.trace.size() || out.first == 0) {
    error = "the calibration trace does not match the run's commands";
    return false;
  }
  for (std::size_t p = next; p < phases.size(); ++p) {
    if (phases[p].reached) {
      error = "the calibration run never began phase " + phases[p].tag + " of the golden run";
      return false;
    }
  }
  const std::set<std::string> after = Tree(*device);
  for (const Removable& removable : Removables(deep)) {
    out.clean_rotated_removed += removable.rotated && after.count(removable.path) == 0 ? 1 : 0;
  }
  if (before.size() <= after.size()) error = "the clean run removed nothing";
  return before.size() > after.size();
}

}  // namespace qx::driver_test::matrix
