// `device-sim upgrade FILE`: a dry run of a real upgrade file on a fresh simulated router, with
// the upgrader that will ship. The validator inside the file really runs. Prints the upgrade log,
// the validator's output and what the run did to the router: exit status, the validator's
// verdict, free space on "/" before and after, what was removed from the root file system, and
// the reboot command. The file goes into the device by kernel copies, never through memory.
#include "sim/cli/upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/cli/cli.h"

namespace qx::sim::cli {
namespace {

// A large upgrade file takes a while to check and extract on a slow router.
constexpr std::chrono::seconds kDefaultTimeout(300);

void PrintUpgradeHelp() {
  std::printf(
      "usage: device-sim upgrade [options] FILE\n\n"
      "Runs the upgrader on a fresh simulated router with the upgrade file FILE in its ramdisk\n"
      "(%s, under FILE's name, with \"ud-\" in front unless it begins with \"ud\"),\n"
      "as \"upgrader /tmp/wdprog\". The validator inside the file really runs. Prints the\n"
      "upgrade log, the validator's output, and what the run did: exit status, the validator's\n"
      "verdict, free space on / before and after, what was removed from the root file system,\n"
      "and the reboot command. FILE is copied into the device as it is read, never held in\n"
      "memory; it must be a regular file (a FIFO, device, socket or directory is refused).\n"
      "The validator's output is what it wrote to its standard output and error, which it\n"
      "inherits from the upgrader's run: the run's are files of a tmpfs of their own in the\n"
      "device (%s, at %s), and each shell command notes where in them it began, so\n"
      "the report shows the validator's part (the first %llu KiB of each), or the whole run's\n"
      "output when the validator did not run. Exits 0 when the validator passed and the\n"
      "reboot command was issued, 1 when not, 124 when the run timed out, 2 on a usage error\n"
      "or when the router could not be simulated.\n\n"
      "  --upgrader PATH         the upgrader to run (default: $QX_UPGRADER, else the one built\n"
      "                          beside device-sim); $QX_UPGRADER_LAUNCHER names an emulator\n"
      "  --fill DEVICE=SIZE@DAYS a file of SIZE real bytes, last modified DAYS days ago\n"
      "                          (rotated logs are removed oldest first)\n"
      "  --power-cut-at TIME     cut the power TIME into the run (milliseconds, or with s),\n"
      "                          switch the router on again (the root file system kept, the\n"
      "                          ramdisk empty) and run the upgrade again with a fresh copy of\n"
      "                          FILE; the report covers both runs. Unsynced data is not lost\n"
      "                          as on the router: the simulator keeps no page cache of its own\n"
      "  --follow                print the upgrade log's lines as the run writes them (with\n"
      "                          --json, on standard error); at most 1 MiB of them\n"
      "  --json                  the same report as one JSON object\n"
      "  -h, --help              this text\n"
      "  -V, --version           the version of device-sim\n\n%s",
      router::kRamdiskPrefix, kOutputMountSize, kOutputDirectory,
      static_cast<unsigned long long>(kOutputCapBytes >> 10),
      DeviceOptionsHelp(kDefaultTimeout).c_str());
}

constexpr int kTimedOut = 124;  // as `run`
// The most of the log a report shows: a real one is a few kilobytes, and a device may leave
// anything there.
constexpr std::uint64_t kLogCapBytes = 1u << 20;

struct UpgradeOptions {
  std::string file;
  DeviceOptions device;
  std::string upgrader;
  std::string launcher;
  bool json = false;
  bool follow = false;
  std::optional<std::chrono::milliseconds> power_cut;
};

// TIME: milliseconds, or seconds with an "s" suffix ("1500", "1.5s").
bool ParseDuration(const std::string& text, std::chrono::milliseconds& duration) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || errno != 0 || !(value >= 0) || value > 86400000) return false;
  const std::string suffix = end;
  if (suffix != "" && suffix != "ms" && suffix != "s") return false;
  duration =
      std::chrono::milliseconds(static_cast<long long>(suffix == "s" ? value * 1000 : value));
  return true;
}

