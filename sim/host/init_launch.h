// The device's PID 1 between the keeper's fork and the exec of the static init: it takes a
// mount namespace of its own, joins the device's control groups and a new cgroup namespace,
// mounts /proc (with the configured /proc/version), moves into the device root with pivot_root,
// creates the device's user namespace and execs init with its descriptors in place (see
// sim/common/wire.h). A failure is reported on the start report's pipe, never returned.
#ifndef QX_SIM_HOST_INIT_LAUNCH_H_
#define QX_SIM_HOST_INIT_LAUNCH_H_

#include "sim/host/cgroup.h"
#include "sim/host/keeper.h"

namespace qx::sim {

struct InitDescriptors {
  int program = -1;    // the static init, open for execveat
  int report = -1;     // the start report's write end
  int real_root = -1;  // the mount namespace's root
  int device_root = -1;
  unsigned int root_id = 0;  // device root's id (see MakeUserNamespace)
  unsigned int id_count = 0;
};

[[noreturn]] void BecomeInit(const KeeperPlan& plan, const InitDescriptors& fds,
                             const DeviceCgroups& cgroups);

}  // namespace qx::sim

#endif  // QX_SIM_HOST_INIT_LAUNCH_H_
