#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "utils/upgrader_utils.h"

// Removing what another user of the unit may have planted at a fixed path. Nothing here follows
// a symbolic link: every level of a directory tree is opened relative to the one above it with
// O_NOFOLLOW | O_DIRECTORY, so a link swapped in for a directory fails the open instead of
// leading the walk elsewhere.
namespace qx::upgrader::utils {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

bool RemoveAt(int parent, const char* name);

// The names in the directory open as fd, "." and ".." left out. The listing has a descriptor of
// its own and is closed before anything is removed, so a deep tree holds one descriptor a level.
bool ListNames(int fd, std::vector<std::string>& names) {
  const int listing_fd = ::dup(fd);
  if (listing_fd < 0) return false;
  DIR* listing = ::fdopendir(listing_fd);
  if (listing == nullptr) {
    ::close(listing_fd);
    return false;
  }
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return true;
}

// Empties the directory open as fd. It is made root's and closed to everyone else first, so its
// former owner cannot add entries while the walk removes them.
bool EmptyDirectory(int fd) {
  (void)::fchown(fd, 0, 0);
  (void)::fchmod(fd, 0700);
  std::vector<std::string> names;
  if (!ListNames(fd, names)) return false;
  bool emptied = true;
  for (const std::string& name : names) emptied = RemoveAt(fd, name.c_str()) && emptied;
  return emptied;
}

// Removes the entry name of the directory parent, a directory with everything beneath it.
bool RemoveAt(int parent, const char* name) {
  if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR) return false;  // Linux answers EISDIR for a directory
  const int fd = ::openat(parent, name, kDirectoryFlags);
  if (fd < 0) return false;
  const bool emptied = EmptyDirectory(fd);
  ::close(fd);
  return emptied && (::unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT);
}

}  // namespace

bool IsPrivateFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == 0 && st.st_nlink == 1;
}

bool RemoveEntry(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return false;
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  const int parent = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return errno == ENOENT;
  const bool removed = RemoveAt(parent, path.c_str() + slash + 1);
  ::close(parent);
  return removed;
}

bool RemoveUnsafeEntry(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return IsPrivateFile(st) || RemoveEntry(path);
}

}  // namespace qx::upgrader::utils
