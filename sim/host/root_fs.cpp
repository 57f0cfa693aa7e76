#include "sim/host/root_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/fsuid.h>
#include <sys/prctl.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/common/reason.h"

namespace qx::sim {
namespace {

std::string Reason(const std::string& what, const std::string& path, int err) {
  return qx::sim::Reason(what + " " + path, err);
}

// Splits an absolute device path into its components; false for a relative path, an empty
// one, or one with "." or ".." components (the simulator's own inputs never need them).
bool Components(const std::string& path, std::vector<std::string>& parts) {
  if (path.empty() || path[0] != '/') return false;
  parts.clear();
  std::size_t pos = 1;
  while (pos <= path.size()) {
    const std::size_t end = std::min(path.find('/', pos), path.size());
    const std::string part = path.substr(pos, end - pos);
    if (part == "." || part == "..") return false;
    if (!part.empty()) parts.push_back(part);
    pos = end + 1;
  }
  return true;
}

// The calling thread's file-system ids (not the process's: the kernel keeps them per thread)
// for one creation. Every change of them clears the parent-death signal, which the keeper's
// life hangs on, so it is set again afterwards.
class CreatingAs {
 public:
  explicit CreatingAs(const FileOwner& owner) : active_(owner.device) {
    if (!active_) return;
    (void)::prctl(PR_GET_PDEATHSIG, &death_signal_, 0, 0, 0);
    previous_gid_ = static_cast<gid_t>(::setfsgid(owner.gid));
    previous_uid_ = static_cast<uid_t>(::setfsuid(owner.uid));
  }
  ~CreatingAs() {
    if (!active_) return;
    (void)::setfsuid(previous_uid_);
    (void)::setfsgid(previous_gid_);
    if (death_signal_ != 0) (void)::prctl(PR_SET_PDEATHSIG, death_signal_, 0, 0, 0);
  }
  CreatingAs(const CreatingAs&) = delete;
  CreatingAs& operator=(const CreatingAs&) = delete;

