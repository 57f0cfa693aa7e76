// A hostile payload (hostile_payload.cpp) in the device, once as the validator inside an upgrade
// file run by `device-sim upgrade`, once as the command of `device-sim run`: every act it tries
// fails, the device ends at its limits, and the host's canaries are unchanged.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "sim/private_mounts.h"
#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

std::string HostFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteHostFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The host's interfaces with their flags.
std::set<std::string> Interfaces() {
  std::set<std::string> interfaces;
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (struct if_nameindex* names = ::if_nameindex()) {
    for (const struct if_nameindex* name = names; name->if_index != 0; ++name) {
      ifreq request{};
      std::strncpy(request.ifr_name, name->if_name, IFNAMSIZ - 1);
      (void)::ioctl(sock, SIOCGIFFLAGS, &request);
      interfaces.insert(std::string(name->if_name) + " " + std::to_string(request.ifr_flags));
    }
    ::if_freenameindex(names);
  }
  ::close(sock);
  return interfaces;
}

// The canaries on the host side. The test process first moves into a mount namespace of its
// own with a /tmp of its own, so that the canary mount and every scratch file go with it
// whatever happens; the device is made from there, so that namespace is the host as the device
// sees it.
class HostCanaries {
 public:
  HostCanaries() : process_("qx-canary-hst") {
    std::string error;
    if (::unshare(CLONE_NEWNS) != 0 || !MakeMountsPrivate("/tmp", &error) ||
        ::mount("qx-hostile-tmp", "/tmp", "tmpfs", 0, "size=64m") != 0) {
      ADD_FAILURE() << "cannot make a private mount namespace: " << error;
    }
    EXPECT_NE(nullptr, ::mkdtemp(dir_));
    WriteHostFile(File(), "alive");
    ::mkdir(Mount().c_str(), 0755);
    EXPECT_EQ(0, ::mount("qx-canary", Mount().c_str(), "tmpfs", 0, "size=64k"));
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(0, ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address));
    EXPECT_EQ(0, ::listen(listener_, 4));
    EXPECT_EQ(0, ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length));
    port_ = ntohs(address.sin_port);
    mounts_ = HostFile("/proc/self/mountinfo");
    interfaces_ = Interfaces();
  }
  ~HostCanaries() {
    ::close(listener_);
    ::umount2(Mount().c_str(), MNT_DETACH);
    ::rmdir(Mount().c_str());
    ::unlink(File().c_str());
    ::rmdir(dir_);
    if (Interfaces() != interfaces_) (void)!std::system("ip link del qxhostile0 2>/dev/null");
  }

  std::string Config() const {
    return "pid=" + std::to_string(process_.pid()) + "\nname=qx-canary-hst\nfile=" + File() +
           "\nmount=" + Mount() + "\nport=" + std::to_string(port_) + "\n";
  }

  void ExpectUnchanged() const {
    EXPECT_TRUE(process_.Alive());
    EXPECT_EQ("alive", HostFile(File()));
    EXPECT_EQ(mounts_, HostFile("/proc/self/mountinfo"));
    EXPECT_EQ(interfaces_, Interfaces());
    EXPECT_EQ(-1, ::accept(listener_, nullptr, nullptr)) << "the device reached the listener";
    struct stat st {};
    EXPECT_NE(0, ::stat("/dev/qx-hostile-null", &st));
  }

 private:
  std::string File() const { return std::string(dir_) + "/canary"; }
  std::string Mount() const { return std::string(dir_) + "/mnt"; }

  CanaryProcess process_;
  char dir_[32] = "/tmp/qx-hostile-canary-XXXXXX";
  int listener_ = -1;
  int port_ = 0;
  std::string mounts_;
  std::set<std::string> interfaces_;
};

// What the payload tries, in its order, and the reason each must fail for (empty: any).
struct Act {
  const char* name;
  std::string reason;
};

