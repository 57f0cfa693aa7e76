// The hostile payload (hostile_payload.cpp) by both routes a device is given a program: as the
// validator inside an upgrade file run by `device-sim upgrade`, and as the command of
// `device-sim run`. Every act fails, and the host's canaries are unchanged.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

std::string Interfaces() { return RunProgram({"/bin/busybox", "ip", "-o", "link"}).output; }

class DeviceHostileTest : public ::testing::TestWithParam<std::string> {};

TEST_P(DeviceHostileTest, EveryActFailsAndTheHostIsUnchanged) {
  EnterPrivateTmp();  // the canary file and mount and the scratch files go with the test
  Child canary([] {
    ::prctl(PR_SET_NAME, "qx-canary-hst", 0, 0, 0);
    for (;;) ::pause();
  });
  std::ofstream("/tmp/qx-canary-file") << "alive";
  ::mkdir("/tmp/qx-canary-mnt", 0755);
  ASSERT_EQ(0, ::mount("qx-canary", "/tmp/qx-canary-mnt", "tmpfs", 0, "size=64k"));
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  ASSERT_TRUE(::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
              ::listen(listener, 4) == 0 &&
              ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
  const std::string config =
      std::to_string(canary.pid()) + " " + std::to_string(ntohs(address.sin_port));
  const std::string mounts = HostFile("/proc/self/mountinfo"), interfaces = Interfaces();
  ProgramOutcome run;
  if (GetParam() == "upgrade") {
    std::ofstream("/tmp/kernel_image") << config;  // the validator's first argument
    std::ofstream("/tmp/notes.txt") << "hostile\n";
    const std::string file = "/tmp/ud1780000123-hostile.bin";
    const ProgramOutcome created = RunProgram(
        {QX_UDTOOL_PATH, "create", "-o", file, "--release-name", "hostile", "/tmp/notes.txt",
         "/tmp/notes.txt=bootloader.sb", QX_SIM_HOSTILE_PATH "=fs-validator", "/tmp/kernel_image",
         "/tmp/notes.txt=filesystem.db"});
    ASSERT_EQ(0, created.status) << created.output;
    // A failure names "validator exit status 1NN": act NN of the payload's table.
    run = DeviceSim("upgrade " + file + " --json");
    EXPECT_NE(std::string::npos, run.output.find("\"passed\":true")) << run.output;
  } else {
    run = DeviceSim(
        "run --quiet --copy " QX_SIM_HOSTILE_PATH ":/usr/bin/hostile",
        {"--file", "/etc/hostile.conf=" + config, "--", "/usr/bin/hostile", "/etc/hostile.conf"});
    EXPECT_NE(std::string::npos, run.output.find("exhaust processes: blocked")) << run.output;
  }
  EXPECT_EQ(0, run.status) << run.output;
  EXPECT_TRUE(canary.Alive());
  EXPECT_EQ("alive", HostFile("/tmp/qx-canary-file"));
  EXPECT_EQ(mounts, HostFile("/proc/self/mountinfo"));
  EXPECT_EQ(-1, ::accept(listener, nullptr, nullptr)) << "the device reached the listener";
  EXPECT_NE(0, ::access("/dev/qx-null", F_OK));
  EXPECT_EQ(interfaces, Interfaces());
  if (Interfaces() != interfaces) RunProgram({"/bin/busybox", "ip", "link", "del", "qxhostile0"});
}

INSTANTIATE_TEST_SUITE_P(ByRoute, DeviceHostileTest, ::testing::Values("upgrade", "run"),
                         [](const auto& route) { return route.param; });

}  // namespace
}  // namespace qx::sim::testing
