// The router builds' fstat fallback (compat/fstat_fallback.c), cross-built and run under the
// emulator. A kernel before 2.6.39 answers fstatat(fd, "", AT_EMPTY_PATH) with EINVAL; a
// current kernel gives the same answer to statx when both sync modes are asked for at once, so
// that stands in for the old kernel here, through the very C library calls the program makes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gtest/gtest.h"

namespace {

constexpr int kRefused = AT_STATX_FORCE_SYNC | AT_STATX_DONT_SYNC;

class FstatFallbackTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qx-fstat-test-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern.data()));
    dir_ = pattern;
    file_ = dir_ + "/file";
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(5, ::write(fd, "bytes", 5));
    ASSERT_EQ(0, ::close(fd));
  }
  void TearDown() override {
    ::unlink(file_.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string dir_, file_;
};

TEST_F(FstatFallbackTest, RefusedEmptyPathIsStatedThroughTheDescriptorLink) {
  for (const std::string& path : {dir_, file_}) {
    SCOPED_TRACE(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat expected {};
    ASSERT_EQ(0, ::stat(path.c_str(), &expected));
    struct stat seen {};
    errno = 0;
    EXPECT_EQ(0, ::fstatat(fd, "", &seen, AT_EMPTY_PATH | kRefused)) << std::strerror(errno);
    EXPECT_EQ(expected.st_dev, seen.st_dev);
    EXPECT_EQ(expected.st_ino, seen.st_ino);
    EXPECT_EQ(expected.st_mode, seen.st_mode);
    EXPECT_EQ(expected.st_size, seen.st_size);
    ::close(fd);
  }
}

TEST_F(FstatFallbackTest, OtherFailuresKeepTheirAnswer) {
  const int fd = ::open(dir_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct Case {
    int fd;
    const char* path;
    int flags;
    int error;
  };
  const Case kCases[] = {
      {-1, "", AT_EMPTY_PATH, EBADF},           // no descriptor to look at
      {fd, "absent", 0, ENOENT},                // a path of its own
      {fd, "file", kRefused, EINVAL},           // a path: AT_EMPTY_PATH was not asked for
      {fd, "", kRefused, EINVAL},               // an empty path without AT_EMPTY_PATH
      {AT_FDCWD, "", AT_EMPTY_PATH | kRefused,  // no descriptor: the answer stays
       EINVAL},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.flags));
    struct stat seen {};
    errno = 0;
    EXPECT_EQ(-1, ::fstatat(c.fd, c.path, &seen, c.flags));
    EXPECT_EQ(c.error, errno) << std::strerror(errno);
  }
  ::close(fd);
}

}  // namespace
