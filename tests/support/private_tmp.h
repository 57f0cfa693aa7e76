// A private /tmp for a test process: a fresh tmpfs in a mount namespace of the process's own,
// which vanishes with it. Header only: the test mains and the simulator suites share it.
#ifndef QX_TESTS_SUPPORT_PRIVATE_TMP_H_
#define QX_TESTS_SUPPORT_PRIVATE_TMP_H_

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/host/private_mounts.h"

namespace qx::test_support {

// The entry of /tmp that path lies in ("qx-clone" for /tmp/qx-clone/build/x), or "".
inline std::string TmpEntryOf(const std::string& path) {
  if (path.compare(0, 5, "/tmp/") != 0) return std::string();
  const std::size_t end = path.find('/', 5);
  return path.substr(5, end == std::string::npos ? std::string::npos : end - 5);
}

// Moves the calling process into a mount namespace of its own, makes every mount private
// (nothing propagates back to the host, also from a plain chroot) and mounts a fresh tmpfs on
// /tmp. What a checkout under /tmp needs stays reachable: the entries of the old /tmp that hold
// this program and the working directory (a build tree, a clone) are bound back in at their
// paths, and $TMPDIR, when below /tmp, is made again, empty. *kept (when given) receives the
// names of those entries: all that the fresh /tmp holds. mount_flags are the tmpfs's. False
// with the reason in *error.
inline bool EnterPrivateTmp(std::string* error, std::vector<std::string>* kept = nullptr,
                            unsigned long mount_flags = MS_NOSUID | MS_NODEV) {
  const auto fail = [error](const std::string& what) {
    *error = what + ": " + std::strerror(errno);
    return false;
  };
  if (::unshare(CLONE_NEWNS) != 0) return fail("cannot create a private mount namespace");
  if (!qx::sim::MakeMountsPrivate("/tmp", error)) return false;

  std::vector<std::string> entries;
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  const std::string self = length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "";
  const std::string cwd = ::getcwd(path, sizeof path) != nullptr ? path : "";
  for (const std::string& where : {self, cwd}) {
    const std::string entry = TmpEntryOf(where);
    if (!entry.empty() && std::find(entries.begin(), entries.end(), entry) == entries.end()) {
      entries.push_back(entry);
    }
  }
  const int old_tmp = ::open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (old_tmp < 0) return fail("cannot open /tmp");
  if (::mount("qx-test-tmp", "/tmp", "tmpfs", mount_flags, "size=64m,mode=1777") != 0) {
    const int saved = errno;
    ::close(old_tmp);
    errno = saved;
    return fail("cannot mount a private /tmp");
  }
  for (const std::string& entry : entries) {
    const std::string source = "/proc/self/fd/" + std::to_string(old_tmp) + "/" + entry;
    const std::string target = "/tmp/" + entry;
    struct stat st {};
    const bool directory = ::fstatat(old_tmp, entry.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
    int made = -1;  // a mount point of the entry's kind
    if (directory) {
      made = ::mkdir(target.c_str(), 0755);
    } else if (const int fd = ::open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
               fd >= 0) {
      made = ::close(fd);
    }
    if (made != 0 ||
        ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      const int saved = errno;
      ::close(old_tmp);
      errno = saved;
      return fail("cannot keep " + target + " in the private /tmp");
    }
  }
  ::close(old_tmp);

  const char* tmpdir = std::getenv("TMPDIR");
  const std::string entry = tmpdir != nullptr ? TmpEntryOf(tmpdir) : std::string();
  if (!entry.empty() && std::find(entries.begin(), entries.end(), entry) == entries.end()) {
    const std::string dir = tmpdir;
    for (std::size_t slash = 5; slash != std::string::npos;) {
      slash = dir.find('/', slash + 1);
      const std::string part = dir.substr(0, slash);
      if (::mkdir(part.c_str(), 01777) != 0 && errno != EEXIST) return fail("cannot make " + part);
    }
    entries.push_back(entry);
  }
  if (kept != nullptr) *kept = entries;
  return true;
}

}  // namespace qx::test_support

#endif  // QX_TESTS_SUPPORT_PRIVATE_TMP_H_
