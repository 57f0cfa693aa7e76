#include <getopt.h>
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/cli/cli.h"

namespace qx::sim::cli {
namespace {

constexpr const char kUsageLine[] =
    "usage: device-sim COMMAND [options] ... (see 'device-sim --help')\n";

// NAME=VALUE split at the first separator; false when it is missing or a side is empty.
bool SplitAt(const std::string& text, const std::string& separator, std::string& left,
             std::string& right, bool right_may_be_empty) {
  const std::size_t at = text.find(separator);
  if (at == std::string::npos || at == 0) return false;
  left = text.substr(0, at);
  right = text.substr(at + (separator == ":/" ? 1 : separator.size()));
  return right_may_be_empty || !right.empty();
}

std::string KernelBannerFor(const std::string& release) {
  return "Linux version " + release +
         " (builder@qx-build) (gcc version 4.4.4 (GCC) ) #1 PREEMPT Tue Mar 5 10:00:00 UTC 2024\n";
}

}  // namespace

bool ParseSize(const std::string& text, std::uint64_t& bytes) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0) return false;
  unsigned shift = 0;
  const std::string suffix = end;
  if (suffix == "K" || suffix == "k") {
    shift = 10;
  } else if (suffix == "M" || suffix == "m") {
    shift = 20;
  } else if (suffix == "G" || suffix == "g") {
    shift = 30;
  } else if (!suffix.empty()) {
    return false;
  }
  if (shift != 0 && value > (~0ull >> shift)) return false;
  bytes = value << shift;
  return true;
}

namespace {

// The device options that take a value; --no-board and --no-services take none.
constexpr const char* kDeviceValueOptions[] = {
    "root-size",    "ramdisk-size",  "kernel",  "kernel-banner",
    "proc-version", "board",         "copy",    "file",
    "fill",         "dir",           "symlink", "timeout",
    "memory-limit", "process-limit", "env",     "cwd"};
constexpr const char* kDeviceFlagOptions[] = {"no-board", "no-services"};

// getopt_long's codes: device options from here, the command's own options after them.
constexpr int kFirstLongCode = 256;
constexpr int kHelpCode = 'h';
constexpr int kVersionCode = 'V';

// Applies one device option, named without its "--"; false sets *error naming it.
bool ApplyDeviceOption(const std::string& name, const std::string& value, DeviceOptions& options,
                       std::string* error) {
  const std::string option = "--" + name;
  DeviceSpec& spec = options.spec;
  if (option == "--no-board") {
    spec.board.reset();
    return true;
  }
  if (option == "--no-services") {
    spec.start_services = false;
    return true;
  }
  std::string left, right;
  std::uint64_t size = 0;
  const auto bad = [&](const std::string& expected) {
    *error = option + " " + value + ": expected " + expected;
    return false;
  };
  if (option == "--root-size" || option == "--ramdisk-size") {
    if (!ParseSize(value, size) || size < (1u << 20))
      return bad("a size of at least 1M (e.g. 64M)");
    (option == "--root-size" ? spec.root_size : spec.ramdisk_size) = size;
  } else if (option == "--memory-limit") {
    if (!ParseSize(value, size) || size < (16u << 20))
      return bad("a size of at least 16M (e.g. 256M)");
    spec.memory_limit = size;
  } else if (option == "--process-limit") {
    // init and the 25 services take 26; the rest is for what runs.
    if (!ParseSize(value, size) || size < 32 || size > 4194304)
      return bad("a number from 32 to 4194304");
    spec.process_limit = size;
  } else if (option == "--kernel") {
    spec.kernel_banner = KernelBannerFor(value);
  } else if (option == "--kernel-banner") {
    spec.kernel_banner = value;
  } else if (option == "--proc-version") {
    if (value == "banner") {
      spec.proc_version = ProcVersion::kBanner;
    } else if (value == "unreadable") {
      spec.proc_version = ProcVersion::kUnreadable;
    } else if (value == "absent") {
      spec.proc_version = ProcVersion::kAbsent;
    } else {
      return bad("banner, unreadable or absent");
    }
  } else if (option == "--board") {
    spec.board = value + "\n";
  } else if (option == "--copy") {
    if (!SplitAt(value, ":/", left, right, false)) return bad("HOST_PATH:/DEVICE_PATH");
    spec.binaries.push_back({left, right});
  } else if (option == "--file") {
    if (!SplitAt(value, "=", left, right, true) || left[0] != '/')
      return bad("/DEVICE_PATH=CONTENT");
    spec.files.push_back({left, right, std::nullopt, 0644, std::nullopt});
  } else if (option == "--fill") {
    if (!SplitAt(value, "=", left, right, false) || left[0] != '/' || !ParseSize(right, size)) {
      return bad("/DEVICE_PATH=SIZE");
    }
    spec.files.push_back({left, "", size, 0644, std::nullopt});
  } else if (option == "--dir") {
    if (value[0] != '/') return bad("an absolute device path");
    spec.directories.push_back(value);
  } else if (option == "--symlink") {
    if (!SplitAt(value, "=", left, right, false) || left[0] != '/')
      return bad("/DEVICE_PATH=TARGET");
    spec.symlinks.push_back({left, right});
  } else if (option == "--timeout") {
    char* end = nullptr;
    const double seconds = std::strtod(value.c_str(), &end);
    if (end == value.c_str() || *end != '\0' || !(seconds > 0) || seconds > 86400) {
      return bad("seconds, more than 0 and at most 86400");
    }
    options.timeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  } else if (option == "--env") {
    if (!SplitAt(value, "=", left, right, true)) return bad("NAME=VALUE");
    options.env.push_back(value);
  } else {  // --cwd
    if (value[0] != '/') return bad("an absolute device path");
    options.cwd = value;
  }
  return true;
}

}  // namespace

