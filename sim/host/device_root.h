// The device root the keeper builds before init starts: its directories, /dev with its nodes
// and the watchdog node, /sys with the board file (read-only), and the files a DeviceSpec and the
// userland put in. Runs in the keeper (everything outside the ramdisk) and on the host side (the
// ramdisk's entries, once init has mounted it in the device's own mount namespace).
#ifndef QX_SIM_HOST_DEVICE_ROOT_H_
#define QX_SIM_HOST_DEVICE_ROOT_H_

#include <sys/mount.h>

#include <string>

#include "sim/host/device.h"
#include "sim/host/keeper.h"
#include "sim/host/root_fs.h"
#include "sim/host/userland.h"

namespace qx::sim {

// Owner of everything written into a device from the host side: device root, whose id (in the
// simulator's user namespace) is root_id.
FileOwner DeviceRootOwner(unsigned int root_id);

// The mount options that make device root the owner of a tmpfs's root directory.
std::string OwnerOptions(unsigned int root_id);

bool MountTmpfs(const std::string& where, const std::string& options, std::string* error,
                unsigned long flags = MS_NOSUID);

// The device root's directories and its mounts (/dev, /sys): everything init's mount namespace
// must hold when init copies it. host_root_fd: the mount namespace's root.
bool PrepareRoot(const KeeperPlan& plan, const RootFs& root, unsigned int root_id, int host_root_fd,
                 std::string* error);

// The DeviceSpec's files, directories and links and the userland's copies are written in two parts:
// the keeper writes those outside the ramdisk before the device starts; the host side writes
// those in /tmp/ramdisk once init has mounted it in the device's own mount namespace.
enum class EntryPlace { kOutsideRamdisk, kInRamdisk };
bool WriteEntries(const DeviceSpec& spec, const Userland& userland, const RootFs& root,
                  EntryPlace place, std::string* error);

}  // namespace qx::sim

#endif  // QX_SIM_HOST_DEVICE_ROOT_H_
