// A GoogleTest main for tests that write the upgrade log at its fixed device path
// (/tmp/ramdisk/upgrade_log). Before any test runs, the process moves into a mount namespace of
// its own with a fresh /tmp (tests/support/private_tmp.h), which vanishes with the process.
// Without the privilege to make it, it refuses.
#include <cstdio>
#include <string>

#include "gtest/gtest.h"
#include "tests/support/private_tmp.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string error;
  if (!qx::test_support::EnterPrivateTmp(&error)) {
    std::fprintf(stderr, "refusing to run: %s\n", error.c_str());
    return 2;
  }
  return RUN_ALL_TESTS();
}