std::string DeviceOptionsHelp(std::chrono::seconds default_timeout) {
  return std::string(
             "device options:\n"
             "  --root-size SIZE        size of the root tmpfs, i.e. what statvfs(\"/\") sees\n"
             "                          (bytes, or with K, M, G; default 64M)\n"
             "  --ramdisk-size SIZE     size of the /tmp/ramdisk tmpfs (default 32M)\n"
             "  --kernel RELEASE        /proc/version names this kernel release\n"
             "  --kernel-banner TEXT    /proc/version holds exactly TEXT\n"
             "  --proc-version MODE     banner (default), unreadable (open fails) or absent\n"
             "  --board ID              /sys/kernel/qxfc/board holds ID and a line feed (default "
             "12)\n"
             "  --no-board              no board file at all\n"
             "  --no-services           do not start the 25 services of the stop list\n"
             "  --copy HOST:DEVICE      copy a host executable in (with its loader and libraries)\n"
             "  --file DEVICE=CONTENT   create a file with this content (parents created)\n"
             "  --fill DEVICE=SIZE      create a file of SIZE real bytes\n"
             "  --dir DEVICE            create a directory (with parents)\n"
             "  --symlink DEVICE=TARGET create a symbolic link\n"
             "  --timeout SECONDS       kill the device's processes after this long (default ") +
         std::to_string(default_timeout.count()) +
         ")\n"
         "  --memory-limit SIZE     memory of the whole device, its tmpfs pages included\n"
         "                          (default 256M); beyond it the kernel kills its largest\n"
         "                          process\n"
         "  --process-limit N       processes of the whole device (default 512); beyond it\n"
         "                          fork fails\n"
         "  --env NAME=VALUE        add to the program's environment (PATH is set)\n"
         "  --cwd DEVICE            working directory of the program (default /)\n";
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "device-sim: %s\n%s", message.c_str(), kUsageLine);
  return kUsageError;
}

int UsageError(const CommandLine& line, const std::string& message) {
  std::fprintf(stderr, "device-sim %s: %s\n%s", line.command, message.c_str(), line.usage);
  return kUsageError;
}

int PrintVersion() {
  std::printf("device-sim %s\n", QX_VERSION);
  return 0;
}

namespace {

// How getopt's complaint reads: the option as written (a long one without its "=value").
std::string OffendingOption(int code, const char* element) {
  const bool long_form = element != nullptr && std::strncmp(element, "--", 2) == 0;
  const std::string written =
      long_form ? std::string(element).substr(0, std::string(element).find('=')) : "";
  if (code == ':') {
    return "option '" + (long_form ? written : std::string("-") + char(optopt)) + "' needs a value";
  }
  if (optopt == 0) return "unknown option '" + written + "'";
  if (long_form) return "option '" + written + "' takes no value";
  return "unknown option '-" + std::string(1, char(optopt)) + "'";
}

}  // namespace

