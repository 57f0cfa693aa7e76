#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <limits>

#include "utils/upgrader_utils.h"

// File-system queries by path, the permission and link checks, and the shell runner.
namespace qx::upgrader::utils {
namespace {

constexpr unsigned int kPermissionBits = 0777;

bool StatPath(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st) == 0; }

// Reads the whole content of a symbolic link, however long, growing the buffer as needed.
bool ReadWholeLink(const std::string& link, std::string& content) {
  std::string buffer(128, '\0');
  for (;;) {
    const ssize_t length = ::readlink(link.c_str(), &buffer[0], buffer.size());
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) < buffer.size()) {
      content.assign(buffer.data(), static_cast<std::size_t>(length));
      return true;
    }
    // A result that fills the buffer may have been cut: try again with room to spare.
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

int RunShellCommand(const std::string& command) { return RunShellCommand(command.c_str()); }

int RunShellCommand(const char* command) { return std::system(command); }

bool FileExists(const std::string& path) {
  struct stat st {};
  return StatPath(path, st) && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return StatPath(path, st) && S_ISDIR(st.st_mode);
}

bool FileSize(const std::string& path, unsigned int& size) {
  struct stat st {};
  if (!StatPath(path, st) || !S_ISREG(st.st_mode)) return false;
  // Byte counts are 32-bit on the device. A larger file saturates rather than wraps, so a
  // runaway 4 GiB log still reads as oversized and gets trimmed.
  constexpr std::uint64_t kMax = std::numeric_limits<unsigned int>::max();
  const auto bytes = static_cast<std::uint64_t>(st.st_size);
  size = static_cast<unsigned int>(bytes > kMax ? kMax : bytes);
  return true;
}

long FileModificationTime(const std::string& path) {
  struct stat st {};
  if (!StatPath(path, st)) return 0;
  return static_cast<long>(st.st_mtime);
}

// The path is taken by value, as the module's interface declares it.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool MountFreeSpace(std::string path, unsigned int& free_bytes) {
  ::sync();  // space freed by earlier removals must be counted
  struct statvfs vfs {};
  if (::statvfs(path.c_str(), &vfs) != 0) return false;
  constexpr std::uint64_t kMax = std::numeric_limits<unsigned int>::max();
  const std::uint64_t blocks = vfs.f_bavail;
  const std::uint64_t block_size = vfs.f_bsize;
  // Saturate instead of wrapping: 4 GiB free must never read as almost full.
  if (block_size != 0 && blocks > kMax / block_size) {
    free_bytes = static_cast<unsigned int>(kMax);
  } else {
    free_bytes = static_cast<unsigned int>(blocks * block_size);
  }
  return true;
}

bool SetPermissions(const std::string& path, unsigned int mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

bool VerifyPermissions(const std::string& path, unsigned int mode, bool log) {
  struct stat st {};
  if (log) {
    if (!StatPath(path, st)) {
      LogToUpgradeLog("Unable to stat " + path);
    } else if ((st.st_mode & kPermissionBits) != mode) {
      LogToUpgradeLog("Expected permissions " + std::to_string(mode) + "\nActual permissions " +
                      std::to_string(st.st_mode & kPermissionBits));
    }
  }
  // Measured again: the answer never depends on whether the explanation was asked for.
  return StatPath(path, st) && (st.st_mode & kPermissionBits) == mode;
}

bool LinkExists(const std::string& path, bool log) {
  struct stat st {};
  if (log) {
    if (::lstat(path.c_str(), &st) != 0) {
      LogToUpgradeLog("Unable to lstat " + path);
    } else if (!S_ISLNK(st.st_mode)) {
      LogToUpgradeLog("Link " + path + " has mode " + std::to_string(st.st_mode));
    }
  }
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool VerifyLink(const std::string& link, const std::string& target, bool log) {
  std::string content;
  if (!ReadWholeLink(link, content) || content.empty()) {
    if (log) LogToUpgradeLog("Unable to read link from " + link);
    return false;
  }
  if (content == target) return true;
  if (log) LogToUpgradeLog("Current Target is " + content + "\nExpected Target is " + target);
  return false;
}

}  // namespace qx::upgrader::utils
