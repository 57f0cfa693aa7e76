// The cleanup strategy of the KV70 platform: makes room on "/" before an upgrade is unpacked
// by a fixed sequence of stages, re-measuring after each and stopping at the first that leaves
// enough room.
#ifndef QX_CLEANUP_CLEANUP_KV70_H_
#define QX_CLEANUP_CLEANUP_KV70_H_

#include "cleanup/cleanup_base.h"

namespace qx::upgrader::cleanup {

class CleanupKV70 : public CleanupBase {
 public:
  explicit CleanupKV70(unsigned int required) : CleanupBase(required) {}
  ~CleanupKV70() override = default;

  // Runs the stages of CleanupStage in order: 1 trims oversized logs, then 2 static files, 3
  // kernel modules of releases not running, 4 rotated logs oldest first, 5 extra files, 6
  // emptying the system logs. Every step is logged to the upgrade log. Returns true on every path;
  // enough is set to true when the required free space was reached and is otherwise not written.
  bool PerformCleanup(bool& enough) override;
};

}  // namespace qx::upgrader::cleanup

#endif  // QX_CLEANUP_CLEANUP_KV70_H_
