// A GoogleTest main for tests that write the upgrade log at its fixed device path
// (/tmp/ramdisk/upgrade_log). Before any test runs, the process moves into a mount namespace
// of its own, makes every mount private (so nothing propagates back to the host) and mounts a
// fresh tmpfs on /tmp. Whatever the tests do under /tmp then vanishes with the process, and the
// host's /tmp is never touched. Without the privilege to do so it refuses to run.
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "gtest/gtest.h"
#include "sim/private_mounts.h"

namespace {

bool IsolateTmp() {
  if (::unshare(CLONE_NEWNS) != 0) {
    std::fprintf(stderr, "refusing to run: cannot create a private mount namespace: %s\n",
                 std::strerror(errno));
    return false;
  }
  std::string error;
  if (!qx::sim::MakeMountsPrivate("/tmp", &error)) {
    std::fprintf(stderr, "refusing to run: %s\n", error.c_str());
    return false;
  }
  if (::mount("qx-test-tmp", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "size=64m,mode=1777") != 0) {
    std::fprintf(stderr, "refusing to run: cannot mount a private /tmp: %s\n",
                 std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!IsolateTmp()) return 2;
  return RUN_ALL_TESTS();
}