// DEVICE=SIZE@DAYS: a file of SIZE real bytes, modified DAYS days ago.
bool ParseAgedFill(const std::string& text, DeviceFile& file) {
  const std::string::size_type equals = text.find('=');
  const std::string::size_type at = text.rfind('@');
  if (text.empty() || text[0] != '/' || equals == std::string::npos || at == std::string::npos ||
      at < equals) {
    return false;
  }
  std::uint64_t bytes = 0;
  std::uint64_t days = 0;
  if (!ParseSize(text.substr(equals + 1, at - equals - 1), bytes) ||
      !ParseSize(text.substr(at + 1), days) || days > 36500) {
    return false;
  }
  file.path = text.substr(0, equals);
  file.size = bytes;
  file.mtime =
      static_cast<std::int64_t>(std::time(nullptr)) - static_cast<std::int64_t>(days) * 86400;
  return true;
}

std::string Dirname(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The upgrader built in the same tree as this device-sim: <build>/sim/ -> <build>/driver/.
std::string BuiltUpgrader() {
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return std::string();
  return Dirname(Dirname(std::string(self, static_cast<std::size_t>(length)))) + "/driver/upgrader";
}

std::string FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

const CommandLine kUpgradeLine{
    "upgrade",
    "usage: device-sim upgrade [options] FILE (see 'device-sim "
    "upgrade --help')\n",
    PrintUpgradeHelp,
    {{"json", false, 0}, {"follow", false, 0}, {"upgrader", true, 0}, {"power-cut-at", true, 0}}};

// One option or operand of upgrade's own; kNotMine for the device options.
OptionResult TakeUpgradeOption(const std::string& name, const char* value, UpgradeOptions& options,
                               std::string& error) {
  if (name.empty()) {
    if (!options.file.empty()) {
      error = "more than one upgrade file: " + std::string(value);
      return OptionResult::kBad;
    }
    options.file = value;
  } else if (name == "json") {
    options.json = true;
  } else if (name == "follow") {
    options.follow = true;
  } else if (name == "upgrader") {
    options.upgrader = value;
  } else if (name == "power-cut-at") {
    std::chrono::milliseconds at{0};
    if (!ParseDuration(value, at)) {
      error = "--power-cut-at " + std::string(value) + ": expected a time such as 1500 or 1.5s";
      return OptionResult::kBad;
    }
    options.power_cut = at;
  } else if (name == "fill" && std::strchr(value, '@') != nullptr) {
    DeviceFile file;
    if (!ParseAgedFill(value, file)) {
      error = "--fill " + std::string(value) + ": expected /DEVICE_PATH=SIZE@DAYS";
      return OptionResult::kBad;
    }
    options.device.spec.files.push_back(file);
  } else {
    return OptionResult::kNotMine;
  }
  return OptionResult::kTaken;
}

// -1 when the options are sound; otherwise the exit status to return.
int ParseUpgradeOptions(int argc, char** argv, UpgradeOptions& options) {
  options.upgrader = FromEnvironment("QX_UPGRADER");
  options.launcher = FromEnvironment("QX_UPGRADER_LAUNCHER");
  options.device.timeout = kDefaultTimeout;
  const int parsed =
      ParseCommandLine(argc, argv, kUpgradeLine, options.device,
                       [&](const std::string& name, const char* value, std::string& error) {
                         return TakeUpgradeOption(name, value, options, error);
                       });
  if (parsed >= 0) return parsed;
  if (options.file.empty()) return UsageError(kUpgradeLine, "no upgrade file given");
  const bool given = !options.upgrader.empty();
  if (!given) options.upgrader = BuiltUpgrader();
  if (::access(options.upgrader.c_str(), X_OK) != 0) {
    // An installed device-sim has no build tree beside it: say what to give, not where the
    // build would have put it.
    if (!given) {
      return UsageError(kUpgradeLine,
                        "no upgrader to run: give --upgrader PATH or set $QX_UPGRADER (none was "
                        "built beside this device-sim)");
    }
    return UsageError(kUpgradeLine,
                      "cannot run the upgrader " + options.upgrader + ": " + std::strerror(errno));
  }
  return -1;
}

const char* FileType(mode_t mode) {
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISLNK(mode)) return "symbolic link";
  return "special file";
}

