// CleanupBase through a small strategy, with the one free-space measurement it makes replaced:
// this binary defines MountFreeSpace itself, so the library's (and "/" of this host) is never
// used, and a failed measurement can be staged.
#include "cleanup/cleanup_base.h"

#include <string>

#include "gtest/gtest.h"
#include "utils/upgrader_utils.h"

namespace {

struct FakeMount {
  bool succeeds = true;
  unsigned int free_bytes = 0;
  std::string last_path;
  int calls = 0;
} g_mount;

}  // namespace

namespace qx::upgrader::utils {
bool MountFreeSpace(std::string path, unsigned int& free_bytes) {
  ++g_mount.calls;
  g_mount.last_path = path;
  if (!g_mount.succeeds) return false;
  free_bytes = g_mount.free_bytes;
  return true;
}
}  // namespace qx::upgrader::utils

namespace qx::upgrader::cleanup {
namespace {

class TestStrategy : public CleanupBase {
 public:
  using CleanupBase::CleanupBase;
  bool PerformCleanup(bool& enough) override {
    if (RequireCleanup(enough)) enough = !enough;
    return true;
  }
};

class CleanupBaseTest : public testing::Test {
 protected:
  void SetUp() override { g_mount = FakeMount{}; }
  void Measure(bool succeeds, unsigned int free_bytes) {
    g_mount.succeeds = succeeds;
    g_mount.free_bytes = free_bytes;
  }
};

TEST_F(CleanupBaseTest, ComparesLastMeasurementWithTheRequirement) {
  struct Case {
    unsigned int required, measured;
    bool enough;
  };
  const Case kCases[] = {
      {1000, 1000, true},  // equality counts as enough
      {1000, 999, false},  // one byte short
      {1000, 1001, true},
      {0, 0, true},
      {0x1600000, 0xFFFFFFFFu, true},  // a saturated measurement of a very large root
      {0xFFFFFFFFu, 0xFFFFFFFEu, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::to_string(c.required) + " required, " + std::to_string(c.measured) + " free");
    TestStrategy strategy(c.required);
    Measure(true, c.measured);
    ASSERT_TRUE(strategy.CalculateFreespace());
    EXPECT_EQ(c.measured, strategy.FreeSpace());
    EXPECT_EQ(c.required, strategy.FreeSpaceRequired());
    EXPECT_EQ(c.enough, strategy.EnoughFreeSpace());
    bool needed = c.enough;  // preset to the wrong answer: it must be written
    CleanupBase& base = strategy;
    ASSERT_TRUE(base.RequireCleanup(needed));
    EXPECT_EQ(!c.enough, needed);
  }
  EXPECT_EQ("/", g_mount.last_path);
}

TEST_F(CleanupBaseTest, AnswersBeforeAnyMeasurementAsIfNothingWereFree) {
  TestStrategy nothing_required(0);
  TestStrategy one_byte_required(1);
  EXPECT_EQ(0u, one_byte_required.FreeSpace());
  EXPECT_TRUE(nothing_required.EnoughFreeSpace());
  EXPECT_FALSE(one_byte_required.EnoughFreeSpace());
  EXPECT_EQ(0, g_mount.calls);  // construction measures nothing
}

TEST_F(CleanupBaseTest, FailedMeasurementKeepsTheLastValueAndTheCallersFlag) {
  TestStrategy strategy(5000);
  Measure(true, 6000);
  ASSERT_TRUE(strategy.CalculateFreespace());
  Measure(false, 1);
  EXPECT_FALSE(strategy.CalculateFreespace());
  EXPECT_EQ(6000u, strategy.FreeSpace());
  EXPECT_TRUE(strategy.EnoughFreeSpace());
  for (const bool preset : {false, true}) {
    bool needed = preset;
    EXPECT_FALSE(strategy.RequireCleanup(needed));
    EXPECT_EQ(preset, needed);
  }
  // Through the strategy's own run, which relies on the inherited RequireCleanup.
  bool enough = false;
  EXPECT_TRUE(strategy.PerformCleanup(enough));
  EXPECT_FALSE(enough);
  Measure(true, 4999);
  EXPECT_TRUE(strategy.PerformCleanup(enough));
  EXPECT_FALSE(enough);
  Measure(true, 5000);
  EXPECT_TRUE(strategy.PerformCleanup(enough));
  EXPECT_TRUE(enough);
}

}  // namespace
}  // namespace qx::upgrader::cleanup
