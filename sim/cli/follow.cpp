// `device-sim upgrade --follow`: the upgrade log's lines as the run writes them.
//
// The device runs untrusted code while this reads, so every read is made safe against what the
// device may have put at the log's paths:
// - The path is resolved below the device's root with openat2(RESOLVE_IN_ROOT |
//   RESOLVE_NO_MAGICLINKS): ".." and absolute links stay inside the device, and no /proc magic
//   link leads out of it; the final component is never followed (O_NOFOLLOW).
// - The open cannot wait: O_NONBLOCK, so a FIFO planted there opens at once (and is refused).
// - Only a regular file on a tmpfs is read. Regular files of procfs or sysfs (bind-mounted over
//   the log, say) could block, never end or hand out the host kernel's data; a tmpfs file is
//   plain memory, whose read neither blocks nor has side effects. Nothing else can be mounted
//   there: the device has no block devices and no /dev/fuse.
// - At most kMaxBytes are read per look, and following ends once that much has been shown.
// What is shown is the device's word: it may write anything into its log, and it is shown as
// cat -v would. The report after the run reads the log again, once nothing in the device runs.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "sim/cli/cli.h"
#include "sim/host/root_fs.h"

namespace qx::sim::cli {
namespace {

// Where the run keeps its log: in the ramdisk while it works, in /var/log before and after.
constexpr const char* const kLogPaths[] = {router::kRamdiskLog, router::kUpgradeLog};
constexpr auto kLookEvery = std::chrono::milliseconds(100);

// The log as it is now, at most max_bytes of it; false when neither path holds a regular file
// of a tmpfs.
bool ReadLogNow(int root_fd, std::size_t max_bytes, std::string& content) {
  const RootFs root(root_fd);
  for (const char* path : kLogPaths) {
    const int fd = root.Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) continue;
    struct stat st {};
    struct statfs fs {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fstatfs(fd, &fs) == 0 &&
              fs.f_type == TMPFS_MAGIC;
    content.clear();
    char buffer[1 << 14];
    while (ok && content.size() < max_bytes) {
      const std::size_t want = std::min(sizeof buffer, max_bytes - content.size());
      const ssize_t n = ::read(fd, buffer, want);
      if (n <= 0) break;
      content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (ok) return true;
  }
  return false;
}

}  // namespace

LogFollower::LogFollower(const Device& device, std::FILE* out) : out_(out) {
  const std::string root_link = "/proc/" + std::to_string(device.InitPid()) + "/root";
  root_fd_ = ::open(root_link.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root_fd_ < 0) {
    std::fprintf(out_, "(--follow: cannot open the device's root; the log follows the run)\n");
    return;
  }
  thread_ = std::thread([this] { Follow(); });
}

LogFollower::~LogFollower() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  woken_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (root_fd_ >= 0) ::close(root_fd_);
}

void LogFollower::Follow() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (bool last = false; !last;) {
    last = woken_.wait_for(lock, kLookEvery, [this] { return stop_; });
    std::string now;
    if (!ReadLogNow(root_fd_, kMaxBytes, now)) continue;
    if (!ShowNewLines(now)) return;
  }
}

bool LogFollower::ShowNewLines(const std::string& now) {
  // The log moves between the ramdisk and /var/log, and the cleanup may trim it to its last
  // lines: what is new follows what was shown, or else the last line shown.
  std::size_t from = 0;
  if (now.compare(0, shown_.size(), shown_) == 0) {
    from = shown_.size();
  } else if (!last_line_.empty()) {
    const std::size_t at = now.rfind(last_line_);
    from = at == std::string::npos ? 0 : at + last_line_.size();
  }
  const std::size_t end = now.rfind('\n');  // whole lines only: the rest may be mid-write
  if (end == std::string::npos || end + 1 <= from) return true;
  const std::string lines = now.substr(from, end + 1 - from);
  std::fputs(Visible(lines).c_str(), out_);
  std::fflush(out_);
  shown_ = now.substr(0, end + 1);
  const std::size_t start =
      shown_.size() < 2 ? std::string::npos : shown_.rfind('\n', shown_.size() - 2);
  last_line_ = shown_.substr(start == std::string::npos ? 0 : start + 1);
  shown_bytes_ += lines.size();
  if (shown_bytes_ < kMaxBytes) return true;
  std::fprintf(out_, "(--follow stops here: %zu bytes of log shown)\n", shown_bytes_);
  return false;
}

}  // namespace qx::sim::cli
