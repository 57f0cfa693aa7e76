// The steps of the KV70 cleanup that are not removal lists, each usable on its own (the
// strategy runs them in order). None measures free space unless it says so; all are silent
// unless they say what they log.
#ifndef QX_CLEANUP_CLEANUP_STAGES_H_
#define QX_CLEANUP_CLEANUP_STAGES_H_

#include "cleanup/cleanup_base.h"

namespace qx::upgrader::cleanup {

// The stages of the KV70 cleanup, numbered in the order they run. Stage 1 always runs; from
// stage 2 on, free space is measured after each and the cleanup stops at the first that leaves
// enough room.
enum CleanupStage : int {
  kStage1TrimLogs = 1,
  kStage2StaticFiles,
  kStage3KernelModules,
  kStage4OldLogs,
  kStage5ExtraFiles,
  kStage6SystemLogs,
};

// kStage1TrimLogs: empties each log of kLogTrims whose size exceeds its limit (a missing or
// non-regular file counts as size 0), after logging the row's text and the size.
void TrimOversizedLogs();

// kStage3KernelModules without its opening line: removes the module directory of every release of
// kKernelModules that the running kernel's banner does not name. A row whose banner check
// fails keeps its directory (and MatchesKernelVersion logs why).
void ClearKernelModules();

// kStage4OldLogs without its opening line: passes that each remove one rotated log, the oldest by
// modification time across the series (ties: home logs, then messages, then the system log;
// any time, 0 included, is a real time, since a series without a member says so itself),
// measuring free space after each. The passes end when there is enough room, when no series
// has a member left, or when the chosen member is still there after its unlink (it would be
// chosen again forever).
void ClearOldLogs(CleanupBase& cleanup);

// kStage6SystemLogs: empties both system logs whatever their size.
void EmptySystemLogs();

}  // namespace qx::upgrader::cleanup

#endif  // QX_CLEANUP_CLEANUP_STAGES_H_