int ParseCommandLine(int argc, char** argv, const CommandLine& line, DeviceOptions& device,
                     const OptionHandler& handle) {
  // Long names by code: the device options first, then the command's own.
  std::vector<std::string> names;
  std::vector<option> longs;
  const auto add = [&](const char* name, bool takes_value) {
    names.push_back(name);
    longs.push_back({name, takes_value ? required_argument : no_argument, nullptr,
                     kFirstLongCode + static_cast<int>(longs.size())});
  };
  for (const char* name : kDeviceValueOptions) add(name, true);
  for (const char* name : kDeviceFlagOptions) add(name, false);
  const std::size_t first_own = longs.size();
  // "+": run stops at its COMMAND; ":": a missing value is told from an unknown option.
  std::string shorts = line.operands_end_options ? "+:hV" : ":hV";  // -h --help, -V --version
  for (const CommandOption& own : line.own) {
    add(own.name, own.takes_value);
    if (own.short_name != 0) {
      // getopt_long returns a short option as its char converted to int, so the long twin's
      // code converts the same way, sign and all.
      // NOLINTNEXTLINE(bugprone-signed-char-misuse)
      longs.back().val = own.short_name;
      shorts += own.short_name;
      if (own.takes_value) shorts += ':';
    }
  }
  longs.push_back({"help", no_argument, nullptr, kHelpCode});
  longs.push_back({"version", no_argument, nullptr, kVersionCode});
  longs.push_back({nullptr, 0, nullptr, 0});

  optind = 0;  // a full restart of getopt's scan
  opterr = 0;
  std::string error;
  for (;;) {
    const int code = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr);
    if (code == -1) break;
    if (code == kHelpCode) {
      line.print_help();
      return 0;
    }
    if (code == kVersionCode) return PrintVersion();
    if (code == '?' || code == ':') {
      return UsageError(line, OffendingOption(code, argv[optind - 1]));
    }
    std::size_t index = 0;
    if (code >= kFirstLongCode) {
      index = static_cast<std::size_t>(code - kFirstLongCode);
    } else {
      while (index < longs.size() && longs[index].val != code) ++index;
    }
    if (index >= names.size()) return UsageError(line, "unknown option");
    const std::string value = optarg != nullptr ? optarg : "";
    // The command sees every option first: upgrade's --fill takes a form of its own.
    const OptionResult own = handle(names[index], optarg, error);
    if (own == OptionResult::kBad) return UsageError(line, error);
    if (own == OptionResult::kTaken) continue;
    if (index >= first_own) return UsageError(line, "option '--" + names[index] + "' not taken");
    if (!ApplyDeviceOption(names[index], value, device, &error)) return UsageError(line, error);
  }
  for (int i = optind; i < argc; ++i) {
    if (handle("", argv[i], error) == OptionResult::kBad) return UsageError(line, error);
  }
  return -1;
}

std::unique_ptr<Device> CreateDevice(const DeviceOptions& options, bool* refused) {
  std::string error;
  std::unique_ptr<Device> device = Device::Create(options.spec, &error, refused);
  if (!device) {
    std::fprintf(stderr, "device-sim: %s: %s\n",
                 *refused ? "refusing to start a device" : "cannot create the device",
                 error.c_str());
  }
  return device;
}

std::string Visible(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\n' || c == '\t') {
      out += c;
      continue;
    }
    if (byte >= 0x80) {
      out += "M-";
      byte = static_cast<unsigned char>(byte - 0x80);
    }
    if (byte < 0x20) {
      out += '^';
      out += static_cast<char>(byte + 0x40);
    } else if (byte == 0x7f) {
      out += "^?";
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

std::string SignalName(int signal) {
  const char* abbreviation = ::sigabbrev_np(signal);
  return abbreviation != nullptr ? std::string("SIG") + abbreviation : std::to_string(signal);
}

}  // namespace qx::sim::cli