// Opens the upgrade file for copying into the device, or prints why not. Only a regular file:
// a FIFO or a device would never end or hang the copy, so they are refused before any device is
// made, and the open itself cannot wait for a FIFO's writer (O_NONBLOCK).
bool OpenUpgradeFile(const std::string& path, int& fd, std::uint64_t& size) {
  fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  const int error = errno;
  std::string why;
  if (fd < 0) {
    // A socket cannot be opened at all: its type is the better reason.
    why = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)
              ? std::string("not a regular file (") + FileType(st.st_mode) + ")"
              : std::strerror(error);
  } else if (::fstat(fd, &st) != 0) {
    why = std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    why = "is a directory";
  } else if (!S_ISREG(st.st_mode)) {
    why = std::string("not a regular file (") + FileType(st.st_mode) + ")";
  }
  if (why.empty()) {
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
  if (fd >= 0) ::close(fd);
  std::fprintf(stderr, "device-sim upgrade: %s: %s\n", path.c_str(), why.c_str());
  return false;
}

// What went from the root file system, with the bytes of regular files.
std::vector<Removal> Removed(const std::map<std::string, struct stat>& before,
                             const Device& device) {
  std::vector<Removal> removed;
  for (const auto& [path, st] : before) {
    if (path == Device::kWatchdogProgram || device.Exists(path)) continue;
    const std::uint64_t bytes = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (!removed.empty() && path.rfind(removed.back().path + "/", 0) == 0) {
      removed.back().bytes += bytes;  // under a directory already listed
      continue;
    }
    removed.push_back({path, bytes});
  }
  return removed;
}

// The run's command line: the upgrader with its standard output and error in the files that
// the report shows (the device's shell sets them up and becomes the upgrader).
std::vector<std::string> UpgraderCommand(const UpgradeOptions& options) {
  std::string line = "exec ";
  if (!options.launcher.empty()) line += std::string(router::kUpgraderLauncher) + " ";
  line += std::string(router::kUpgrader) + " " + Device::kWatchdogProgram + " >" +
          kOutputDirectory + "/stdout 2>" + kOutputDirectory + "/stderr";
  return {"/bin/sh", "-c", line};
}

// The tmpfs that takes the run's output: its own, so that the output neither counts against
// the free space the upgrader sees on / nor grows without bound. Mounted again after a power
// cycle, which takes every mount made inside the device.
bool MountOutput(Device& device) {
  const RunResult mounted = device.Run(
      {"/bin/mount", "-t", "tmpfs", "-o", std::string("size=") + kOutputMountSize + ",mode=0700",
       "qx-sim-output", kOutputDirectory},
      std::chrono::seconds(10));
  if (mounted.exited && mounted.exit_status == 0) return true;
  std::fprintf(stderr, "device-sim upgrade: cannot mount the output's tmpfs: %s\n",
               Visible(mounted.started ? mounted.output : mounted.error).c_str());
  return false;
}

// One run of the upgrader, its log followed meanwhile when asked.
RunResult RunUpgrader(Device& device, const UpgradeOptions& options,
                      std::chrono::milliseconds timeout) {
  std::optional<LogFollower> follower;
  if (options.follow) {
    std::FILE* out = options.json ? stderr : stdout;
    std::fprintf(out, "== upgrade log as the run writes it (--follow)\n");
    std::fflush(out);
    follower.emplace(device, out);
  }
  return device.Run(UpgraderCommand(options), timeout, options.device.cwd, options.device.env);
}

// --power-cut-at: the first run ends where the power goes; the router then boots and the
// upgrade is tried again, as whoever started it would, with the file put back into the empty
// ramdisk. False, with the reason printed, when that could not be done.
bool CutThePower(Device& device, const UpgradeOptions& options, int upgrade_fd,
                 UpgradeReport& report) {
  const RunResult cut = RunUpgrader(device, options, *options.power_cut);
  std::string why;
  if (!cut.started || !device.PowerCycle(&why) ||
      !device.WriteFileFrom(report.upgrade_file, upgrade_fd, 0644, &why)) {
    std::fprintf(stderr, "device-sim upgrade: cannot cut the power: %s%s\n", cut.error.c_str(),
                 why.c_str());
    return false;
  }
  report.power_cut = true;
  report.power_cut_at = *options.power_cut;
  report.cut_while_running = cut.timed_out;
  // Nothing of the first run is left running: the power cycle ended it all.
  report.log_after_power_cycle = device.ReadBackFile(router::kUpgradeLog, kLogCapBytes);
  return true;
}

