// device-sim run [options] -- COMMAND...: one command in a fresh device, then the report.
#include <cstdio>
#include <string>
#include <vector>

#include "sim/cli/cli.h"

namespace qx::sim::cli {
namespace {

// Exit statuses of `run` besides the program's own.
constexpr int kTimedOut = 124;
constexpr int kDeviceFailed = 125;
constexpr int kCannotRun = 127;

void PrintRunHelp() {
  std::printf(
      "usage: device-sim run [options] [--] COMMAND [ARG...]\n\n"
      "Creates a fresh device, runs COMMAND (a device path, or a name found in the device's\n"
      "PATH: /bin/sh -c '...', true) in it and prints its output, every command line it ran\n"
      "through /bin/sh -c (the trace), how the services and the watchdog program ended, the\n"
      "reboot-command records and the exit status. Exits with the program's status (128 +\n"
      "signal when killed, %d on timeout, %d when the device could not be built, %d when\n"
      "COMMAND could not be started, 2 on a usage error or when this machine cannot isolate a\n"
      "device).\n\n"
      "  -q, --quiet             print only the program's output, byte for byte (for test\n"
      "                          runners; the report otherwise shows control characters\n"
      "                          from the device as cat -v does)\n"
      "  -h, --help              this text\n"
      "  -V, --version           the version of device-sim\n\n"
      "Options end at COMMAND (or at '--'): what follows it is its own.\n\n%s",
      kTimedOut, kDeviceFailed, kCannotRun, DeviceOptionsHelp(std::chrono::seconds(60)).c_str());
}

// The trace and the watchdog program's start are what programs inside sent on the trace
// channel, which any program of the device can write: the report says whose word they are.
void PrintReport(const RunResult& result, Device& device) {
  std::printf("--- trace (%zu command lines run through /bin/sh -c, as reported by the device)\n",
              result.trace.size());
  for (std::size_t i = 0; i < result.trace.size(); ++i) {
    std::printf("[%zu] %s\n", i + 1, Visible(result.trace[i]).c_str());
  }
  const std::map<std::string, int> services = device.ServiceSignals();
  std::printf("--- services\n");
  for (const std::string& name : router::kServiceNames) {
    const auto found = services.find(name);
    if (found == services.end()) continue;
    const int signal = found->second;
    std::printf("%-16s %s\n", name.c_str(),
                signal == 0  ? "running"
                : signal < 0 ? "exited"
                             : ("killed by " + SignalName(signal)).c_str());
  }
  std::printf("--- reboot command (opens of /dev/watchdog)\n");
  for (const std::string& record : device.RebootRecords()) {
    std::printf("%s\n", Visible(record).c_str());
  }
  std::printf("--- watchdog program %s (start reported by the device): ", Device::kWatchdogProgram);
  const int wd_signal = device.WatchdogProgramSignal();
  std::printf("%s\n", !device.WatchdogProgramStarted() ? "never started"
                      : wd_signal == 0                 ? "running"
                                       : ("killed by " + SignalName(wd_signal)).c_str());
  std::printf("--- limits: memory by %s, processes by %s\n", device.MemoryLimitKind(),
              device.ProcessLimitKind());
}

}  // namespace

int RunCommand(int argc, char** argv) {
  DeviceOptions options;
  bool quiet = false;
  std::vector<std::string> command;
  const CommandLine line{
      "run",
      "usage: device-sim run [options] [--] COMMAND [ARG...] (see 'device-sim run --help')\n",
      PrintRunHelp,
      {{"quiet", false, 'q'}},
      true};
  const int parsed = ParseCommandLine(
      argc, argv, line, options, [&](const std::string& name, const char* value, std::string&) {
        if (name.empty()) {
          command.push_back(value);
        } else if (name == "quiet") {
          quiet = true;
        } else {
          return OptionResult::kNotMine;
        }
        return OptionResult::kTaken;
      });
  if (parsed >= 0) return parsed;
  if (command.empty()) return UsageError(line, "no COMMAND given");
  bool refused = false;
  // Byte for byte means nothing of device-sim's own on standard error either.
  options.spec.announce_rootless = !quiet;
  std::unique_ptr<Device> device = CreateDevice(options, &refused);
  if (!device) return refused ? kUsageError : kDeviceFailed;
  const RunResult result = device->Run(command, options.timeout, options.cwd, options.env);
  // --quiet hands the program's output on byte for byte (a test runner's); the report shows it
  // made visible.
  const std::string output = quiet ? result.output : Visible(result.output);
  std::fwrite(output.data(), 1, output.size(), stdout);
  if (!quiet) PrintReport(result, *device);
  std::fflush(stdout);
  if (!result.started) {
    std::fprintf(stderr, "device-sim: %s\n", Visible(result.error).c_str());
    return kCannotRun;
  }
  if (result.timed_out) {
    std::fprintf(stderr, "device-sim: timed out after %.1f s; the device's processes were killed\n",
                 static_cast<double>(options.timeout.count()) / 1000);
    return kTimedOut;
  }
  if (!quiet) {
    if (result.exited) {
      std::printf("--- exit status %d\n", result.exit_status);
    } else {
      std::printf("--- killed by %s\n", SignalName(result.term_signal).c_str());
    }
  }
  return result.exited ? result.exit_status : 128 + result.term_signal;
}

}  // namespace qx::sim::cli
