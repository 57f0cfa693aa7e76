// Making the mounts of a new mount namespace private, so that nothing mounted in it reaches the
// host, also from a plain chroot. Header only: test mains use it without the simulator library.
#ifndef QX_SIM_HOST_PRIVATE_MOUNTS_H_
#define QX_SIM_HOST_PRIVATE_MOUNTS_H_

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace qx::sim {

// Makes every mount of the calling process's mount namespace private; call it first thing in a
// mount namespace of the process's own (unshare(CLONE_NEWNS)). In a chroot "/" is not a mount
// point, and neither can it be made private nor can pivot_root leave it: the process then goes
// up to the namespace's root (chroot into inner_dir, an existing directory below "/", then ".."
// up from the old root, which lies outside it), makes everything private there and returns to
// the chroot. Nothing of the host changes. *namespace_root_fd (when given) receives a descriptor
// of the namespace's root, for a later pivot_root. False with the reason in *error.
inline bool MakeMountsPrivate(const std::string& inner_dir, std::string* error,
                              int* namespace_root_fd = nullptr) {
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
    if (namespace_root_fd != nullptr) {
      *namespace_root_fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    return true;
  }
  const auto fail = [error](const std::string& what) {
    *error = what + ": " + std::strerror(errno);
    return false;
  };
  if (errno != EINVAL) return fail("cannot make the mounts private");
  // Only relative names from here on: an emulator that maps absolute names into a prefix
  // directory (qemu-user's -L) would hand back the prefix for "/", and the process would
  // "return" into it.
  const auto climb = [] {  // chdir("..") until ".." is "." itself: the root as seen from here
    for (int level = 0; level < 4096; ++level) {
      struct stat here {
      }, up{};
      if (::stat(".", &here) != 0 || ::chdir("..") != 0 || ::stat(".", &up) != 0) return false;
      if (here.st_dev == up.st_dev && here.st_ino == up.st_ino) return true;
    }
    return false;
  };
  std::string inner = inner_dir;
  inner.erase(0, inner.find_first_not_of('/'));
  const int cwd_fd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  const bool at_chroot = climb();
  const int chroot_fd = at_chroot ? ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
  const bool at_top = chroot_fd >= 0 && !inner.empty() && ::chroot(inner.c_str()) == 0 && climb();
  const bool made = at_top && ::chroot(".") == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  const int saved = errno;
  if (made && namespace_root_fd != nullptr) {
    *namespace_root_fd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  bool back = chroot_fd >= 0 && ::fchdir(chroot_fd) == 0 && ::chroot(".") == 0;
  if (cwd_fd >= 0 && ::fchdir(cwd_fd) != 0) back = false;
  if (chroot_fd >= 0) ::close(chroot_fd);
  if (cwd_fd >= 0) ::close(cwd_fd);
  errno = saved;
  if (!made) {
    return fail(
        "/ is not a mount point (a chroot), and the mount namespace's root cannot be "
        "made private (make the chroot directory a mount point: mount --bind DIR DIR)");
  }
  if (!back) return fail("cannot return to the chroot");
  return true;
}

}  // namespace qx::sim

#endif  // QX_SIM_HOST_PRIVATE_MOUNTS_H_
