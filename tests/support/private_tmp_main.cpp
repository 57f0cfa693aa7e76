// A GoogleTest main for tests that write the upgrade log at its fixed device path
// (/tmp/ramdisk/upgrade_log). Before any test runs, the process moves into a mount namespace of
// its own, makes every mount private (nothing propagates back to the host) and mounts a fresh
// tmpfs on /tmp, which vanishes with the process. Without the privilege to do so it refuses.
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "sim/private_mounts.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string error;
  if (::unshare(CLONE_NEWNS) != 0) {
    error = std::string("cannot create a private mount namespace: ") + std::strerror(errno);
  } else if (qx::sim::MakeMountsPrivate("/tmp", &error) &&
             ::mount("qx-test-tmp", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "size=64m,mode=1777") !=
                 0) {
    error = std::string("cannot mount a private /tmp: ") + std::strerror(errno);
  }
  if (!error.empty()) {
    std::fprintf(stderr, "refusing to run: %s\n", error.c_str());
    return 2;
  }
  return RUN_ALL_TESTS();
}
