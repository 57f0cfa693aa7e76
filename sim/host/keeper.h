// The keeper: the process, forked from the host side, that builds a device and ends it.
//
// With the host's privileges (or, rootless, those of root of the simulator's own user
// namespace) it enters new mount, UTS, IPC, network and PID namespaces, makes
// every mount private before anything else, creates the device's control groups, mounts the
// device's tmpfs root with its directories and mounts (/dev with its nodes, /sys read-only),
// then forks the device's PID 1, and copies the files in while that process starts. The PID 1
// takes a mount namespace of its own, joins the groups and a new cgroup namespace, mounts /proc
// (with /proc/sys and /proc/sysrq-trigger read-only), moves into the root with pivot_root,
// creates the device's user namespace and becomes the static init, which enters that namespace
// as device root. Everything mounted so far is then locked for the device: it cannot unmount or
// remount it. The keeper waits for init, and when init is gone, or the host side is (its
// parent-death signal), it kills init if need be and removes the groups.
//
// Its code is in three files by the process it runs in: keeper.cpp (the keeper itself),
// device_root.cpp (the root it builds, also used by the host side for the ramdisk's entries) and
// init_launch.cpp (the device's PID 1 before it execs init).
#ifndef QX_SIM_HOST_KEEPER_H_
#define QX_SIM_HOST_KEEPER_H_

#include <sys/types.h>

#include <string>

#include "sim/host/device.h"
#include "sim/host/userland.h"

namespace qx::sim {

// The keeper's first message on the control socket: kReady with the init's pid (in the host's
// PID namespace) and how the limits are enforced; kFailed with the reason; or kRefused with
// what this machine lacks for isolating a device (a namespace, pivot_root, ...).
constexpr const char kKeeperReady[] = "ready";
constexpr const char kKeeperFailed[] = "failed";
constexpr const char kKeeperRefused[] = "refused";

struct KeeperPlan {
  const DeviceSpec* spec = nullptr;
  const Userland* userland = nullptr;
  std::string root_dir;  // an empty host directory; the root tmpfs is mounted on it privately
  int control_fd = -1;   // becomes init's descriptor 3
  pid_t host_pid = 0;    // the keeper ends the device when this process's thread is gone
};

[[noreturn]] void RunKeeper(const KeeperPlan& plan);

}  // namespace qx::sim

#endif  // QX_SIM_HOST_KEEPER_H_
