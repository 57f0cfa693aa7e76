#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "utils/upgrader_utils.h"

// The upgrade log writer lives in an object of its own: host programs that reuse on-device
// code (udtool, fuzzers, benchmarks) link their own LogToUpgradeLog instead of this one, so
// they can never append to a /tmp/ramdisk/upgrade_log on a workstation.
namespace qx::upgrader::utils {
namespace {

// write() until everything is out or a real error; EINTR is retried.
bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

std::string FormatLogStamp(const std::tm& local_time) {
  char stamp[64];
  const int length =
      std::snprintf(stamp, sizeof stamp, "%d%02d%d %02d:%02d:%02d - ", local_time.tm_year + 1900,
                    local_time.tm_mon + 1, local_time.tm_mday, local_time.tm_hour,
                    local_time.tm_min, local_time.tm_sec);
  if (length <= 0) return std::string();
  return std::string(stamp, static_cast<std::size_t>(length));
}

int AppendLogEntry(const std::string& log_path, const std::string& message) {
  const std::time_t now = std::time(nullptr);
  std::tm local_time{};
  if (::localtime_r(&now, &local_time) == nullptr) return 1;
  // One buffer, one write: an entry is never interleaved or half-written by us.
  const std::string entry = FormatLogStamp(local_time) + message + "\n";
  // Another user may have planted a link or a FIFO at the path: the open neither follows the
  // one nor waits for the other, and only a private file is written.
  const int fd = ::open(log_path.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  struct stat st {};
  const bool safe = ::fstat(fd, &st) == 0 && IsPrivateFile(st);
  const bool written = safe && WriteAll(fd, entry.data(), entry.size());
  const bool closed = ::close(fd) == 0;
  return written && closed ? 0 : 1;
}

int LogToUpgradeLog(const std::string& message) { return AppendLogEntry(kUpgradeLogPath, message); }

}  // namespace qx::upgrader::utils
