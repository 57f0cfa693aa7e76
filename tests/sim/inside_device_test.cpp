// Runs inside a simulated device (qx_add_test ... INSIDE_DEVICE): the device as a program on it
// sees it.
#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "gtest/gtest.h"
#include "sim/host/router_profile.h"

TEST(InsideDeviceTest, SeesTheDeviceItWasRegisteredWith) {
  std::ostringstream version;
  version << std::ifstream("/proc/version").rdbuf();
  EXPECT_EQ("Linux version 2.6.35.3 (inside@test) #7\n", version.str());
  EXPECT_NE(0, ::access(qx::sim::router::kBoardFile, F_OK));
  struct statvfs root {};
  ASSERT_EQ(0, ::statvfs("/", &root));
  EXPECT_EQ(96ull << 20, static_cast<std::uint64_t>(root.f_blocks) * root.f_frsize);
}
