// `device-sim upgrade FILE`: a dry run of a real upgrade file on a fresh simulated router, with
// the upgrader that will ship. The validator inside the file really runs. Prints the upgrade log
// and what the run did to the router: exit status, the validator's verdict, free space on "/"
// before and after, what was removed from the root file system, and the reboot command.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/device.h"

namespace qx::sim {
namespace {

constexpr const char kUpgradeUsage[] =
    "usage: device-sim upgrade FILE [options]\n"
    "\n"
    "Runs the upgrader on a fresh simulated router with FILE in its ramdisk (/tmp/ramdisk/;\n"
    "a name not beginning with \"ud\" gets \"ud-\" in front) and reports what the run did.\n"
    "\n"
    "  --board ID          board identity file content (default 12); \"none\": no board file\n"
    "  --kernel RELEASE    running kernel release (default 2.6.35.3-00295-gbbbf593)\n"
    "  --root-size SIZE    size of the root file system (default 64M); sets its free space\n"
    "  --fill PATH=SIZE[@DAYS]\n"
    "                      a file of SIZE bytes at device PATH, modified DAYS days ago\n"
    "                      (default now); repeat to fill the root with logs, modules, ...\n"
    "  --upgrader PATH     the upgrader to run (default: $QX_UPGRADER, else the one built\n"
    "                      beside device-sim); $QX_UPGRADER_LAUNCHER names an emulator for it\n"
    "  --json              the same report as one JSON object\n"
    "Exit status: 0 when the validator passed and the reboot command was issued, 1 when not,\n"
    "2 on a usage error or when the router could not be simulated.\n"
    "SIZE is bytes, or a number followed by K or M (KiB, MiB).\n";

constexpr const char kDeviceUpgrader[] = "/usr/bin/upgrader";
constexpr const char kDeviceLauncher[] = "/usr/bin/upgrader-launcher";
constexpr const char kPersistentLog[] = "/var/log/upgrade_log";

struct UpgradeOptions {
  std::string file;
  DeviceSpec spec;
  std::string upgrader;
  std::string launcher;
  bool json = false;
};

bool ParseSize(const std::string& text, std::uint64_t& bytes) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  std::uint64_t unit = 1;
  if (*end == 'K' || *end == 'k') unit = 1024, ++end;
  else if (*end == 'M' || *end == 'm') unit = 1024 * 1024, ++end;
  if (*end != '\0' || value > (1ull << 40) / unit) return false;
  bytes = value * unit;
  return true;
}

// PATH=SIZE[@DAYS]
bool ParseFill(const std::string& text, DeviceFile& file) {
  const std::string::size_type equals = text.rfind('=');
  if (equals == std::string::npos || text[0] != '/') return false;
  file.path = text.substr(0, equals);
  std::string size = text.substr(equals + 1);
  const std::string::size_type at = size.find('@');
  if (at != std::string::npos) {
    std::uint64_t days = 0;
    if (!ParseSize(size.substr(at + 1), days) || days > 36500) return false;
    file.mtime = static_cast<std::int64_t>(std::time(nullptr)) - static_cast<std::int64_t>(days) * 86400;
    size.resize(at);
  }
  std::uint64_t bytes = 0;
  if (!ParseSize(size, bytes)) return false;
  file.size = bytes;
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

bool ParseUpgradeOptions(const std::vector<std::string>& args, UpgradeOptions& options,
                         std::string& error) {
  options.upgrader = FromEnvironment("QX_UPGRADER");
  options.launcher = FromEnvironment("QX_UPGRADER_LAUNCHER");
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool has_value = i + 1 < args.size();
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--board" && has_value) {
      const std::string& board = args[++i];
      options.spec.board = board == "none" ? std::nullopt : std::optional<std::string>(board + "\n");
    } else if (arg == "--kernel" && has_value) {
      options.spec.kernel_banner = "Linux version " + args[++i] +
                                   " (builder@qx-build) (gcc version 4.4.4 (GCC) ) #1 PREEMPT "
                                   "Tue Mar 5 10:00:00 UTC 2024\n";
    } else if (arg == "--root-size" && has_value) {
      if (!ParseSize(args[++i], options.spec.root_size) || options.spec.root_size < (4u << 20)) {
        error = "--root-size: not a size of at least 4M: " + args[i];
        return false;
      }
    } else if (arg == "--fill" && has_value) {
      DeviceFile file;
      if (!ParseFill(args[++i], file)) {
        error = "--fill: expected /PATH=SIZE[@DAYS], got " + args[i];
        return false;
      }
      options.spec.files.push_back(file);
    } else if (arg == "--upgrader" && has_value) {
      options.upgrader = args[++i];
    } else if (arg.rfind("--", 0) == 0) {
      error = has_value || arg == "--json" ? "unknown option " + arg : "option " + arg + " needs a value";
      return false;
    } else if (options.file.empty()) {
      options.file = arg;
    } else {
      error = "more than one upgrade file: " + arg;
      return false;
    }
  }
  if (options.file.empty()) {
    error = "no upgrade file given";
    return false;
  }
  if (options.upgrader.empty()) options.upgrader = BuiltUpgrader();
  if (::access(options.upgrader.c_str(), X_OK) != 0) {
    error = "no upgrader at " + options.upgrader + " (build it, or give --upgrader PATH)";
    return false;
  }
  return true;
}

