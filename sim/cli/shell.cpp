// device-sim shell [options]: an interactive busybox shell in a fresh device.
#include <cstdio>
#include <string>

#include "sim/cli/cli.h"

namespace qx::sim::cli {
namespace {

void PrintShellHelp() {
  std::printf(
      "usage: device-sim shell [options]\n\n"
      "Creates a fresh device and opens busybox's shell in it, on a terminal of the device's\n"
      "own that device-sim relays to this one (raw meanwhile: Ctrl-C goes to the device).\n"
      "Commands typed there act on the device only, and nothing in it can reach this\n"
      "terminal; leaving the shell destroys the device.\n\n"
      "  -h, --help              this text\n"
      "  -V, --version           the version of device-sim\n\n%s",
      DeviceOptionsHelp(std::chrono::hours(24)).c_str());
}

}  // namespace

int ShellCommand(int argc, char** argv) {
  DeviceOptions options;
  options.timeout = std::chrono::hours(24);
  const CommandLine line{"shell",
                         "usage: device-sim shell [options] (see 'device-sim shell --help')\n",
                         PrintShellHelp,
                         {}};
  const int parsed = ParseCommandLine(
      argc, argv, line, options, [&](const std::string& name, const char*, std::string& error) {
        if (!name.empty()) return OptionResult::kNotMine;
        error = "takes no operands";
        return OptionResult::kBad;
      });
  if (parsed >= 0) return parsed;
  bool refused = false;
  std::unique_ptr<Device> device = CreateDevice(options, &refused);
  if (!device) return refused ? kUsageError : 125;
  const RunResult result =
      device->RunInteractive({"/bin/sh", "-i"}, options.timeout, {"PS1=router# ", "HOME=/root"});
  if (!result.started) {
    std::fprintf(stderr, "device-sim: %s\n", result.error.c_str());
    return 127;
  }
  return result.exited ? result.exit_status : 128 + result.term_signal;
}

}  // namespace qx::sim::cli
