// `device-sim upgrade FILE`: a dry run of a real upgrade file on a fresh simulated router, with
// the upgrader that will ship. The validator inside the file really runs. Prints the upgrade log
// and what the run did to the router: exit status, the validator's verdict, free space on "/"
// before and after, what was removed from the root file system, and the reboot command.
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
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/cli.h"

namespace qx::sim::cli {
namespace {

void PrintUpgradeHelp() {
  std::printf(
      "usage: device-sim upgrade FILE [options]\n\n"
      "Runs the upgrader on a fresh simulated router with the upgrade file FILE in its ramdisk\n"
      "(/tmp/ramdisk/, under FILE's name, with \"ud-\" in front unless it begins with \"ud\"),\n"
      "as \"upgrader /tmp/wdprog\". The validator inside the file really runs. Prints the\n"
      "upgrade log and what the run did: exit status, the validator's verdict, free space on /\n"
      "before and after, what was removed from the root file system, and the reboot command.\n"
      "Exits 0 when the validator passed and the reboot command was issued, 1 when not, 2 on\n"
      "a usage error or when the router could not be simulated.\n\n"
      "  --upgrader PATH         the upgrader to run (default: $QX_UPGRADER, else the one built\n"
      "                          beside device-sim); $QX_UPGRADER_LAUNCHER names an emulator\n"
      "  --fill DEVICE=SIZE@DAYS a file of SIZE real bytes, last modified DAYS days ago\n"
      "                          (rotated logs are removed oldest first)\n"
      "  --power-cut-at TIME     cut the power TIME into the run (milliseconds, or with s),\n"
      "                          switch the router on again (the root file system kept, the\n"
      "                          ramdisk empty) and run the upgrade again with a fresh copy of\n"
      "                          FILE; the report covers both runs. Unsynced data is not lost\n"
      "                          as on the router: the simulator keeps no page cache of its own\n"
      "  --json                  the same report as one JSON object\n"
      "  -h, --help              this text\n\n%s",
      DeviceOptionsHelp());
}

constexpr const char kDeviceUpgrader[] = "/usr/bin/upgrader";
constexpr const char kDeviceLauncher[] = "/usr/bin/upgrader-launcher";
constexpr const char kPersistentLog[] = "/var/log/upgrade_log";
// The most of the log a report shows: a real one is a few kilobytes, and a device may leave
// anything there.
constexpr std::uint64_t kLogCapBytes = 1u << 20;

struct UpgradeOptions {
  std::string file;
  DeviceOptions device;
  std::string upgrader;
  std::string launcher;
  bool json = false;
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

// False with a message naming the problem on a usage error.
bool ParseUpgradeOptions(int argc, char** argv, UpgradeOptions& options, std::string& error) {
  options.upgrader = FromEnvironment("QX_UPGRADER");
  options.launcher = FromEnvironment("QX_UPGRADER_LAUNCHER");
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    if (arg == "--power-cut-at") {
      std::chrono::milliseconds at{0};
      if (i + 1 >= argc || !ParseDuration(argv[++i], at)) {
        error = "--power-cut-at: expected a time such as 1500 or 1.5s";
        return false;
      }
      options.power_cut = at;
      continue;
    }
    if ((arg == "--upgrader" || arg == "--fill") && i + 1 < argc &&
        (arg == "--upgrader" || std::strchr(argv[i + 1], '@') != nullptr)) {
      const std::string value = argv[++i];
      if (arg == "--upgrader") {
        options.upgrader = value;
        continue;
      }
      DeviceFile file;
      if (!ParseAgedFill(value, file)) {
        error = "--fill " + value + ": expected /DEVICE_PATH=SIZE@DAYS";
        return false;
      }
      options.device.spec.files.push_back(file);
      continue;
    }
    switch (ParseDeviceOption(argc, argv, i, options.device, &error)) {
      case OptionResult::kTaken:
        continue;
      case OptionResult::kBad:
        return false;
      case OptionResult::kNotMine:
        break;
    }
    if (arg.rfind("-", 0) == 0) {
      error = "unknown option " + arg;
      return false;
    }
    if (!options.file.empty()) {
      error = "more than one upgrade file: " + arg;
      return false;
    }
    options.file = arg;
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
  ReadBack log;
  std::string verdict;  // the validator's, or why it did not run
  bool validator_ran = false;
  bool validator_passed = false;
  std::uint64_t free_before = 0;
  std::uint64_t free_after = 0;
  std::vector<Removal> removed;
  std::vector<std::string> reboots;
};

// From the log's last line, read once the device is stopped: nothing can rewrite it after.
void JudgeValidator(UpgradeReport& report) {
  if (!report.log.read || report.log.cut()) {
    report.verdict = report.log.read ? "unknown: the log's last line is beyond the part read"
                                     : "unknown: the log was not read (" + report.log.why_not + ")";
    return;
  }
  std::vector<std::string> lines;
  std::istringstream in(report.log.content);
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

// What the device left as the log, for the text report (every byte of it made visible).
std::string LogSection(const ReadBack& log) {
  std::string heading = std::string("== upgrade log (") + kPersistentLog + " after the run";
  if (!log.read) return heading + "): not read: " + log.why_not + "\n";
  if (log.cut()) {
    heading += "; cut: its first " + std::to_string(log.content.size()) + " of " +
               std::to_string(log.size) + " bytes";
  }
  std::string body = Visible(log.content);
  if (!body.empty() && body.back() != '\n') body += "\n";
  return heading + ")\n" + body;
}

void PrintText(const UpgradeReport& r, const std::string& device_path) {
  std::fputs(LogSection(r.log).c_str(), stdout);
  std::printf("== summary (upgrade file %s)\n", Visible(device_path).c_str());
  if (r.run.exited) {
    std::printf(
        "exit status:      %d (%s)\n", r.run.exit_status,
        r.run.exit_status == 0 ? "early exit, nothing extracted" : "late exit, files extracted");
  } else {
    std::printf("exit status:      none: %s\n",
                r.run.timed_out ? "timed out" : "killed by a signal");
  }
  std::printf("validator:        %s\n", r.validator_ran ? (r.validator_passed ? "passed" : "FAILED")
                                        : r.log.read && !r.log.cut() ? "not run"
                                                                     : "unknown");
  std::printf("verdict:          %s\n", Visible(r.verdict).c_str());
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
    std::printf("%s{\"path\":%s,\"bytes\":%llu}", i == 0 ? "" : ",",
                Json(r.removed[i].path).c_str(),
                static_cast<unsigned long long>(r.removed[i].bytes));
  }
  std::printf(
      "],\"reboot_issued\":%s,\"log\":%s,\"log_read\":%s,\"log_not_read\":%s,"
      "\"log_cut\":%s,\"log_bytes\":%llu}\n",
      r.reboots.empty() ? "false" : "true", Json(r.log.content).c_str(),
      r.log.read ? "true" : "false", Json(r.log.why_not).c_str(), r.log.cut() ? "true" : "false",
      static_cast<unsigned long long>(r.log.size));
}

}  // namespace

int UpgradeCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUpgradeHelp();
      return 0;
    }
  }
  UpgradeOptions options;
  options.device.timeout = std::chrono::minutes(5);  // a large upgrade file takes a while
  std::string error;
  if (!ParseUpgradeOptions(argc, argv, options, error)) return UsageError("upgrade: " + error);
  bool read = false;
  const std::string upgrade = ReadHostFile(options.file, read);
  if (!read) {
    std::fprintf(stderr, "device-sim upgrade: cannot read %s\n", options.file.c_str());
    return kUsageError;
  }
  std::string name = options.file.substr(options.file.rfind('/') + 1);
  if (name.rfind("ud", 0) != 0) name = "ud-" + name;
  const std::string device_path = "/tmp/ramdisk/" + name;
  DeviceSpec& spec = options.device.spec;
  spec.ramdisk_size = std::max<std::uint64_t>(spec.ramdisk_size, upgrade.size() + (4u << 20));
  spec.files.push_back({device_path, upgrade, {}, 0644, {}});
  spec.binaries.push_back({options.upgrader, kDeviceUpgrader});
  std::vector<std::string> command = {kDeviceUpgrader, Device::kWatchdogProgram};
  if (!options.launcher.empty()) {
    spec.binaries.push_back({options.launcher, kDeviceLauncher});
    command.insert(command.begin(), kDeviceLauncher);
  }

  bool refused = false;
  const std::unique_ptr<Device> device = CreateDevice(options.device, &refused);
  if (device == nullptr) return kUsageError;
  UpgradeReport report;
  std::map<std::string, std::uint64_t> before;
  Walk(*device, "/", before);
  report.free_before = device->FreeSpace("/");
  if (options.power_cut) {
    // The first run ends where the power goes; the router then boots and the upgrade is tried
    // again, as whoever started it would, with the file put back into the empty ramdisk.
    const RunResult cut =
        device->Run(command, *options.power_cut, options.device.cwd, options.device.env);
    std::string why;
    if (!cut.started || !device->PowerCycle(&why) ||
        !device->WriteFile({device_path, upgrade, {}, 0644, {}})) {
      std::fprintf(stderr, "device-sim upgrade: cannot cut the power: %s%s\n", cut.error.c_str(),
                   why.c_str());
      return kUsageError;
    }
    if (!options.json) {
      // Nothing of the first run is left running: the power cycle ended it all.
      const ReadBack log = device->ReadBackFile(kPersistentLog, kLogCapBytes);
      std::printf("== power cut %lld ms into the run (%s); %s after the power cycle:\n%s",
                  static_cast<long long>(options.power_cut->count()),
                  cut.timed_out ? "the upgrader was still running" : "the upgrader had ended",
                  kPersistentLog,
                  !log.read || log.content.empty() ? "(none)\n" : Visible(log.content).c_str());
    }
  }
  report.run = device->Run(command, options.device.timeout, options.device.cwd, options.device.env);
  if (!report.run.started) {
    std::fprintf(stderr, "device-sim upgrade: cannot run the upgrader: %s\n",
                 report.run.error.c_str());
    return kUsageError;
  }
  // The watchdog applet detaches: its open of /dev/watchdog can come just after the upgrader
  // returned, so give it a moment before calling the reboot missing.
  for (int poll = 0; poll < 150 && report.reboots.empty(); ++poll) {
    report.reboots = device->RebootRecords();
    if (report.reboots.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // What the run left is read back only once nothing of it runs: a process it left behind could
  // otherwise swap the log for a FIFO, a device or a link while the report is made.
  if (!device->Stop()) {
    std::fprintf(stderr, "device-sim upgrade: cannot stop the device to read it back\n");
    return kUsageError;
  }
  report.free_after = device->FreeSpace("/");
  report.log = device->ReadBackFile(kPersistentLog, kLogCapBytes);
  report.removed = Removed(before, *device);
  JudgeValidator(report);
  if (options.json) {
    PrintJson(report, device_path);
  } else {
    PrintText(report, device_path);
  }
  // The upgrader's own status is reported above; ours says whether the upgrade would ship.
  return report.validator_passed && !report.reboots.empty() ? 0 : 1;
}

}  // namespace qx::sim::cli
