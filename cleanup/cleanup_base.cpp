#include "cleanup/cleanup_base.h"

#include <unistd.h>

#include "utils/upgrader_utils.h"

namespace qx::upgrader::cleanup {

CleanupBase::CleanupBase(unsigned int required) : required_free_space_(required) {}

CleanupBase::~CleanupBase() = default;

bool CleanupBase::CalculateFreespace() {
  // Space freed by the removals just made is only counted once their blocks are released.
  ::sync();
  return qx::upgrader::utils::MountFreeSpace("/", free_space_);
}

bool CleanupBase::RequireCleanup(bool& needed) {
  if (!CalculateFreespace()) return false;
  needed = free_space_ < required_free_space_;
  return true;
}

}  // namespace qx::upgrader::cleanup
