#include "cleanup/cleanup_stages.h"

#include "cleanup/cleanup_utils.h"
#include "cleanup/kv70_tables.h"
#include "cleanup/rotated_logs.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::cleanup {
namespace {

struct PassSeries {
  const RotatedLogSeries& series;
  bool (*find_earliest_time)(long&);
};

// The order in which the series are asked, which is also the order that breaks a tie.
const PassSeries kPassOrder[] = {
    {kHomeLogSeries, qx::upgrader::cleanup::utils::FindEarliestHomeLogTime},
    {kMessagesSeries, qx::upgrader::cleanup::utils::FindEarliestVarLogMessageTime},
    {kSyslogSeries, qx::upgrader::cleanup::utils::FindEarliestVarLogSyslogTime},
};

// The series of the pass: the smallest time, compared as signed values; the first series in
// kPassOrder wins a tie. nullptr when no series has a member.
const RotatedLogSeries* ChooseOldestSeries() {
  const RotatedLogSeries* chosen = nullptr;
  long chosen_time = 0;
  for (const PassSeries& pass : kPassOrder) {
    long time = 0;
    if (!pass.find_earliest_time(time)) continue;
    if (chosen == nullptr || time < chosen_time) {
      chosen = &pass.series;
      chosen_time = time;
    }
  }
  return chosen;
}

}  // namespace

void TrimOversizedLogs() {
  for (const LogTrim& trim : kLogTrims) {
    unsigned int size = 0;
    (void)qx::upgrader::utils::FileSize(trim.path, size);  // missing or not a file: stays 0
    if (size <= trim.limit) continue;
    qx::upgrader::utils::LogToUpgradeLog(trim.log_text + std::to_string(size));
    if (trim.written_through != nullptr) {
      (void)qx::upgrader::utils::RemoveUnsafeEntry(trim.written_through);
    }
    for (const char* command : trim.commands) {
      if (command != nullptr) (void)qx::upgrader::utils::RunShellCommand(command);
    }
  }
}

void ClearKernelModules() {
  for (const KernelModules& release : kKernelModules) {
    bool running = false;
    // Only a banner that was read and does not name the release lets its modules go.
    if (qx::upgrader::cleanup::utils::MatchesKernelVersion(release.match, running) && !running) {
      (void)qx::upgrader::utils::RunShellCommand(release.command);
    }
  }
}

void ClearOldLogs(CleanupBase& cleanup) {
  while (const RotatedLogSeries* series = ChooseOldestSeries()) {
    // A member that survives its unlink would be chosen by every later pass: end the passes
    // rather than loop without progress.
    if (UnlinkOldestMember(*series) != Unlinked::kGone) return;
    (void)cleanup.CalculateFreespace();  // a failed measurement keeps the last value
    if (cleanup.EnoughFreeSpace()) return;
  }
}

void EmptySystemLogs() {
  for (const char* command : kSystemLogTruncations) {
    (void)qx::upgrader::utils::RunShellCommand(command);
  }
}

}  // namespace qx::upgrader::cleanup
