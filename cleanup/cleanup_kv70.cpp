#include "cleanup/cleanup_kv70.h"

#include <unistd.h>

#include <string>

#include "cleanup/cleanup_stages.h"
#include "cleanup/removal_lists.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::cleanup {
namespace {

using upgrader::utils::LogToUpgradeLog;

void LogValue(const char* text, unsigned int value) {
  LogToUpgradeLog(text + std::to_string(value));
}

void StaticFilesStage(CleanupBase&) {
  LogToUpgradeLog("Clearing unused static files");
  ClearStaticFiles();
}

void KernelModulesStage(CleanupBase&) {
  LogToUpgradeLog("Clearing unused kernel modules");
  ClearKernelModules();
}

void OldLogsStage(CleanupBase& cleanup) {
  LogToUpgradeLog("Clearing logs files");
  ClearOldLogs(cleanup, MemberScan::kDirectoryListing);
}

void ExtraFilesStage(CleanupBase&) {
  LogToUpgradeLog("Clearing extra files");
  ClearExtraFiles();
}

void SystemLogsStage(CleanupBase&) { EmptySystemLogs(); }

struct Stage {
  void (*run)(CleanupBase&);
  const char* success_text;
};

// Least harmful first: each stage runs only when everything before it left too little room.
constexpr Stage kStages[] = {
    {StaticFilesStage, "Enough space created after clearing static files"},
    {KernelModulesStage, "Enough space created after clearing kernel modules"},
    {OldLogsStage, "Enough space created after clearing old logs"},
    {ExtraFilesStage, "Enough space created after clearing extra files"},
    {SystemLogsStage, "Enough space created after clearing extra files"},
};

}  // namespace

bool CleanupKV70::PerformCleanup(bool& enough) {
  LogToUpgradeLog("Beginning file system cleanup");
  (void)CalculateFreespace();  // on failure the last value (0 at first) stands: never enough
  LogValue("FreeSpace: ", FreeSpace());
  LogValue("Required free space: ", FreeSpaceRequired());
  // No check before stage 2: oversized logs and unused static files go even when there is room.
  TrimOversizedLogs();
  for (const Stage& stage : kStages) {
    stage.run(*this);
    (void)CalculateFreespace();
    if (EnoughFreeSpace()) {
      LogToUpgradeLog(stage.success_text);
      LogValue("FreeSpace: ", FreeSpace());
      LogValue("Required: ", FreeSpaceRequired());
      enough = true;
      ::sync();
      return true;
    }
    LogValue("FreeSpace: ", FreeSpace());
  }
  return true;
}

}  // namespace qx::upgrader::cleanup