// What the run left, read once nothing in the device runs: a process it left behind could
// otherwise swap the log for a FIFO, a device or a link while the report is made.
void ReadWhatTheRunLeft(const Device& device, const std::map<std::string, struct stat>& before,
                        UpgradeReport& report) {
  report.free_after = device.FreeSpace("/");
  report.log_path = router::kUpgradeLog;
  report.log = device.ReadBackFile(router::kUpgradeLog, kLogCapBytes);
  if (report.run.timed_out && !report.log.read) {
    // The run was stopped before the upgrader could move its log out of the ramdisk.
    const ReadBack in_ramdisk = device.ReadBackFile(router::kRamdiskLog, kLogCapBytes);
    if (in_ramdisk.read) {
      report.log_path = router::kRamdiskLog;
      report.log = in_ramdisk;
    }
  }
  const std::string output = kOutputDirectory;
  // Read whole (up to the log's cap), so that the validator's part can be cut out of it.
  report.validator_stdout = device.ReadBackFile(output + "/stdout", kLogCapBytes);
  report.validator_stderr = device.ReadBackFile(output + "/stderr", kLogCapBytes);
  IsolateValidatorOutput(device.ReadBackFile(wire::kOutputMarks, kLogCapBytes), report);
  report.removed = Removed(before, device);
  JudgeValidator(report);
}

}  // namespace

int UpgradeCommand(int argc, char** argv) {
  UpgradeOptions options;
  const int parsed = ParseUpgradeOptions(argc, argv, options);
  if (parsed >= 0) return parsed;
  int upgrade_fd = -1;
  std::uint64_t upgrade_size = 0;
  if (!OpenUpgradeFile(options.file, upgrade_fd, upgrade_size)) return kUsageError;
  const std::unique_ptr<int, void (*)(int*)> closer(&upgrade_fd, [](int* fd) { ::close(*fd); });
  std::string name = options.file.substr(options.file.rfind('/') + 1);
  if (name.rfind("ud", 0) != 0) name = "ud-" + name;
  UpgradeReport report;
  report.upgrade_file = router::kRamdiskPrefix + name;
  report.timeout = options.device.timeout;
  DeviceSpec& spec = options.device.spec;
  spec.ramdisk_size = std::max<std::uint64_t>(spec.ramdisk_size, upgrade_size + (4u << 20));
  spec.directories.push_back(kOutputDirectory);
  spec.binaries.push_back({options.upgrader, router::kUpgrader});
  if (!options.launcher.empty())
    spec.binaries.push_back({options.launcher, router::kUpgraderLauncher});

  bool refused = false;
  const std::unique_ptr<Device> device = CreateDevice(options.device, &refused);
  if (device == nullptr) return kUsageError;
  std::string error;
  if (!device->WriteFileFrom(report.upgrade_file, upgrade_fd, 0644, &error)) {
    std::fprintf(stderr, "device-sim upgrade: cannot copy %s into the device: %s\n",
                 options.file.c_str(), error.c_str());
    return kUsageError;
  }
  const std::map<std::string, struct stat> before = DeviceTree(*device);
  report.free_before = device->FreeSpace("/");
  if (options.power_cut && !CutThePower(*device, options, upgrade_fd, report)) return kUsageError;
  if (!MountOutput(*device)) return kUsageError;
  report.run = RunUpgrader(*device, options, options.device.timeout);
  if (!report.run.started) {
    std::fprintf(stderr, "device-sim upgrade: cannot run the upgrader: %s\n",
                 report.run.error.c_str());
    return kUsageError;
  }
  if (!report.run.timed_out) report.reboots = device->SettledRebootRecords();
  if (!device->Stop()) {
    std::fprintf(stderr, "device-sim upgrade: cannot stop the device to read it back\n");
    return kUsageError;
  }
  if (report.run.timed_out) report.reboots = device->RebootRecords();
  ReadWhatTheRunLeft(*device, before, report);
  if (options.json) {
    PrintJson(report);
  } else {
    PrintText(report);
  }
  std::fflush(stdout);
  if (report.run.timed_out) {
    std::fprintf(stderr, "device-sim: timed out after %.1f s; the device's processes were killed\n",
                 static_cast<double>(options.device.timeout.count()) / 1000);
    return kTimedOut;
  }
  // The upgrader's own status is reported above; ours says whether the upgrade would ship.
  return report.validator == ValidatorState::kPassed && !report.reboots.empty() ? 0 : 1;
}

}  // namespace qx::sim::cli