std::string ReadHostFile(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  ok = static_cast<bool>(in) || in.eof();
  return content.str();
}

// Every path of the device's root file system (the ramdisk, /proc and /dev left out), with the
// bytes of regular files.
void Walk(const Device& device, const std::string& dir, std::map<std::string, std::uint64_t>& out) {
  for (const std::string& name : device.ListDir(dir)) {
    const std::string path = (dir == "/" ? "" : dir) + "/" + name;
    if (path == "/proc" || path == "/dev" || path == "/sys" || path == "/tmp/ramdisk") continue;
    struct stat st {};
    if (!device.Lstat(path, st)) continue;
    out[path] = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (S_ISDIR(st.st_mode)) Walk(device, path, out);
  }
}

struct Removal {
  std::string path;
  std::uint64_t bytes = 0;  // a directory counts everything that was under it
};

// The topmost paths that existed before the run and are gone after it, the watchdog program
// (which every run deletes) left out.
std::vector<Removal> Removed(const std::map<std::string, std::uint64_t>& before,
                             const Device& device) {
  std::vector<Removal> removed;
  for (const auto& [path, bytes] : before) {
    if (path == Device::kWatchdogProgram || device.Exists(path)) continue;
    if (!removed.empty() && path.rfind(removed.back().path + "/", 0) == 0) {
      removed.back().bytes += bytes;  // under a directory already listed
      continue;
    }
    removed.push_back({path, bytes});
  }
  return removed;
}

struct UpgradeReport {
  RunResult run;
  std::string log;
  std::string verdict;  // the validator's, or why it did not run
  bool validator_ran = false;
  bool validator_passed = false;
  std::uint64_t free_before = 0;
  std::uint64_t free_after = 0;
  std::vector<Removal> removed;
  std::vector<std::string> reboots;
};

void JudgeValidator(UpgradeReport& report) {
  std::vector<std::string> lines;
  std::istringstream in(report.log);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  const std::string last = lines.empty() ? std::string() : lines.back();
  const std::string::size_type text = last.find(" - ");
  report.verdict = text == std::string::npos ? last : last.substr(text + 3);
  report.validator_passed = report.verdict == "Successfully upgraded firmware";
  report.validator_ran = report.validator_passed ||
                         report.verdict.rfind("Firmware validation failed: validator ", 0) == 0;
  if (!report.validator_ran) report.verdict = "not run: " + report.verdict;
}

std::string MiB(std::uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f MiB (%llu bytes)", static_cast<double>(bytes) / 1048576.0,
                static_cast<unsigned long long>(bytes));
  return text;
}

