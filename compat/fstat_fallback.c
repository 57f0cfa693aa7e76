// fstat, and with it opendir, on Linux before 2.6.39.
//
// The static C library (glibc 2.36 for 32-bit ARM) implements fstat(fd) as
// statx(fd, "", AT_EMPTY_PATH); when the kernel answers ENOSYS (statx is 4.11) it retries with
// fstatat64(fd, "", AT_EMPTY_PATH), and a kernel older than 2.6.39 refuses that flag with
// EINVAL. opendir stats the directory it opened, so on the router's 2.6.35 every directory
// listing would fail: the driver could never find its upgrade file. The router builds link
// with -Wl,--wrap=__fstatat64_time64 (see CMakeLists.txt), so every stat of the C library
// comes here first. Only the refused empty-path form is retried, as a plain fstatat64 of the
// descriptor's /proc/self/fd link, which the kernel resolves to the open file itself (the
// driver needs /proc anyway: the cleanup reads /proc/version). Everything else is passed on as
// it is, result and errno alike.
#define _GNU_SOURCE  // AT_EMPTY_PATH
#include <errno.h>
#include <fcntl.h>

// The C library's own structure, 64-bit times; only passed through here.
struct __stat64_t64;

int __real___fstatat64_time64(int fd, const char* path, struct __stat64_t64* buf, int flags);
int __wrap___fstatat64_time64(int fd, const char* path, struct __stat64_t64* buf, int flags);

// "/proc/self/fd/" and the decimal descriptor, without the printf machinery (flash).
static void DescriptorLink(int fd, char link[32]) {
  static const char kPrefix[] = "/proc/self/fd/";
  char digits[12];
  int count = 0;
  unsigned int value = (unsigned int)fd;
  do {
    digits[count++] = (char)('0' + value % 10u);
    value /= 10u;
  } while (value != 0u);
  int at = 0;
  for (const char* p = kPrefix; *p != '\0'; ++p) link[at++] = *p;
  while (count > 0) link[at++] = digits[--count];
  link[at] = '\0';
}

int __wrap___fstatat64_time64(int fd, const char* path, struct __stat64_t64* buf, int flags) {
  const int result = __real___fstatat64_time64(fd, path, buf, flags);
  if (result == 0 || errno != EINVAL || fd < 0 || path[0] != '\0' || (flags & AT_EMPTY_PATH) == 0) {
    return result;
  }
  char link[32];
  DescriptorLink(fd, link);
  if (__real___fstatat64_time64(AT_FDCWD, link, buf, 0) == 0) return 0;
  errno = EINVAL;  // the kernel's answer to the call that was made, not to the retry
  return -1;
}
