#include "sim/host/device_root.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <optional>
#include <set>
#include <vector>

#include "sim/common/reason.h"
#include "sim/host/rootless.h"
#include "sim/host/router_profile.h"

namespace qx::sim {
namespace {

bool MakeNode(const std::string& path, unsigned int major_number, unsigned int minor_number,
              unsigned int root_id, std::string* error) {
  const FileOwner owner = DeviceRootOwner(root_id);
  if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(major_number, minor_number)) == 0 &&
      ::chown(path.c_str(), owner.uid, owner.gid) == 0 && ::chmod(path.c_str(), 0666) == 0) {
    return true;
  }
  *error = Reason("cannot create device node " + path);
  return false;
}

// Rootless, no node can be made (mknod needs a capability in the host's user namespace): the
// host's own node is bound onto an empty file instead, as rootless containers do. The device
// cannot change it (its owner, host root, is no id of the device) nor unmount it (locked).
// host_root_fd: the mount namespace's root, whose /dev is the host's even from a chroot.
bool BindHostNode(const std::string& path, const char* name, int host_root_fd, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) ::close(fd);
  const std::string source =
      "/proc/self/fd/" + std::to_string(host_root_fd) + "/dev/" + std::string(name);
  if (fd >= 0 && ::mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0) {
    return true;
  }
  *error = Reason("cannot bind the host's /dev/" + std::string(name) + " into the device");
  return false;
}

bool MakeNodes(const std::string& dev, unsigned int root_id, int host_root_fd, std::string* error) {
  static const struct {
    const char* name;
    unsigned int major_number, minor_number;
  } kNodes[] = {{"null", 1, 3}, {"zero", 1, 5}, {"urandom", 1, 9}};
  for (const auto& node : kNodes) {
    const std::string path = dev + "/" + node.name;
    if (CurrentSimulatorIds().rootless
            ? !BindHostNode(path, node.name, host_root_fd, error)
            : !MakeNode(path, node.major_number, node.minor_number, root_id, error)) {
      return false;
    }
  }
  return true;
}

// /dev and /sys are tmpfs mounts of their own, as devtmpfs and sysfs are on the router, so
// nothing in them counts against the root's free space. /dev holds only the nodes made here:
// the device cannot make more (mknod needs a capability in the host's user namespace), and the
// mounts it may make itself never honour device nodes. The ramdisk is left to init, which
// mounts it where the device can unmount and remount it.
bool MountSpecialDirectories(const KeeperPlan& plan, const RootFs& root, unsigned int root_id,
                             int host_root_fd, std::string* error) {
  const std::string& base = plan.root_dir;
  const DeviceSpec& spec = *plan.spec;
  if (!MountTmpfs(base + "/dev", "size=1m,mode=0755" + OwnerOptions(root_id), error) ||
      !MakeNodes(base + "/dev", root_id, host_root_fd, error)) {
    return false;
  }
  // The device's own watchdog: a plain file. init records every open of it.
  DeviceFile watchdog{router::kWatchdogNode, "", std::nullopt, 0600, std::nullopt};
  if (!root.WriteFile(watchdog, error)) return false;
  if (!MountTmpfs(base + "/sys", "size=1m,mode=0755" + OwnerOptions(root_id), error)) {
    return false;
  }
  if (spec.board) {
    DeviceFile board{router::kBoardFile, *spec.board, std::nullopt, 0444, std::nullopt};
    if (!root.WriteFile(board, error)) return false;
  } else if (!root.MakeDirs(router::kBoardDirectory, 0755, error)) {
    return false;
  }
  if (::mount(nullptr, (base + "/sys").c_str(), nullptr,
              MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    *error = Reason("cannot make /sys read-only");
    return false;
  }
  return true;
}

bool InRamdisk(const std::string& path) {
  std::string normal;
  for (const char c : path) {
    if (c != '/' || normal.empty() || normal.back() != '/') normal += c;
  }
  return normal == router::kRamdisk || normal.rfind(router::kRamdiskPrefix, 0) == 0;
}

}  // namespace

std::string OwnerOptions(unsigned int root_id) {
  return ",uid=" + std::to_string(root_id) + ",gid=" + std::to_string(root_id);
}

bool MountTmpfs(const std::string& where, const std::string& options, std::string* error,
                unsigned long flags) {
  if (::mount("tmpfs", where.c_str(), "tmpfs", flags, options.c_str()) == 0) return true;
  *error = Reason("cannot mount a tmpfs on " + where);
  return false;
}

// The device root's directories and its mounts: everything init's mount namespace must hold
// when init copies it. The files come after, while init starts (see Keeper::Run). /dev and
// /sys are mounted before anything is copied or written, so that an entry the test puts under
// one of them lands on that mount instead of being hidden beneath it.
bool PrepareRoot(const KeeperPlan& plan, const RootFs& root, unsigned int root_id, int host_root_fd,
                 std::string* error) {
  for (const char* dir : {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/lib", "/etc", "/var/log",
                          "/root", "/home", "/proc", "/sys", "/dev", router::kRamdisk}) {
    if (!root.MakeDirs(dir, 0755, error)) return false;
  }
  if (::chmod((plan.root_dir + "/tmp").c_str(), 01777) != 0) {
    *error = Reason("cannot set the mode of /tmp");
    return false;
  }
  return MountSpecialDirectories(plan, root, root_id, host_root_fd, error);
}

FileOwner DeviceRootOwner(unsigned int root_id) {
  FileOwner owner;
  owner.uid = root_id;
  owner.gid = root_id;
  owner.device = true;
  return owner;
}

bool WriteEntries(const DeviceSpec& spec, const Userland& userland, const RootFs& root,
                  EntryPlace place, std::string* error) {
  const bool ramdisk = place == EntryPlace::kInRamdisk;
  const auto mine = [ramdisk](const std::string& path) { return InRamdisk(path) == ramdisk; };
  std::set<std::string> copied;
  for (const HostCopy& copy : userland.copies) {
    copied.insert(copy.device_path);
    if (mine(copy.device_path) &&
        !root.CopyHostFile(copy.host_path, copy.device_path, copy.mode, error)) {
      return false;
    }
  }
  if (!ramdisk) {
    std::vector<std::string> links;
    for (const std::string& link : userland.applet_links) {
      if (copied.count(link) == 0) links.push_back(link);
    }
    if (!root.Symlinks(links, "/bin/busybox", error)) return false;
    const DeviceFile etc[] = {
        {"/etc/fstab", router::kFstabLine, std::nullopt, 0644, std::nullopt},
        {"/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n", std::nullopt, 0644, std::nullopt},
        {"/etc/group", "root:x:0:\n", std::nullopt, 0644, std::nullopt},
        {kDeviceMarker, "", std::nullopt, 0444, std::nullopt},  // empty: costs no blocks
    };
    for (const DeviceFile& file : etc) {
      if (!root.WriteFile(file, error)) return false;
    }
  }
  for (const std::string& dir : spec.directories) {
    if (mine(dir) && !root.MakeDirs(dir, 0755, error)) return false;
  }
  for (const DeviceFile& file : spec.files) {
    if (mine(file.path) && !root.WriteFile(file, error)) return false;
  }
  for (const DeviceSymlink& link : spec.symlinks) {
    if (mine(link.path) && !root.Symlink(link.path, link.target, error)) return false;
  }
  return true;
}

}  // namespace qx::sim
