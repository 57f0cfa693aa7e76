// A complete successful upgrade run (exit E7) in the device simulator, timed from outside and
// split into steps from the inside by the preloaded step probe (step_probe.cpp):
//   opening  start of the process to the end of the board gate, less the one-second pause
//   cleanup  end of the board gate to the first open of the upgrade file
//   parse    first open of the upgrade file to the second (ParseFile walks and digests it)
//   extract  second open to the unlink of the upgrade file (three members copied to /tmp/)
//   staging  unlink to the validator command (ramdisk re-created, members moved into it)
//   closing  validator command to the end of the process (validator, log back, reboot command)
// The manual time of each iteration is the host's wall time of the run minus the pause.
// BM_PeakResident reports the upgrader's peak resident set for a 1 MB and a 20 MB upgrade file.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/host/device.h"
#include "sim/host/log_lines.h"
#include "sim/host/router_profile.h"
#include "tests/support/upgrade_files.h"
#include "tests/support/upgrader_install.h"

namespace {

namespace router = qx::sim::router;
using qx::test::AddUpgrader;
using qx::test::RandomUpgradeFile;
using qx::test::UpgraderArgv;

constexpr const char kDeviceProbe[] = "/usr/lib/qx-step-probe.so";
constexpr double kPauseSeconds = 1.0;

struct Event {
  long long ns;
  std::string kind;
  std::string text;
};

std::vector<Event> ReadProbe(const qx::sim::Device& device) {
  std::string log;
  std::vector<Event> events;
  if (!device.ReadFile("/qx-step-probe.log", log)) return events;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Event event;
    fields >> event.ns >> event.kind;
    std::getline(fields, event.text);
    if (!event.text.empty() && event.text[0] == ' ') event.text.erase(0, 1);
    events.push_back(event);
  }
  return events;
}

// The steps' durations in seconds, or an empty map when the run did not go as a whole E7 run.
std::map<std::string, double> StepSeconds(const std::vector<Event>& events) {
  long long start = -1, board = -1, open1 = -1, open2 = -1, unlinked = -1, validator = -1, end = -1;
  for (const Event& e : events) {
    if (e.kind == "start") start = e.ns;
    if (e.kind == "end") end = e.ns;
    if (e.kind == "system-end" && e.text.rfind(router::kBoardGateCommand, 0) == 0) board = e.ns;
    if (e.kind == "open" && open1 >= 0 && open2 < 0) open2 = e.ns;
    if (e.kind == "open" && open1 < 0) open1 = e.ns;
    if (e.kind == "unlink") unlinked = e.ns;
    if (e.kind == "system" && e.text.rfind(router::kValidatorCommand, 0) == 0) validator = e.ns;
  }
  std::map<std::string, double> steps;
  if (start < 0 || board < 0 || open2 < 0 || unlinked < 0 || validator < 0 || end < 0) return steps;
  const auto seconds = [](long long from, long long to) { return (to - from) / 1e9; };
  steps["opening"] = seconds(start, board) - kPauseSeconds;
  steps["cleanup"] = seconds(board, open1);
  steps["parse"] = seconds(open1, open2);
  steps["extract"] = seconds(open2, unlinked);
  steps["staging"] = seconds(unlinked, validator);
  steps["closing"] = seconds(validator, end);
  return steps;
}

long PeakResidentKib(const std::vector<Event>& events) {
  for (const Event& e : events) {
    if (e.kind == "peak") return std::strtol(e.text.c_str(), nullptr, 10);
  }
  return -1;
}

// Runs the upgrader once on a fresh device holding `upgrade`; false (with the reason set on
// state) when the run did not end as a successful E7 run.
bool RunOnce(benchmark::State& state, const std::string& upgrade, double& wall,
             std::vector<Event>& events) {
  qx::sim::DeviceSpec spec;
  AddUpgrader(spec);
  spec.binaries.push_back({QX_STEP_PROBE, kDeviceProbe});
  spec.files.push_back({qx::test::kUpgradeFilePath, upgrade, {}, 0644, {}});
  std::string error;
  const std::unique_ptr<qx::sim::Device> device = qx::sim::Device::Create(spec, &error);
  if (device == nullptr) {
    state.SkipWithError(("device: " + error).c_str());
    return false;
  }
  const auto before = std::chrono::steady_clock::now();
  const qx::sim::RunResult result =
      device->Run(UpgraderArgv({qx::sim::Device::kWatchdogProgram}), std::chrono::seconds(120), "/",
                  {std::string("LD_PRELOAD=") + kDeviceProbe});
  wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
  std::string log;
  device->ReadFile(router::kUpgradeLog, log);
  if (!result.exited || result.exit_status != 1 ||
      router::VerdictOf(router::FinalLine(router::LogLines(log))) != router::Verdict::kUpgraded) {
    state.SkipWithError(("not a successful run: " + result.output + log).c_str());
    return false;
  }
  events = ReadProbe(*device);
  return true;
}

void BM_SuccessfulRun(benchmark::State& state) {
  const std::string upgrade = RandomUpgradeFile(static_cast<std::size_t>(state.range(0)) << 20);
  std::map<std::string, double> totals;
  for (auto _ : state) {
    double wall = 0;
    std::vector<Event> events;
    if (!RunOnce(state, upgrade, wall, events)) break;
    state.SetIterationTime(wall - kPauseSeconds);
    const std::map<std::string, double> steps = StepSeconds(events);
    if (steps.empty()) {
      state.SkipWithError("the step probe did not record the run's steps");
      break;
    }
    for (const auto& [step, seconds] : steps) totals[step] += seconds;
  }
  for (const auto& [step, seconds] : totals) {
    state.counters[step + "_ms"] =
        benchmark::Counter(seconds * 1e3 / static_cast<double>(state.iterations()));
  }
}
BENCHMARK(BM_SuccessfulRun)->Arg(20)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_PeakResident(benchmark::State& state) {
  const std::string upgrade = RandomUpgradeFile(static_cast<std::size_t>(state.range(0)) << 20);
  long peak = -1;
  for (auto _ : state) {
    double wall = 0;
    std::vector<Event> events;
    if (!RunOnce(state, upgrade, wall, events)) break;
    state.SetIterationTime(wall - kPauseSeconds);
    peak = PeakResidentKib(events);
    if (peak < 0) {
      state.SkipWithError("the step probe did not record the peak resident set");
      break;
    }
  }
  state.counters["peak_rss_kib"] = benchmark::Counter(static_cast<double>(peak));
}
BENCHMARK(BM_PeakResident)
    ->Arg(1)
    ->Arg(20)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
