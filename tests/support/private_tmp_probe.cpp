// Runs under private_tmp_main.cpp, and checks what every test with a private /tmp relies on:
// /tmp is a fresh tmpfs of the process's own, and the process is still where it was started
// (root and working directory), with its $TMPDIR usable. tests/support/private_tmp_test.sh runs
// it on the host, in a plain chroot and under an emulator there.
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "gtest/gtest.h"

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

TEST(PrivateTmpTest, TmpIsFreshAndTheProcessStaysWhereItWasStarted) {
  struct statfs tmp {};
  ASSERT_EQ(0, ::statfs("/tmp", &tmp));
  EXPECT_EQ(static_cast<long>(TMPFS_MAGIC), static_cast<long>(tmp.f_type));
  const std::string host_file = Environment("QX_HOST_TMP_FILE");  // made in the host's /tmp
  if (!host_file.empty()) {
    EXPECT_NE(0, ::access(host_file.c_str(), F_OK)) << host_file;
  }
  const std::string root_file = Environment("QX_ROOT_FILE");  // made in the chroot's root
  if (!root_file.empty()) {
    EXPECT_EQ(0, ::access(root_file.c_str(), F_OK)) << root_file;
  }
  char cwd[PATH_MAX];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
  EXPECT_EQ(Environment("QX_EXPECTED_CWD"), cwd);
  const std::string tmpdir = Environment("TMPDIR");
  if (!tmpdir.empty()) {
    std::string scratch = tmpdir + "/probe.XXXXXX";
    EXPECT_NE(nullptr, ::mkdtemp(scratch.data())) << scratch;
  }
}

}  // namespace
