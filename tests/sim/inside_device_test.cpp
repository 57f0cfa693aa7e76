// Runs inside a simulated device (qx_add_device_test): the device as a program on it sees it.
#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "sim/device.h"

namespace {

std::string Slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(InsideDeviceTest, SeesTheConfiguredKernelAndNoBoard) {
  EXPECT_EQ("Linux version 2.6.35.3 (inside@test) #7\n", Slurp("/proc/version"));
  EXPECT_NE(0, ::access("/sys/kernel/qxfc/board", F_OK));
}

TEST(InsideDeviceTest, RootSizeSetsFreeSpace) {
  struct statvfs vfs {};
  ASSERT_EQ(0, ::statvfs("/", &vfs));
  const unsigned long long total = static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize;
  EXPECT_EQ(96ull << 20, total);
}

TEST(InsideDeviceTest, IsPidOneChildAndRoot) {
  EXPECT_EQ(0u, ::geteuid());
  EXPECT_EQ(1, ::getppid());  // started by the device's init
  EXPECT_EQ(0, ::access(qx::sim::kDeviceMarker, F_OK));
}

TEST(InsideDeviceTest, SystemGoesThroughTheDeviceShell) {
  EXPECT_EQ(0, std::system("mount -t tmpfs -o size=25M /tmp/ramdisk/ && touch /tmp/ramdisk/x"));
  struct statvfs vfs {};
  ASSERT_EQ(0, ::statvfs("/tmp/ramdisk", &vfs));
  EXPECT_EQ(25ull << 20, static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize);
}

}  // namespace
