// A preloaded probe that times the steps of one upgrader run from the inside, for the driver
// benchmark only. Loaded with LD_PRELOAD into every dynamic program of the device, it records
// only in the process named "upgrader": the start and end of every system() call, every open()
// and unlink() of a path in /tmp/ramdisk// (the upgrade file) and, at exit, the peak resident
// set (VmHWM). Records go to kProbeLog, one line each: "<monotonic ns> <event> <text>".
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char kProbeLog[] = "/qx-step-probe.log";
constexpr const char kUpgradeFilePrefix[] = "/tmp/ramdisk//";

bool g_recording = false;  // only in the upgrader

long long NowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Opened for each record: the upgrader closes every descriptor it did not open itself when it
// starts, so one kept open from the constructor would be gone before the first step.
void Record(const char* event, const char* text) {
  if (!g_recording) return;
  const int saved = errno;  // the program must see the errno of its own call
  char line[512];
  const int length = std::snprintf(line, sizeof line, "%lld %s %s\n", NowNs(), event, text);
  const int fd = ::open(kProbeLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (length > 0 && fd >= 0) {
    const auto size = static_cast<std::size_t>(length) < sizeof line
                          ? static_cast<std::size_t>(length)
                          : sizeof line - 1;
    (void)!::write(fd, line, size);
  }
  if (fd >= 0) ::close(fd);
  errno = saved;
}

bool IsUpgradeFile(const char* path) {
  return path != nullptr &&
         std::strncmp(path, kUpgradeFilePrefix, sizeof kUpgradeFilePrefix - 1) == 0;
}

void RecordPeakResident() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) {
      line[std::strcspn(line, "\n")] = '\0';
      Record("peak", line + 6);
    }
  }
  std::fclose(status);
}

__attribute__((constructor)) void StartProbe() {
  char name[64] = {};
  const int fd = ::open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  const ssize_t length = ::read(fd, name, sizeof name - 1);
  ::close(fd);
  if (length <= 0 || std::strncmp(name, "upgrader\n", 9) != 0) return;
  g_recording = true;
  Record("start", "-");
}

__attribute__((destructor)) void EndProbe() {
  if (!g_recording) return;
  RecordPeakResident();
  Record("end", "-");
}

template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

int OpenWithProbe(const char* symbol, const char* path, int flags, va_list args) {
  using OpenFn = int (*)(const char*, int, ...);
  static OpenFn next_open = Next<OpenFn>("open");
  static OpenFn next_open64 = Next<OpenFn>("open64");
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) mode = static_cast<mode_t>(va_arg(args, int));
  if (IsUpgradeFile(path)) Record("open", path);
  OpenFn next = std::strcmp(symbol, "open64") == 0 ? next_open64 : next_open;
  return next(path, flags, mode);
}

}  // namespace

extern "C" {

// libc's name, which this probe interposes.
// NOLINTNEXTLINE(readability-identifier-naming)
int system(const char* command) {
  using SystemFn = int (*)(const char*);
  static SystemFn next = Next<SystemFn>("system");
  Record("system", command != nullptr ? command : "");
  const int status = next(command);
  Record("system-end", command != nullptr ? command : "");
  return status;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = OpenWithProbe("open", path, flags, args);
  va_end(args);
  return fd;
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = OpenWithProbe("open64", path, flags, args);
  va_end(args);
  return fd;
}

int unlink(const char* path) {
  using UnlinkFn = int (*)(const char*);
  static UnlinkFn next = Next<UnlinkFn>("unlink");
  if (IsUpgradeFile(path)) Record("unlink", path);
  return next(path);
}

}  // extern "C"
