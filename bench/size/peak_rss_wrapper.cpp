// qx-peak-rss OUTPUT PROGRAM [ARGUMENT...]
//
// Runs PROGRAM as a traced child and, at the moment it exits (before the kernel releases its
// memory), writes its own peak resident set (VmHWM of /proc/PID/status, in KiB) to OUTPUT.
// Unlike the ru_maxrss that wait4 reports, the figure leaves out the processes PROGRAM starts
// (the shell commands of an upgrade run), whose peaks can be larger than the upgrader's own.
// Only PROGRAM itself is traced: its children run untraced. Exits with PROGRAM's exit status
// (128 + the signal if a signal ended it), or 127 when PROGRAM could not be run.
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kCannotRun = 127;

// VmHWM of a process, in KiB, or -1.
long PeakResidentKib(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::FILE* status = std::fopen(path.c_str(), "r");
  if (status == nullptr) return -1;
  long kib = -1;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

bool WriteFigure(const char* output, long kib) {
  std::FILE* file = std::fopen(output, "w");
  if (file == nullptr) return false;
  const bool written = std::fprintf(file, "%ld\n", kib) > 0;
  return std::fclose(file) == 0 && written;
}

bool IsEventStop(int status, int event) {
  return WIFSTOPPED(status) && (status >> 8) == (SIGTRAP | (event << 8));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUTPUT PROGRAM [ARGUMENT...]\n", argv[0]);
    return 2;
  }
  const pid_t child = ::fork();
  if (child < 0) return kCannotRun;
  if (child == 0) {
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(kCannotRun);
    ::execv(argv[2], argv + 2);
    std::fprintf(stderr, "qx-peak-rss: cannot run %s: %s\n", argv[2], std::strerror(errno));
    _exit(kCannotRun);
  }

  int status = 0;
  // The first stop is the SIGTRAP of the successful exec (or the child has already exited).
  if (::waitpid(child, &status, 0) != child) return kCannotRun;
  if (WIFSTOPPED(status)) {
    const long options = PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL;
    (void)::ptrace(PTRACE_SETOPTIONS, child, nullptr, reinterpret_cast<void*>(options));
    (void)::ptrace(PTRACE_CONT, child, nullptr, nullptr);
  }
  bool measured = false;
  while (WIFSTOPPED(status)) {
    if (::waitpid(child, &status, 0) != child) return kCannotRun;
    if (!WIFSTOPPED(status)) break;
    long resume_signal = 0;
    if (IsEventStop(status, PTRACE_EVENT_EXIT)) {
      measured = WriteFigure(argv[1], PeakResidentKib(child));
    } else if (!IsEventStop(status, PTRACE_EVENT_EXEC)) {
      resume_signal = WSTOPSIG(status);  // an ordinary signal: deliver it as it came
    }
    (void)::ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(resume_signal));
  }
  if (!measured) std::fprintf(stderr, "qx-peak-rss: no figure for %s\n", argv[2]);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kCannotRun;
}
