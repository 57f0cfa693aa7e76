#include <fcntl.h>
#include <unistd.h>

#include <string_view>

#include "cleanup/cleanup_utils.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::cleanup::utils {
namespace {

constexpr const char kProcVersionPath[] = "/proc/version";

}  // namespace

bool BannerNamesVersion(std::string_view banner, std::string_view version) {
  std::string_view head = banner.substr(0, kKernelBannerHeadBytes);
  head = head.substr(0, head.find('\0'));  // npos keeps the whole head
  return head.find(version) != std::string_view::npos;
}

bool MatchesKernelVersion(const std::string& version, bool& matches) {
  const int fd = ::open(kProcVersionPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    qx::upgrader::utils::LogToUpgradeLog("Unable to open /proc/version");
    return false;
  }
  char banner[kKernelBannerHeadBytes];
  const ssize_t length = ::read(fd, banner, sizeof banner);
  ::close(fd);
  if (length <= 0) {
    qx::upgrader::utils::LogToUpgradeLog("Unsuccessful read from /proc/version");
    return false;
  }
  matches = BannerNamesVersion(std::string_view(banner, static_cast<std::size_t>(length)), version);
  return true;
}

}  // namespace qx::upgrader::cleanup::utils
