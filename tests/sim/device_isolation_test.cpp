// Nothing done inside a device reaches the host (device_hostile_test.cpp tries harder). Proven
// with canaries only: if isolation ever broke, these commands would harm nothing but the
// canaries themselves.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

std::string HostFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(DeviceIsolationTest, DeviceProcessesHaveNamespacesOfTheirOwnAndNoHostRoot) {
  auto device = MakeDevice(DeviceSpec{});
  ASSERT_TRUE(device);
  const char* const kNamespaces[] = {"user", "mnt", "pid", "net", "uts", "ipc", "cgroup"};
  std::string command;
  for (const char* ns : kNamespaces) command += std::string("readlink /proc/self/ns/") + ns + ";";
  std::istringstream inside(Shell(*device, command + "cat /proc/self/uid_map"));
  for (const char* ns : kNamespaces) {
    std::string line;
    std::getline(inside, line);
    char host[256] = {};
    ASSERT_GT(::readlink((std::string("/proc/self/ns/") + ns).c_str(), host, sizeof host - 1), 0);
    EXPECT_NE(host, line) << ns;
  }
  // Device root, inside 0, is an unprivileged id of the host: the map's second column, and
  // what the host sees of init.
  std::string inside_id, host_id;
  inside >> inside_id >> host_id;
  EXPECT_EQ("0", inside_id);
  EXPECT_NE("0", host_id);
  const std::string status = HostFile("/proc/" + std::to_string(device->InitPid()) + "/status");
  EXPECT_NE(std::string::npos, status.find("\nUid:\t" + host_id + "\t" + host_id)) << status;
}

TEST(DeviceIsolationTest, DevicePkillAndPsSeeOnlyDeviceProcesses) {
  CanaryProcess canary("qx-canary-ps");
  auto device = MakeDevice(DeviceSpec{});
  ASSERT_TRUE(device);
  // Every process the device lists is its own: init, the services, the shell and ps.
  std::set<std::string> allowed(kServiceNames.begin(), kServiceNames.end());
  allowed.insert({"init", "busybox", "sh", "ps"});
  std::istringstream listing(Shell(*device, "ps -o comm"));
  std::string name;
  std::getline(listing, name);  // header
  int count = 0;
  while (std::getline(listing, name)) {
    EXPECT_EQ(1u, allowed.count(name)) << name;
    ++count;
  }
  EXPECT_GE(count, 26);  // init and the 25 services at least
  // The pattern is split so that this shell's own command line does not hold it.
  EXPECT_EQ("1\n", Shell(*device, "p=qx-canary; pkill -0 \"$p-ps\"; echo $?"));
  EXPECT_TRUE(canary.Alive());
}

TEST(DeviceIsolationTest, MountsAndWatchdogInsideLeaveTheHostUnchanged) {
  const std::string mounts_before = HostFile("/proc/self/mountinfo");
  struct stat before {};
  const bool had_watchdog = ::stat("/dev/watchdog", &before) == 0;
  {
    auto device = MakeDevice(WithProbe());
    ASSERT_TRUE(device);
    const RunResult run = RunCommands(
        *device, {"mkdir -p /mnt/x && mount -t tmpfs qx-canary-mount /mnt/x",
                  "mount -t tmpfs qx-canary-ramdisk /tmp/ramdisk", "watchdog /dev/watchdog -T 5"});
    EXPECT_EQ("0\n0\n0\n", run.output);
    EXPECT_EQ(HostFile("/proc/self/mountinfo"), mounts_before);
    EXPECT_EQ(std::vector<std::string>{"watchdog /dev/watchdog -T 5"}, device->RebootRecords());
  }
  EXPECT_EQ(HostFile("/proc/self/mountinfo"), mounts_before);
  struct stat after {};
  EXPECT_EQ(had_watchdog, ::stat("/dev/watchdog", &after) == 0);
  if (had_watchdog) {
    EXPECT_EQ(before.st_mtime, after.st_mtime);
  }
}

}  // namespace
}  // namespace qx::sim::testing
