// File access inside a device root through a directory descriptor of that root. Every path is
// resolved with openat2(RESOLVE_IN_ROOT): ".." and absolute symbolic links stay inside the root,
// so a link the device made can never lead the host side to a host file. Final components are
// never followed when creating (O_NOFOLLOW), and magic links of /proc are refused.
#ifndef QX_SIM_HOST_ROOT_FS_H_
#define QX_SIM_HOST_ROOT_FS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/host/device.h"

namespace qx::sim {

// Whose ids RootFs creates files with: device root's host ids, so that what the host side
// writes belongs to root inside the device, and may be written on a file system the device
// mounted itself (one of its user namespace, where only its ids exist). Creating as device root
// means the calling thread's file-system ids are its ids meanwhile, so it has no more rights
// there than device root's file permissions give. The default creates with the caller's ids.
struct FileOwner {
  uid_t uid = 0;
  gid_t gid = 0;
  bool device = false;
};

class RootFs {
 public:
  explicit RootFs(int root_fd, FileOwner owner = {})  // root_fd borrowed, not closed
      : root_fd_(root_fd), owner_(owner) {}

  // openat2 of path below the root with RESOLVE_IN_ROOT; -1 and errno on failure.
  int Open(const std::string& path, int flags, unsigned int mode = 0) const;

  // Creation; false with a message "what path: reason" in *error.
  bool MakeDirs(const std::string& path, unsigned int mode, std::string* error) const;
  bool WriteFile(const DeviceFile& file, std::string* error) const;
  bool Symlink(const std::string& path, const std::string& target, std::string* error) const;
  // Many links to one target, one directory lookup per directory (the applet links).
  bool Symlinks(const std::vector<std::string>& paths, const std::string& target,
                std::string* error) const;
  bool CopyHostFile(const std::string& host_path, const std::string& path, unsigned int mode,
                    std::string* error) const;

  // Queries; false / empty / 0 when the path cannot be reached.
  bool Read(const std::string& path, std::string& content) const;
  bool Lstat(const std::string& path, struct stat& st) const;
  std::vector<std::string> List(const std::string& path) const;
  std::uint64_t FreeSpace(const std::string& path) const;

 private:
  // Opens the parent directory of path (created with parents when make is true) and sets name
  // to the last component; -1 on failure with the reason in *error.
  int OpenParent(const std::string& path, bool make, std::string& name, std::string* error) const;
  int CreateFile(const std::string& path, unsigned int mode, std::string* error) const;

  int root_fd_;
  FileOwner owner_;
};

}  // namespace qx::sim

#endif  // QX_SIM_HOST_ROOT_FS_H_