std::vector<Act> Acts() {
  struct stat st {};
  // A kernel without module support refuses every module, the host's root's as well.
  const std::string module = ::stat("/proc/modules", &st) == 0 ? "EPERM" : "ENOSYS";
  return {
      {"overwrite the host's file", "ENOENT"},
      {"mknod", "mknod 1:3: EPERM"},
      {"write-open /proc/sysrq-trigger", ""},
      {"write-open /proc/sys/vm/drop_caches", ""},
      {"remount /proc/sys read-write", "EPERM"},
      {"write-open /sys/kernel/qxfc/board", "EROFS"},
      {"create an interface", "RTM_NEWLINK: EPERM"},
      {"set interface flags", "SIOCSIFFLAGS: EPERM"},
      {"connect to the host", ""},
      {"signal the canary by pid", ""},
      {"signal the canary by name", "no process of that name"},
      {"load a module", "init_module: " + module},
      {"unmount the host's mount", ""},
      {"chroot out", ""},
      {"pivot_root out", ""},
      {"exhaust memory", ""},
      {"exhaust processes", ""},
  };
}

TEST(DeviceHostileTest, ValidatorInAnUpgradeFileHarmsNothingOutsideTheDevice) {
  HostCanaries canaries;
  char work[] = "/tmp/qx-hostile-upgrade-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(work));
  const std::string dir = work;
  WriteHostFile(dir + "/notes.txt", "hostile\n");
  WriteHostFile(dir + "/bootloader.sb", std::string(4096, 'b'));
  WriteHostFile(dir + "/kernel_image", canaries.Config());  // the payload's first argument
  WriteHostFile(dir + "/filesystem.db", std::string(4096, 'd'));
  const std::string upgrade = dir + "/ud1780000123-hostile.bin";
  const ProgramOutcome created =
      RunProgram({QX_UDTOOL_PATH, "create", "-o", upgrade, "--upgrade-version", "5",
                  "--release-name", "hostile", dir + "/notes.txt", dir + "/bootloader.sb",
                  std::string(QX_SIM_HOSTILE_PATH) + "=fs-validator", dir + "/kernel_image",
                  dir + "/filesystem.db"});
  ASSERT_EQ(0, created.status) << created.output;
  const ProgramOutcome run = RunProgram({QX_DEVICE_SIM_PATH, "upgrade", upgrade, "--json"});
  (void)!std::system(("rm -rf " + dir).c_str());
  // The validator exits 0 only when every act failed; otherwise 100 + the first that did not.
  const std::vector<Act> acts = Acts();
  const std::size_t status_at = run.output.find("validator exit status 1");
  if (status_at != std::string::npos) {
    const int act = std::atoi(run.output.c_str() + status_at + 22) - 101;
    ADD_FAILURE() << "not blocked: "
                  << (act >= 0 && act < static_cast<int>(acts.size()) ? acts[act].name : "?");
  }
  EXPECT_EQ(0, run.status) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("\"verdict\":\"Successfully upgraded firmware\""))
      << run.output;
  canaries.ExpectUnchanged();
}

TEST(DeviceHostileTest, CommandHarmsNothingOutsideTheDeviceAndEndsAtItsLimits) {
  HostCanaries canaries;
  const ProgramOutcome run = RunProgram({QX_DEVICE_SIM_PATH, "run", "--quiet", "--copy",
                                         std::string(QX_SIM_HOSTILE_PATH) + ":/usr/bin/hostile",
                                         "--file", "/etc/hostile.conf=" + canaries.Config(), "--",
                                         "/usr/bin/hostile", "/etc/hostile.conf"});
  EXPECT_EQ(0, run.status) << run.output;
  std::istringstream lines(run.output);
  std::string line;
  for (const Act& act : Acts()) {
    SCOPED_TRACE(act.name);
    while (std::getline(lines, line) && line.rfind("(", 0) == 0) {
      // "(N processes forked)": the device's limit, not the host's, stopped them.
      EXPECT_LT(std::atoi(line.c_str() + 1), 512);
    }
    EXPECT_EQ(0u, line.rfind(std::string(act.name) + ": blocked (", 0)) << line;
    EXPECT_NE(std::string::npos, line.find(act.reason)) << line;
  }
  canaries.ExpectUnchanged();
}

}  // namespace
}  // namespace qx::sim::testing
