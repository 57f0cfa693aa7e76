// device-sim: the simulator for people. Each subcommand lives in its own cli_<name>.cpp; this
// list is the only place that names them (one line each: name, entry point, summary).
#ifndef QX_SIM_CLI_H_
#define QX_SIM_CLI_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/device.h"

#define QX_DEVICE_SIM_COMMANDS(X)                                                  \
  X("run", RunCommand, "run one command in a fresh device and report what it did") \
  X("shell", ShellCommand, "open an interactive busybox shell in a fresh device")  \
  X("upgrade", UpgradeCommand, "dry-run an upgrade file on a fresh router: log and summary")

namespace qx::sim::cli {

// Entry points get the arguments after the subcommand name (argv[0] is the subcommand) and
// return the process exit status.
#define QX_DEVICE_SIM_DECLARE(name, function, summary) int function(int argc, char** argv);
QX_DEVICE_SIM_COMMANDS(QX_DEVICE_SIM_DECLARE)
#undef QX_DEVICE_SIM_DECLARE

constexpr int kUsageError = 2;  // bad options: the message names the problem

// The options every subcommand that builds a device accepts.
struct DeviceOptions {
  DeviceSpec spec;
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
  std::string cwd = "/";
  std::vector<std::string> env;
};

enum class OptionResult { kTaken, kNotMine, kBad };

// Looks at argv[i]; when it is a device option, applies it (consuming its value, i advances)
// and returns kTaken; kBad sets *error to a message naming the option.
OptionResult ParseDeviceOption(int argc, char** argv, int& i, DeviceOptions& options,
                               std::string* error);

// The help text of those options, for each subcommand's --help.
const char* DeviceOptionsHelp();

// "123", "64K", "25M", "1G" (binary multiples); false for anything else or an overflow.
bool ParseSize(const std::string& text, std::uint64_t& bytes);

// Prints "device-sim: <message>" and a pointer to --help on standard error; returns kUsageError.
int UsageError(const std::string& message);

// Builds the device for options, or prints why not and returns nullptr; *refused tells a
// machine that cannot isolate a device (exit status kUsageError) from another failure.
std::unique_ptr<Device> CreateDevice(const DeviceOptions& options, bool* refused);

// Text from a device as a terminal may show it: control characters and bytes above 127 as
// `cat -v` writes them (^[, ^?, M-a), line feeds and tabs as they are, so that nothing a device
// wrote can move the cursor, retitle the window or answer back for the engineer's terminal.
std::string Visible(const std::string& text);

// A signal number as its name ("SIGKILL"), or the number for one without a common name.
std::string SignalName(int signal);

}  // namespace qx::sim::cli

#endif  // QX_SIM_CLI_H_