 private:
  bool active_;
  int death_signal_ = 0;
  uid_t previous_uid_ = 0;
  gid_t previous_gid_ = 0;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

int RootFs::Open(const std::string& path, int flags, unsigned int mode) const {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  const char* relative = path.c_str();
  while (*relative == '/') ++relative;
  if (*relative == '\0') relative = ".";
  for (;;) {
    const long fd = ::syscall(SYS_openat2, root_fd_, relative, &how, sizeof how);
    if (fd >= 0 || errno != EAGAIN) return static_cast<int>(fd);  // EAGAIN: a rename raced
  }
}

int RootFs::OpenParent(const std::string& path, bool make, std::string& name,
                       std::string* error) const {
  std::vector<std::string> parts;
  if (!Components(path, parts) || parts.empty()) {
    *error = "not an absolute device path: \"" + path + "\"";
    return -1;
  }
  name = parts.back();
  std::string parent;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) parent += "/" + parts[i];
  if (make && !parent.empty() && !MakeDirs(parent, 0755, error)) return -1;
  const int fd = Open(parent.empty() ? "/" : parent, O_PATH | O_DIRECTORY);
  if (fd < 0) *error = Reason("cannot open directory", parent, errno);
  return fd;
}

bool RootFs::MakeDirs(const std::string& path, unsigned int mode, std::string* error) const {
  std::vector<std::string> parts;
  if (!Components(path, parts)) {
    *error = "not an absolute device path: \"" + path + "\"";
    return false;
  }
  const CreatingAs as(owner_);
  std::string prefix;
  for (const std::string& part : parts) {
    const Fd parent(Open(prefix.empty() ? "/" : prefix, O_PATH | O_DIRECTORY));
    prefix += "/" + part;
    if (parent.get() < 0) {
      *error = Reason("cannot open directory", prefix.substr(0, prefix.rfind('/')), errno);
      return false;
    }
    if (::mkdirat(parent.get(), part.c_str(), mode) != 0 && errno != EEXIST) {
      *error = Reason("cannot create directory", prefix, errno);
      return false;
    }
  }
  return true;
}

int RootFs::CreateFile(const std::string& path, unsigned int mode, std::string* error) const {
  const CreatingAs as(owner_);
  std::string name;
  const Fd parent(OpenParent(path, true, name, error));
  if (parent.get() < 0) return -1;
  const int fd = ::openat(parent.get(), name.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode & 07777);
  if (fd < 0 || ::fchmod(fd, mode & 07777) != 0) {
    *error = Reason("cannot create file", path, errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

bool RootFs::WriteFile(const DeviceFile& file, std::string* error) const {
  const Fd fd(CreateFile(file.path, file.mode, error));
  if (fd.get() < 0) return false;
  bool written = true;
  if (file.size) {
    // Real blocks, not a sparse file: the bytes count against the file system's free space.
    const off_t size = static_cast<off_t>(*file.size);
    if (size > 0 && ::posix_fallocate(fd.get(), 0, size) != 0) {
      const std::string zeros(1 << 16, '\0');
      written = ::ftruncate(fd.get(), 0) == 0;
      for (std::uint64_t left = *file.size; written && left > 0;) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
        written = ::write(fd.get(), zeros.data(), chunk) == static_cast<ssize_t>(chunk);
        left -= chunk;
      }
    }
  } else {
    std::size_t done = 0;
    while (written && done < file.content.size()) {
      const ssize_t n = ::write(fd.get(), file.content.data() + done, file.content.size() - done);
      written = n > 0 || (n < 0 && errno == EINTR);
      if (n > 0) done += static_cast<std::size_t>(n);
    }
  }
  if (!written) {
    *error = Reason("cannot write file", file.path, errno);
    return false;
  }
  if (file.mtime) {
    const timespec times[2] = {{*file.mtime, 0}, {*file.mtime, 0}};
    if (::futimens(fd.get(), times) != 0) {
      *error = Reason("cannot set the time of", file.path, errno);
      return false;
    }
  }
  return true;
}

bool RootFs::Symlink(const std::string& path, const std::string& target, std::string* error) const {
  const CreatingAs as(owner_);
  std::string name;
  const Fd parent(OpenParent(path, true, name, error));
  if (parent.get() < 0) return false;
  if (::symlinkat(target.c_str(), parent.get(), name.c_str()) != 0) {
    *error = Reason("cannot create symbolic link", path, errno);
    return false;
  }
  return true;
}

bool RootFs::Symlinks(const std::vector<std::string>& paths, const std::string& target,
                      std::string* error) const {
  const CreatingAs as(owner_);
  std::string open_dir;
  int dir_fd = -1;
  bool ok = true;
  for (const std::string& path : paths) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
    if (slash == std::string::npos || slash + 1 == path.size()) {
      *error = "not an absolute device path: \"" + path + "\"";
      ok = false;
      break;
    }
    if (dir_fd < 0 || dir != open_dir) {
      if (dir_fd >= 0) ::close(dir_fd);
      dir_fd = -1;
      if (!MakeDirs(dir.empty() ? "/" : dir, 0755, error)) {
        ok = false;
        break;
      }
      dir_fd = Open(dir.empty() ? "/" : dir, O_PATH | O_DIRECTORY);
      open_dir = dir;
    }
    if (dir_fd < 0 || ::symlinkat(target.c_str(), dir_fd, path.c_str() + slash + 1) != 0) {
      *error = Reason("cannot create symbolic link", path, errno);
      ok = false;
      break;
    }
  }
  if (dir_fd >= 0) ::close(dir_fd);
  return ok;
}

bool RootFs::CopyHostFile(const std::string& host_path, const std::string& path, unsigned int mode,
                          std::string* error) const {
  const Fd in(::open(host_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    *error = Reason("cannot open host file", host_path, errno);
    return false;
  }
  const Fd out(CreateFile(path, mode, error));
  if (out.get() < 0) return false;
  for (;;) {
    const ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, 1 << 30, 0);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR) break;
  }
  // Across file systems copy_file_range may refuse (EXDEV on older kernels): copy by hand.
  char buffer[1 << 16];
  if (::lseek(in.get(), 0, SEEK_SET) != 0 || ::ftruncate(out.get(), 0) != 0 ||
      ::lseek(out.get(), 0, SEEK_SET) != 0) {
    *error = Reason("cannot copy to", path, errno);
    return false;
  }
  ssize_t n;
  while ((n = ::read(in.get(), buffer, sizeof buffer)) > 0) {
    if (::write(out.get(), buffer, static_cast<std::size_t>(n)) != n) break;
  }
  if (n != 0) {
    *error = Reason("cannot copy to", path, errno);
    return false;
  }
  return true;
}

bool RootFs::Read(const std::string& path, std::string& content) const {
  const Fd fd(Open(path, O_RDONLY));
  if (fd.get() < 0) return false;
  std::string data;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.append(buffer, static_cast<std::size_t>(n));
  }
  content = std::move(data);
  return true;
}

bool RootFs::Lstat(const std::string& path, struct stat& st) const {
  std::vector<std::string> parts;
  if (!Components(path, parts)) return false;
  if (parts.empty()) return ::fstat(root_fd_, &st) == 0;
  std::string name, error;
  const Fd parent(OpenParent(path, false, name, &error));
  return parent.get() >= 0 && ::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::vector<std::string> RootFs::List(const std::string& path) const {
  std::vector<std::string> names;
  const int fd = Open(path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return names;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::uint64_t RootFs::FreeSpace(const std::string& path) const {
  const Fd fd(Open(path, O_PATH));
  struct statvfs vfs {};
  if (fd.get() < 0 || ::fstatvfs(fd.get(), &vfs) != 0) return 0;
  return static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_bsize;
}

}  // namespace qx::sim
