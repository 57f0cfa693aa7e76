// Nothing done inside a device reaches the host. Proven with canaries only: if isolation ever
// broke, these commands would harm nothing but the canaries themselves.
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

// A host process named like a service, the canary the device tries to kill.
class CanaryProcess {
 public:
  explicit CanaryProcess(const char* name) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_NAME, name, 0, 0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
      for (;;) ::pause();
    }
  }
  ~CanaryProcess() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  bool Alive() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_;
};

TEST(DeviceIsolationTest, HostCanaryFileSurvivesDeletionByItsHostPath) {
  char dir[] = "/tmp/qx-canary-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(dir));
  const std::string canary = std::string(dir) + "/canary";
  std::ofstream(canary) << "alive";
  auto device = MakeDevice(WithProbe());
  ASSERT_TRUE(device);
  RunCommands(*device,
              {"rm -f " + canary, "rm -rf " + std::string(dir), "echo overwritten > " + canary});
  EXPECT_EQ("alive", HostFile(canary));
  // The device's own tree holds no trace of the host directory either.
  EXPECT_FALSE(device->Exists(dir));
  ::unlink(canary.c_str());
  ::rmdir(dir);
}

TEST(DeviceIsolationTest, HostCanaryProcessSurvivesKillByNameAndPid) {
  CanaryProcess canary("qx-canary-svc");
  auto device = MakeDevice(WithProbe());
  ASSERT_TRUE(device);
  const RunResult run =
      RunCommands(*device, {"pkill -9 qx-canary-svc",
                            "kill -9 " + std::to_string(canary.pid()) + " 2>/dev/null",
                            "pkill -0 service-manager"});
  // pkill finds no canary (status 1), the pid means nothing inside, the services are there.
  EXPECT_EQ("256\n256\n0\n", run.output);
  EXPECT_TRUE(canary.Alive());
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
