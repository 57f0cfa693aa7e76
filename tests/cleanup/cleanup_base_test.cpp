// CleanupBase through a small strategy, with the one free-space measurement it makes replaced:
// this binary defines MountFreeSpace itself, so "/" of this host is never measured, and a failed
// measurement can be staged.
#include "cleanup/cleanup_base.h"

#include <string>
#include <tuple>

#include "gtest/gtest.h"
#include "utils/upgrader_utils.h"

namespace {
bool g_measures = true;
unsigned int g_free_bytes = 0;
}  // namespace

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

TEST(CleanupBaseTest, ComparesTheLastMeasurementWithTheRequirement) {
  // Required, measured, enough.
  const std::tuple<unsigned int, unsigned int, bool> kCases[] = {
      {1000, 1000, true},
      {1000, 999, false},
      {1000, 1001, true},
      {0, 0, true},
      {0x1600000, 0xFFFFFFFFu, true},  // a saturated measurement of a very large root
      {0xFFFFFFFFu, 0xFFFFFFFEu, false}};
  for (const auto& [required, measured, enough] : kCases) {
    SCOPED_TRACE(std::to_string(required) + " required, " + std::to_string(measured) + " free");
    TestStrategy strategy(required);
    g_free_bytes = measured;
    bool needed = enough;  // preset to the wrong answer: it must be written
    ASSERT_TRUE(strategy.RequireCleanup(needed));
    EXPECT_EQ(!enough, needed);
    EXPECT_EQ(measured, strategy.FreeSpace());
    EXPECT_EQ(required, strategy.FreeSpaceRequired());
    EXPECT_EQ(enough, strategy.EnoughFreeSpace());
  }
}

// Nothing is measured until asked, so the first answers are as if nothing were free; a failed
// measurement keeps the last value and leaves the caller's flag alone.
TEST(CleanupBaseTest, AnswersFromTheLastSuccessfulMeasurementOnly) {
  g_free_bytes = 6000;
  TestStrategy nothing_required(0), strategy(5000);
  EXPECT_TRUE(nothing_required.EnoughFreeSpace());
  EXPECT_FALSE(strategy.EnoughFreeSpace());
  ASSERT_TRUE(strategy.CalculateFreespace());
  g_measures = false;
  g_free_bytes = 1;
  EXPECT_FALSE(strategy.CalculateFreespace());
  for (const bool preset : {false, true}) {
    bool needed = preset;
    EXPECT_FALSE(strategy.RequireCleanup(needed));
    EXPECT_EQ(preset, needed);
  }
  EXPECT_EQ(6000u, strategy.FreeSpace());
  g_measures = true;
}

}  // namespace
}  // namespace qx::upgrader::cleanup
