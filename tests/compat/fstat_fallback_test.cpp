// The router builds' fstat fallback (compat/fstat_fallback.c), cross-built, under the emulator. A
// kernel before 2.6.39 answers fstatat(fd, "", AT_EMPTY_PATH) with EINVAL; a current one answers
// statx so when both sync modes are asked for at once, which stands in for the old kernel here.
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

TEST(FstatFallbackTest, RefusedEmptyPathIsStatedThroughTheDescriptorLink) {
  const char* base = std::getenv("TMPDIR");
  std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qx-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(dir.data()));
  const std::string file = dir + "/file";
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_TRUE(fd >= 0 && ::write(fd, "bytes", 5) == 5 && ::close(fd) == 0);
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC);
  const int file_fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  const struct {
    int fd;
    const char* path;
    int flags;
    int error;  // 0: succeeds, as stat of `stated` does
    const std::string* stated;
  } kCases[] = {
      {dir_fd, "", AT_EMPTY_PATH | kRefused, 0, &dir},
      {file_fd, "", AT_EMPTY_PATH | kRefused, 0, &file},
      {-1, "", AT_EMPTY_PATH, EBADF, nullptr},                    // no descriptor to look at
      {dir_fd, "absent", 0, ENOENT, nullptr},                     // a path of its own
      {dir_fd, "file", kRefused, EINVAL, nullptr},                // a path: no AT_EMPTY_PATH
      {dir_fd, "", kRefused, EINVAL, nullptr},                    // empty, without AT_EMPTY_PATH
      {AT_FDCWD, "", AT_EMPTY_PATH | kRefused, EINVAL, nullptr},  // no descriptor: it stays
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.flags));
    struct stat seen {};
    struct stat expected {};
    errno = 0;
    EXPECT_EQ(c.error == 0 ? 0 : -1, ::fstatat(c.fd, c.path, &seen, c.flags))
        << std::strerror(errno);
    if (c.error != 0) {
      EXPECT_EQ(c.error, errno) << std::strerror(errno);
      continue;
    }
    EXPECT_EQ(0, ::stat(c.stated->c_str(), &expected));
    EXPECT_EQ(expected.st_dev, seen.st_dev);
    EXPECT_EQ(expected.st_ino, seen.st_ino);
    EXPECT_EQ(expected.st_mode, seen.st_mode);
    EXPECT_EQ(expected.st_size, seen.st_size);
  }
  ::close(dir_fd);
  ::close(file_fd);
  ::unlink(file.c_str());
  ::rmdir(dir.c_str());
}

}  // namespace
