// upgrader: one firmware upgrade run, from taking the router out of service to the watchdog
// reboot. Started with the path of a watchdog program once an upgrade file is in /tmp/ramdisk/.
// The upgrade log is the only report; the exit status tells an early exit (0, nothing extracted)
// from a late one (1).
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <exception>
#include <string>

#include "cleanup/cleanup_kv70.h"
#include "container/upgrade_file.h"
#include "driver/autostart.h"
#include "driver/exits.h"
#include "driver/run_commands.h"
#include "driver/run_guard.h"
#include "driver/staging.h"
#include "utils/upgrader_utils.h"

namespace {

using qx::upgrader::utils::LogToUpgradeLog;
using qx::upgrader::utils::RunShellCommand;
namespace driver = qx::upgrader::driver;

using driver::Exit;

constexpr int kEarlyExitStatus = driver::ExitStatus(driver::Closing::kEarly);  // nothing extracted
constexpr int kLateExitStatus = driver::ExitStatus(driver::Closing::kLate);  // extraction attempted

// The last action of every run. sync() comes first so that nothing written so far is lost when
// the watchdog fires.
int SyncAndReboot(const std::string& watchdog, int exit_status) {
  ::sync();
  const std::string kill_command = driver::ComposeWatchdogKillCommand(watchdog);
  if (!kill_command.empty()) (void)RunShellCommand(kill_command);
  (void)::unlink(watchdog.c_str());  // an empty path simply fails
  (void)RunShellCommand(driver::kRebootCommand);
  return exit_status;
}

// E1: no watchdog argument. Nothing was marked, stopped or started, so nothing is restored.
int EndWithoutWatchdog(const char* program_name) {
  (void)LogToUpgradeLog(std::string(program_name != nullptr ? program_name : "") +
                        driver::kNoWatchdogSuffix);
  (void)RunShellCommand(driver::kLogOutOfRamdiskCommand);
  return SyncAndReboot(std::string(),
                       driver::ExitStatus(driver::ExitOf(Exit::kNoWatchdog).closing));
}

// The early closing (E2 to E5): the exit's line is the last one the run writes.
int CloseEarly(const std::string& watchdog, const std::string& line) {
  (void)LogToUpgradeLog(line);
  (void)EnableAutoStartBinaries();
  (void)RunShellCommand(driver::kLogOutOfRamdiskCommand);
  return SyncAndReboot(watchdog, kEarlyExitStatus);
}

// The late closing (E6, E7): after extraction was attempted.
int CloseLate(const std::string& watchdog, const std::string& line) {
  (void)LogToUpgradeLog(line);
  (void)RunShellCommand(driver::kLogOutOfRamdiskCommand);
  (void)EnableAutoStartBinaries();
  return SyncAndReboot(watchdog, kLateExitStatus);
}

// Every exit after the argument check, by the closing the exit table gives it.
template <Exit kExit>
int Close(const std::string& watchdog, const std::string& line) {
  if constexpr (driver::ExitOf(kExit).closing == driver::Closing::kLate) {
    return CloseLate(watchdog, line);
  } else {
    return CloseEarly(watchdog, line);
  }
}

void MarkUpgradeStarted() {
  (void)RunShellCommand(driver::kMarkUpgradeStartedCommand);
  (void)qx::upgrader::utils::RemoveUnsafeEntry(driver::kStartupWaitMarker);  // touch follows links
  (void)RunShellCommand(driver::kMarkStartupWaitCommand);
  driver::SleepThroughSignals(driver::kMarkerPauseSeconds);
  ::sync();
}

void StopServices() {
  for (const char* command : driver::kServiceStopCommands) (void)RunShellCommand(command);
}

void SweepStaleUpgradeFiles() {
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  (void)RunShellCommand(driver::ComposeSweepCommand(now));
}

void StartWatchdogProgram(const std::string& watchdog) {
  (void)RunShellCommand(driver::ComposeWatchdogStartCommand(watchdog));
}

bool BoardIsSupported() {
  return driver::BoardGatePasses(RunShellCommand(driver::kBoardGateCommand));
}

bool MakeRoom(qx::upgrader::cleanup::CleanupKV70& cleanup) {
  (void)LogToUpgradeLog(driver::kRunningCleanupLine);
  bool enough = false;
  const bool performed = cleanup.PerformCleanup(enough);
  return performed && enough;
}

// How far a run got, for the closing that an exception takes.
struct Progress {
  bool has_watchdog = false;  // past the argument check
  std::string watchdog;
  bool extraction_attempted = false;
};

int Upgrade(int argc, char** argv, const std::string& claim_failure, Progress& progress) {
  (void)RunShellCommand(driver::kLogIntoRamdiskCommand);
  // A link or FIFO that an earlier driver moved to /var/log comes back with the log: it goes.
  (void)qx::upgrader::utils::RemoveUnsafeEntry(qx::upgrader::utils::kUpgradeLogPath);
  (void)LogToUpgradeLog(driver::kBanner);
  if (!claim_failure.empty())
    (void)LogToUpgradeLog(driver::kClaimUnavailablePrefix + claim_failure);
  if (argc < 2) return EndWithoutWatchdog(argc > 0 ? argv[0] : nullptr);
  progress.watchdog = argv[1];  // further arguments are ignored
  progress.has_watchdog = true;
  const std::string& watchdog = progress.watchdog;

  MarkUpgradeStarted();
  StopServices();
  SweepStaleUpgradeFiles();
  StartWatchdogProgram(watchdog);
  if (!BoardIsSupported()) return Close<Exit::kWrongBoard>(watchdog, driver::kWrongBoardLine);

  driver::RemoveStaleMembers();
  qx::upgrader::cleanup::CleanupKV70 cleanup(driver::kRequiredFreeSpace);
  if (!MakeRoom(cleanup)) return Close<Exit::kCleanupFailed>(watchdog, driver::kCleanupFailedLine);

  std::string path;
  if (!driver::LocateUpgradeFile(path))
    return Close<Exit::kNotFound>(watchdog, driver::kNotFoundLine);
  qx::upgradeFile::UpgradeFile upgrade_file(path);
  if (!upgrade_file.ParseFile()) {
    return Close<Exit::kParseFailed>(watchdog,
                                     driver::kParseFailedPrefix + upgrade_file.ErrorMessage());
  }
  progress.extraction_attempted = true;
  if (!driver::ExtractUpgradeMembers(upgrade_file)) {
    return Close<Exit::kExtractFailed>(watchdog,
                                       driver::kExtractFailedPrefix + upgrade_file.ErrorMessage());
  }
  const bool ramdisk_mounted = driver::StageIntoFreshRamdisk(path);
  const int validator_status = driver::RunValidator();
  // Nothing of the upgrade may stay on the root file system beneath a later mount.
  if (!ramdisk_mounted) driver::RemoveStagedMembers();
  return Close<Exit::kValidated>(watchdog, driver::ValidatorVerdictLine(validator_status));
}

// The run's work ended in an exception: the closing of the exit it would have reached next, so
// the unit is never left with its services stopped and no reboot coming. Should the closing
// itself fail, the reboot command still runs, through texts that need no memory.
int CloseAfterException(const Progress& progress, const char* what) {
  const int status = progress.extraction_attempted ? kLateExitStatus : kEarlyExitStatus;
  try {
    const std::string line = driver::kUpgradeStoppedPrefix + std::string(what);
    if (!progress.has_watchdog) {
      (void)LogToUpgradeLog(line);
      (void)RunShellCommand(driver::kLogOutOfRamdiskCommand);
      return SyncAndReboot(std::string(), status);
    }
    return progress.extraction_attempted ? CloseLate(progress.watchdog, line)
                                         : CloseEarly(progress.watchdog, line);
  } catch (...) {
    (void)RunShellCommand(driver::kLogOutOfRamdiskCommand);
    ::sync();
    (void)RunShellCommand(driver::kRebootCommand);
    return status;
  }
}

}  // namespace

int main(int argc, char** argv) {
  driver::TakeOverTheProcess();
  std::string claim_failure;
  const driver::RunClaim claim = driver::ClaimTheDevice(claim_failure);
  // A second run changes nothing on the device: its one line lands in the running run's log.
  if (claim == driver::RunClaim::kHeldByOther) {
    (void)LogToUpgradeLog(driver::kAnotherRunLine);
    return kEarlyExitStatus;
  }
  driver::CloseTheRamdisk();
  Progress progress;
  try {
    return Upgrade(argc, argv, claim == driver::RunClaim::kUnavailable ? claim_failure : "",
                   progress);
  } catch (const std::exception& stopped) {
    return CloseAfterException(progress, stopped.what());
  } catch (...) {
    return CloseAfterException(progress, "unknown exception");
  }
}
