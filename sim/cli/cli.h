// device-sim: the simulator for people. Each subcommand lives in its own cli/<name>.cpp; this
// list is the only place that names them (one line each: name, entry point, summary).
#ifndef QX_SIM_CLI_CLI_H_
#define QX_SIM_CLI_CLI_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/host/device.h"

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

// One option of a subcommand's own (besides the device options, --help and --version).
struct CommandOption {
  const char* name;  // the long name, without "--"
  bool takes_value;
  char short_name;  // 0 for none
};

// How a subcommand's command line reads. Options follow getopt_long's conventions: "--opt=value"
// or "--opt value", short options combined ("-qh"), "--" ends the options.
struct CommandLine {
  const char* command;  // "upgrade"
  const char* usage;    // the usage line, ending in a line feed
  void (*print_help)();
  std::vector<CommandOption> own;
  // run: the first operand is COMMAND, and it and everything after it are left as they are.
  bool operands_end_options = false;
};

// Gets every option by its long name with its value (nullptr for none), and each operand with
// an empty name. kNotMine hands a device option on to be applied (upgrade's --fill takes a form
// of its own besides the device option's); kBad sets error.
using OptionHandler =
    std::function<OptionResult(const std::string& name, const char* value, std::string& error)>;

// Reads argv (argv[0] is the subcommand): device options into device, the rest to handle.
// Returns -1 when every argument was taken; otherwise the exit status to return at once: 0
// after --help or --version (on standard output), kUsageError after a usage error (the message
// naming the option and the usage line on standard error).
int ParseCommandLine(int argc, char** argv, const CommandLine& line, DeviceOptions& device,
                     const OptionHandler& handle);

// Prints "device-sim COMMAND: message" and the usage line on standard error; kUsageError.
int UsageError(const CommandLine& line, const std::string& message);

// The help text of those options, for each subcommand's --help, with its default timeout.
std::string DeviceOptionsHelp(std::chrono::seconds default_timeout);

// "123", "64K", "25M", "1G" (binary multiples); false for anything else or an overflow.
bool ParseSize(const std::string& text, std::uint64_t& bytes);

// Prints "device-sim: <message>" and the usage line on standard error; returns kUsageError.
int UsageError(const std::string& message);

// "device-sim 0.0.5", the project's version, on standard output; returns 0.
int PrintVersion();

// Builds the device for options, or prints why not and returns nullptr; *refused tells a
// machine that cannot isolate a device (exit status kUsageError) from another failure.
std::unique_ptr<Device> CreateDevice(const DeviceOptions& options, bool* refused);

// Text from a device as a terminal may show it: control characters and bytes above 127 as
// `cat -v` writes them (^[, ^?, M-a), line feeds and tabs as they are, so that nothing a device
// wrote can move the cursor, retitle the window or answer back for the engineer's terminal.
std::string Visible(const std::string& text);

// `upgrade --follow`: from construction to destruction, a thread of its own prints the upgrade
// log's new lines (made Visible) to out as the device's run writes them, within bounds (see
// follow.cpp for why reading a running device this way is safe).
class LogFollower {
 public:
  static constexpr std::size_t kMaxBytes = 1u << 20;  // of the log shown, and read per look
  LogFollower(const Device& device, std::FILE* out);
  ~LogFollower();  // one last look, then the thread ends
  LogFollower(const LogFollower&) = delete;
  LogFollower& operator=(const LogFollower&) = delete;

 private:
  void Follow();
  bool ShowNewLines(const std::string& now);  // false once kMaxBytes have been shown

  std::FILE* out_;
  int root_fd_ = -1;
  std::string shown_;      // the log up to its last line shown
  std::string last_line_;  // that line
  std::size_t shown_bytes_ = 0;
  std::mutex mutex_;
  std::condition_variable woken_;
  bool stop_ = false;
  std::thread thread_;
};

// A signal number as its name ("SIGKILL"), or the number for one without a common name.
std::string SignalName(int signal);

}  // namespace qx::sim::cli

#endif  // QX_SIM_CLI_CLI_H_
