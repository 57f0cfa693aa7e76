#include "driver/run_guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "driver/run_commands.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::driver {
namespace {

extern "C" void CaughtAndIgnored(int) {}

// Signals whose default action is to end or stop the process and that a handler can catch; the
// real-time signals are added by range.
constexpr int kCaughtSignals[] = {
    SIGHUP,    SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
    SIGPROF,   SIGIO,  SIGPWR,  SIGXCPU, SIGXFSZ, SIGTSTP, SIGTTIN, SIGTTOU,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

bool IsCaught(int signal_number) {
  if (signal_number >= SIGRTMIN && signal_number <= SIGRTMAX) return true;
  for (const int caught : kCaughtSignals) {
    if (caught == signal_number) return true;
  }
  return false;
}

void ResetSignals() {
  struct sigaction caught {};
  caught.sa_handler = CaughtAndIgnored;
  sigemptyset(&caught.sa_mask);
  caught.sa_flags = SA_RESTART;
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  // KILL and STOP refuse both, and the C library's own signals refuse any change: results
  // ignored.
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    (void)::sigaction(signal_number, IsCaught(signal_number) ? &caught : &standard, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Kernels before 5.9 have no close_range: the open descriptors are listed in /proc, or, without
// it, closed one by one up to the descriptor limit.
void CloseInheritedDescriptors() {
  DIR* open_descriptors = ::opendir("/proc/self/fd");
  if (open_descriptors == nullptr) {
    const long limit = ::sysconf(_SC_OPEN_MAX);
    const long last = limit > 0 && limit < 65536 ? limit : 65536;
    for (long fd = 3; fd < last; ++fd) (void)::close(static_cast<int>(fd));
    return;
  }
  const int listing = ::dirfd(open_descriptors);
  while (const dirent* entry = ::readdir(open_descriptors)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd < 3 || fd == listing) continue;
    (void)::close(static_cast<int>(fd));
  }
  ::closedir(open_descriptors);
}

// Pseudo-terminals (Unix 98 masters and slaves, the old BSD pairs, /dev/tty and /dev/ptmx) go
// with the session that holds them; a console or a serial line stays.
bool IsPseudoTerminal(dev_t device) {
  const unsigned int major_number = major(device), minor_number = minor(device);
  return (major_number >= 128 && major_number <= 143) || major_number == 2 || major_number == 3 ||
         (major_number == 5 && (minor_number == 0 || minor_number == 2));
}

bool KeptAsOutput(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;  // closed: /dev/null takes its place
  if (S_ISREG(st.st_mode)) return true;
  return S_ISCHR(st.st_mode) && !IsPseudoTerminal(st.st_rdev);
}

void ReplaceStandardStreams() {
  const int null_fd = ::open("/dev/null", O_RDWR);  // inherited on purpose: it becomes 0 to 2
  if (null_fd < 0) return;
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fd != null_fd && (fd == STDIN_FILENO || !KeptAsOutput(fd))) (void)::dup2(null_fd, fd);
  }
  if (null_fd > STDERR_FILENO) ::close(null_fd);
}

std::string FailureCause(const char* what) { return std::string(kClaimPath) + ": " + what; }

}  // namespace

void TakeOverTheProcess() {
  ResetSignals();
  (void)::umask(022);
  CloseInheritedDescriptors();
  ReplaceStandardStreams();
}

RunClaim ClaimTheDevice(std::string& cause) {
  const int fd = ::open(kClaimPath, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    cause = FailureCause("error: ") + std::strerror(errno);
    return RunClaim::kUnavailable;
  }
  struct stat st {};
  const char* unsafe = nullptr;
  if (::fstat(fd, &st) != 0) {
    unsafe = "cannot be examined";
  } else if (!utils::IsPrivateFile(st)) {
    unsafe = "not a regular file of root's with one link";
  } else if ((st.st_mode & 077) != 0) {
    unsafe = "open to other users";  // one of them could hold the lock
  }
  if (unsafe != nullptr) {
    ::close(fd);
    cause = FailureCause(unsafe);
    return RunClaim::kUnavailable;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return RunClaim::kTaken;  // fd stays open to the end
  const int error = errno;
  ::close(fd);
  if (error == EWOULDBLOCK) return RunClaim::kHeldByOther;
  cause = FailureCause("error: ") + std::strerror(error);
  return RunClaim::kUnavailable;
}

void CloseTheRamdisk() {
  const int ramdisk = ::open(kUpgradeDirectory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (ramdisk >= 0) {
    (void)::fchmod(ramdisk, 0755);
    ::close(ramdisk);
  }
  for (const char* path : kRamdiskWrittenPaths) (void)utils::RemoveUnsafeEntry(path);
}

void SleepThroughSignals(unsigned int seconds) {
  timespec left{static_cast<std::time_t>(seconds), 0};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace qx::upgrader::driver