void PrintText(const UpgradeReport& r, const std::string& device_path) {
  std::printf("== upgrade log (%s after the run)\n%s", kPersistentLog, r.log.c_str());
  std::printf("== summary (upgrade file %s)\n", device_path.c_str());
  if (r.run.exited) {
    std::printf("exit status:      %d (%s)\n", r.run.exit_status,
                r.run.exit_status == 0 ? "early exit, nothing extracted" : "late exit, files extracted");
  } else {
    std::printf("exit status:      none: %s\n", r.run.timed_out ? "timed out" : "killed by a signal");
  }
  std::printf("validator:        %s\n", r.validator_ran ? (r.validator_passed ? "passed" : "FAILED") : "not run");
  std::printf("verdict:          %s\n", r.verdict.c_str());
  std::printf("free space on /:  before %s\n                  after  %s\n",
              MiB(r.free_before).c_str(), MiB(r.free_after).c_str());
  std::printf("removed from /:   %zu path(s)\n", r.removed.size());
  for (const Removal& removal : r.removed) {
    std::printf("  %-50s %llu bytes\n", removal.path.c_str(), static_cast<unsigned long long>(removal.bytes));
  }
  std::printf("reboot command:   %s\n", r.reboots.empty() ? "NOT issued" : ("issued: " + r.reboots.front()).c_str());
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

void PrintJson(const UpgradeReport& r, const std::string& device_path) {
  std::printf("{\"upgrade_file\":%s,\"exited\":%s,\"exit_status\":%d,\"timed_out\":%s,",
              Json(device_path).c_str(), r.run.exited ? "true" : "false",
              r.run.exited ? r.run.exit_status : -1, r.run.timed_out ? "true" : "false");
  std::printf("\"validator\":{\"ran\":%s,\"passed\":%s,\"verdict\":%s},",
              r.validator_ran ? "true" : "false", r.validator_passed ? "true" : "false",
              Json(r.verdict).c_str());
  std::printf("\"free_before\":%llu,\"free_after\":%llu,\"removed\":[",
              static_cast<unsigned long long>(r.free_before),
              static_cast<unsigned long long>(r.free_after));
  for (std::size_t i = 0; i < r.removed.size(); ++i) {
    std::printf("%s{\"path\":%s,\"bytes\":%llu}", i == 0 ? "" : ",", Json(r.removed[i].path).c_str(),
                static_cast<unsigned long long>(r.removed[i].bytes));
  }
  std::printf("],\"reboot_issued\":%s,\"log\":%s}\n", r.reboots.empty() ? "false" : "true",
              Json(r.log).c_str());
}

}  // namespace

int RunUpgradeCommand(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUpgradeUsage, stdout);
      return 0;
    }
  }
  UpgradeOptions options;
  std::string error;
  if (!ParseUpgradeOptions(args, options, error)) {
    std::fprintf(stderr, "device-sim upgrade: %s\n%s", error.c_str(), kUpgradeUsage);
    return 2;
  }
  bool read = false;
  const std::string upgrade = ReadHostFile(options.file, read);
  if (!read) {
    std::fprintf(stderr, "device-sim upgrade: cannot read %s\n", options.file.c_str());
    return 2;
  }
  std::string name = options.file.substr(options.file.rfind('/') + 1);
  if (name.rfind("ud", 0) != 0) name = "ud-" + name;
  const std::string device_path = "/tmp/ramdisk/" + name;
  DeviceSpec& spec = options.spec;
  spec.ramdisk_size = std::max<std::uint64_t>(spec.ramdisk_size, upgrade.size() + (4u << 20));
  spec.files.push_back({device_path, upgrade, {}, 0644, {}});
  spec.binaries.push_back({options.upgrader, kDeviceUpgrader});
  std::vector<std::string> argv = {kDeviceUpgrader, Device::kWatchdogProgram};
  if (!options.launcher.empty()) {
    spec.binaries.push_back({options.launcher, kDeviceLauncher});
    argv.insert(argv.begin(), kDeviceLauncher);
  }

  const std::unique_ptr<Device> device = Device::Create(spec, &error);
  if (device == nullptr) {
    std::fprintf(stderr, "device-sim upgrade: cannot create the device: %s\n", error.c_str());
    return 2;
  }
  UpgradeReport report;
  std::map<std::string, std::uint64_t> before;
  Walk(*device, "/", before);
  report.free_before = device->FreeSpace("/");
  report.run = device->Run(argv, std::chrono::minutes(5));
  if (!report.run.started) {
    std::fprintf(stderr, "device-sim upgrade: cannot run the upgrader: %s\n", report.run.error.c_str());
    return 2;
  }
  report.free_after = device->FreeSpace("/");
  device->ReadFile(kPersistentLog, report.log);
  report.removed = Removed(before, *device);
  report.reboots = device->RebootRecords();
  JudgeValidator(report);
  if (options.json) {
    PrintJson(report, device_path);
  } else {
    PrintText(report, device_path);
  }
  // The upgrader's own status is reported above; ours says whether the upgrade would ship.
  return report.validator_passed && !report.reboots.empty() ? 0 : 1;
}

}  // namespace qx::sim
