// The keeper: the process, forked from the host side, that builds a device. It enters new mount,
// PID, UTS, IPC and network namespaces (so the driver's one-run claim, an abstract socket, is
// the device's own), makes every mount private before anything else, mounts and
// populates the device's tmpfs root, then forks the device's PID 1, which mounts /proc, moves
// into the root with pivot_root and becomes the static init. The keeper then only waits for it.
#ifndef QX_SIM_KEEPER_H_
#define QX_SIM_KEEPER_H_

#include <sys/types.h>

#include <string>

#include "sim/device.h"
#include "sim/userland.h"

namespace qx::sim {

// The keeper's first message on the control socket: kReady with the init's pid (in the host's
// PID namespace) and whether the old root was detached (then the host may remove root_dir at
// once), or kFailed with the reason.
constexpr const char kKeeperReady[] = "ready";
constexpr const char kKeeperFailed[] = "failed";

struct KeeperPlan {
  const DeviceSpec* spec = nullptr;
  const Userland* userland = nullptr;
  std::string root_dir;  // an empty host directory; the root tmpfs is mounted on it privately
  int control_fd = -1;   // becomes init's descriptor 3
  pid_t host_pid = 0;    // the keeper dies with it
};

[[noreturn]] void RunKeeper(const KeeperPlan& plan);

}  // namespace qx::sim

#endif  // QX_SIM_KEEPER_H_
