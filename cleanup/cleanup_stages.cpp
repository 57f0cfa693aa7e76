#include "cleanup/cleanup_stages.h"

#include <unistd.h>

#include "cleanup/cleanup_utils.h"
#include "cleanup/kv70_tables.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::cleanup {
namespace {

// The order in which the series are asked, which is also the order that breaks a tie.
constexpr const RotatedLogSeries* kPassOrder[] = {&kHomeLogSeries, &kMessagesSeries,
                                                  &kSyslogSeries};

// Picks the member of the pass: the smallest time, compared as signed values; the first series
// in kPassOrder wins a tie. False when no series has a member.
bool ChooseOldestMember(MemberScan scan, std::string& chosen) {
  bool found = false;
  long chosen_time = 0;
  for (const RotatedLogSeries* series : kPassOrder) {
    std::string path;
    if (!FindOldestMember(*series, scan, path)) continue;
    const long time = upgrader::utils::FileModificationTime(path);
    if (!found || time < chosen_time) {
      found = true;
      chosen_time = time;
      chosen = std::move(path);
    }
  }
  return found;
}

}  // namespace

void TrimOversizedLogs() {
  for (const LogTrim& trim : kLogTrims) {
    unsigned int size = 0;
    (void)upgrader::utils::FileSize(trim.path, size);  // missing or not a file: stays 0
    if (size <= trim.limit) continue;
    upgrader::utils::LogToUpgradeLog(trim.log_text + std::to_string(size));
    for (const char* command : trim.commands) {
      if (command != nullptr) (void)upgrader::utils::RunShellCommand(command);
    }
  }
}

void ClearKernelModules() {
  for (const KernelModules& release : kKernelModules) {
    bool running = false;
    // Only a banner that was read and does not name the release lets its modules go.
    if (utils::MatchesKernelVersion(release.match, running) && !running) {
      (void)upgrader::utils::RunShellCommand(release.command);
    }
  }
}

void ClearOldLogs(CleanupBase& cleanup, MemberScan scan, std::vector<std::string>* removed) {
  std::string member;
  while (ChooseOldestMember(scan, member)) {
    // A member that survives its unlink (a read-only directory, say) would be chosen by every
    // later pass: end the passes rather than loop without progress.
    if (::unlink(member.c_str()) != 0 && upgrader::utils::FileExists(member)) return;
    if (removed != nullptr) removed->push_back(member);
    (void)cleanup.CalculateFreespace();  // a failed measurement keeps the last value
    if (cleanup.EnoughFreeSpace()) return;
  }
}

void EmptySystemLogs() {
  for (const char* command : kSystemLogTruncations) {
    (void)upgrader::utils::RunShellCommand(command);
  }
}

}  // namespace qx::upgrader::cleanup
