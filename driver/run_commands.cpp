#include "driver/run_commands.h"

#include <sys/wait.h>

namespace qx::upgrader::driver {
namespace {

constexpr std::uint32_t kSweepWindowSeconds = 1000;
// The watchdog argument is "/tmp/" and a program name; its process name starts after that.
constexpr std::size_t kWatchdogDirectoryChars = 5;
constexpr int kExitCodeShift = 8;
constexpr int kExitCodeMask = 0xff;

}  // namespace

std::string ComposeSweepCommand(std::uint32_t now) {
  const std::uint32_t window = now / kSweepWindowSeconds;
  // 32-bit unsigned arithmetic: in window 0 the previous window wraps to 4294967295.
  const std::uint32_t previous = window - 1u;
  const std::uint32_t next = window + 1u;
  return "find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud" + std::to_string(window) +
         "*\" ! -name \"ud" + std::to_string(previous) + "*\" ! -name \"ud" + std::to_string(next) +
         "*\" -exec rm -rf {} \\;";
}

std::string UpgradeFilePath(const std::string& entry_name) {
  // The directory text already ends in a slash; the second one has always been part of the
  // path that the log lines show.
  return std::string(kUpgradeDirectory) + "/" + entry_name;
}

std::string ComposeWatchdogStartCommand(const std::string& watchdog) { return watchdog + " &"; }

std::string ComposeWatchdogKillCommand(const std::string& watchdog) {
  if (watchdog.size() < kWatchdogDirectoryChars) return std::string();
  return "pkill -9 " + watchdog.substr(kWatchdogDirectoryChars);
}

bool BoardGatePasses(int status) {
  // Shifted as unsigned so -1 keeps its all-ones exit-code byte without a signed shift.
  const unsigned int exit_code = (static_cast<unsigned int>(status) >> kExitCodeShift) &
                                 static_cast<unsigned int>(kExitCodeMask);
  return exit_code != 0;
}

std::string ValidatorVerdictLine(int status) {
  if (status == 0) return kUpgradedLine;
  if (status == -1) return "Firmware validation failed: validator could not be started";
  if (WIFSIGNALED(status)) {
    return "Firmware validation failed: validator killed by signal " +
           std::to_string(WTERMSIG(status));
  }
  if (WIFEXITED(status)) {
    return "Firmware validation failed: validator exit status " +
           std::to_string(WEXITSTATUS(status));
  }
  // Stopped or continued: system() waits for termination, so this is not expected; still not
  // a success.
  return "Firmware validation failed: validator exit status " + std::to_string(status);
}

}  // namespace qx::upgrader::driver
