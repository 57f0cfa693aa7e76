#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "cleanup/cleanup_utils.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::cleanup::utils {
namespace {

constexpr const char kProcVersionPath[] = "/proc/version";
// Only the head of the banner takes part: the release sits near its start, and one short read
// is all the kernel is asked for.
constexpr std::size_t kBannerBytes = 128;

}  // namespace

bool MatchesKernelVersion(const std::string& version, bool& matches) {
  const int fd = ::open(kProcVersionPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    qx::upgrader::utils::LogToUpgradeLog("Unable to open /proc/version");
    return false;
  }
  char banner[kBannerBytes] = {};
  const ssize_t length = ::read(fd, banner, sizeof banner);
  ::close(fd);
  if (length <= 0) {
    qx::upgrader::utils::LogToUpgradeLog("Unsuccessful read from /proc/version");
    return false;
  }
  const std::string_view text(banner, ::strnlen(banner, static_cast<std::size_t>(length)));
  matches = text.find(version) != std::string_view::npos;
  return true;
}

}  // namespace qx::upgrader::cleanup::utils
