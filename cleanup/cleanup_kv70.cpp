#include "cleanup/cleanup_kv70.h"

#include <unistd.h>

#include <string>

#include "cleanup/cleanup_stages.h"
#include "cleanup/removal_lists.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::cleanup {
namespace {

void LogValue(const char* text, unsigned int value) {
  qx::upgrader::utils::LogToUpgradeLog(text + std::to_string(value));
}

struct Stage {
  CleanupStage number;
  const char* opening_line;  // nullptr: the stage logs nothing when it starts
  // Exactly one of the two is set: the old logs' passes measure as they go, the others do not.
  void (*clear)();
  void (*clear_measuring)(CleanupBase&);
  const char* success_text;
};

// Stages 2 to 6, least harmful first: each runs only when everything before it left too little
// room. Stage 1 (TrimOversizedLogs) runs before them, with no measurement after it.
constexpr Stage kStages[] = {
    {kStage2StaticFiles, "Clearing unused static files", ClearStaticFiles, nullptr,
     "Enough space created after clearing static files"},
    {kStage3KernelModules, "Clearing unused kernel modules", ClearKernelModules, nullptr,
     "Enough space created after clearing kernel modules"},
    {kStage4OldLogs, "Clearing logs files", nullptr, ClearOldLogs,
     "Enough space created after clearing old logs"},
    {kStage5ExtraFiles, "Clearing extra files", ClearExtraFiles, nullptr,
     "Enough space created after clearing extra files"},
    {kStage6SystemLogs, nullptr, EmptySystemLogs, nullptr,
     "Enough space created after clearing extra files"},
};

constexpr bool NumberedInOrder() {
  int expected = kStage2StaticFiles;
  for (const Stage& stage : kStages) {
    if (stage.number != expected++) return false;
  }
  return expected == kStage6SystemLogs + 1;
}
static_assert(NumberedInOrder(), "kStages holds stages 2 to 6, in order");

}  // namespace

bool CleanupKV70::PerformCleanup(bool& enough) {
  qx::upgrader::utils::LogToUpgradeLog("Beginning file system cleanup");
  (void)CalculateFreespace();  // on failure the last value (0 at first) stands: never enough
  LogValue("FreeSpace: ", FreeSpace());
  LogValue("Required free space: ", FreeSpaceRequired());
  // No check before stage 2: oversized logs and unused static files go even when there is room.
  TrimOversizedLogs();  // kStage1TrimLogs
  for (const Stage& stage : kStages) {
    if (stage.opening_line != nullptr) qx::upgrader::utils::LogToUpgradeLog(stage.opening_line);
    if (stage.clear != nullptr) stage.clear();
    if (stage.clear_measuring != nullptr) stage.clear_measuring(*this);
    (void)CalculateFreespace();
    if (EnoughFreeSpace()) {
      qx::upgrader::utils::LogToUpgradeLog(stage.success_text);
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
