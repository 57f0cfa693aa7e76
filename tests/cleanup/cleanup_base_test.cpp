// CleanupBase through a small strategy. This binary defines MountFreeSpace itself, so "/" of this
// host is never measured and a failed measurement can be staged.
#include "cleanup/cleanup_base.h"

#include <string>
#include <tuple>

#include "gtest/gtest.h"
#include "utils/upgrader_utils.h"

namespace {
bool g_measures = true;
unsigned int g_free_bytes = 0;
}  // namespace

// Same signature as the real one, path by value.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool qx::upgrader::utils::MountFreeSpace(std::string path, unsigned int& free_bytes) {
  if (!g_measures || path != "/") return false;
  free_bytes = g_free_bytes;
  return true;
}

namespace qx::upgrader::cleanup {
namespace {

struct TestStrategy : CleanupBase {
  using CleanupBase::CleanupBase;
  bool PerformCleanup(bool&) override { return true; }
};

TEST(CleanupBaseTest, RequireCleanupComparesAFreshMeasurementWithTheRequirement) {
  // Required, measured, whether the measurement succeeds, needed as preset and afterwards: a
  // failed measurement leaves the caller's flag alone.
  const std::tuple<unsigned int, unsigned int, bool, bool, bool> kCases[] = {
      {1000, 1000, true, true, false}, {1000, 999, true, false, true},
      {1000, 1001, true, true, false}, {0xFFFFFFFFu, 0xFFFFFFFEu, true, false, true},
      {1000, 10, false, false, false}, {1000, 10, false, true, true}};
  for (const auto& [required, measured, measures, preset, needed] : kCases) {
    SCOPED_TRACE(std::to_string(required) + " required, " + std::to_string(measured) + " free");
    TestStrategy strategy(required);
    g_measures = measures;
    g_free_bytes = measured;
    bool flag = preset;
    EXPECT_EQ(measures, strategy.RequireCleanup(flag));
    EXPECT_EQ(needed, flag);
    EXPECT_EQ(measures ? measured : 0u, strategy.FreeSpace());
    EXPECT_EQ(required, strategy.FreeSpaceRequired());
  }
}

}  // namespace
}  // namespace qx::upgrader::cleanup
