// The device's /bin/sh and its watchdog program, one small static executable.
//
// Called as "sh" (any argv[0] whose last component is sh or -sh): sends the command text of a
// `-c` invocation, byte for byte, as one record to init's report socket, then becomes
// busybox's shell with the very same arguments. The record is sent before the shell runs, so
// the trace keeps the order in which commands were started even when they overlap. When its
// standard output is a file of the simulator's output tmpfs, it also marks where in the output
// its command begins (see wire::kOutputMarks).
//
// Called by any other name (the simulator installs it as /tmp/wdprog): the watchdog program.
// It reports its start with its pid, then sleeps until a signal ends it; init, which reaps it,
// sees which signal that was.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim/common/wire.h"

namespace {

constexpr const char kBusybox[] = "/bin/busybox";

void Report(char kind, const char* text, std::size_t length) {
  namespace wire = qx::sim::wire;
  if (length > wire::kMaxEventBytes) length = wire::kMaxEventBytes;
  std::string record(1, kind);
  record.append(text, length);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // A full queue (init busy elsewhere) is waited for, but never for long: a device whose init
  // has stopped reading must not hang its shells.
  const timeval patience{2, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  sockaddr_un address;
  const socklen_t length_of_address = wire::ReportSocketAddress(address);
  (void)::sendto(fd, record.data(), record.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), length_of_address);
  ::close(fd);
}

// The command of `sh [options] -c command [name [args]]`: the first operand after an option
// cluster that holds 'c' (e.g. -c, -ec, -xc), skipping a "--" that ends the options.
const char* CommandText(int argc, char** argv) {
  bool command_mode = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) return command_mode && i + 1 < argc ? argv[i + 1] : nullptr;
    if ((arg[0] == '-' || arg[0] == '+') && arg[1] != '\0') {
      if (arg[0] == '-' && std::strchr(arg + 1, 'c') != nullptr) command_mode = true;
      if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "+o") == 0) ++i;  // -o takes a name
      continue;
    }
    return command_mode ? arg : nullptr;
  }
  return nullptr;
}

// Where this command's output begins, when the run's output goes to the simulator's output
// files (`device-sim upgrade`): one mark, appended in one write so that concurrent shells'
// marks never interleave. Nothing is marked for any other output.
void MarkOutputs(const char* command, std::size_t length) {
  namespace wire = qx::sim::wire;
  struct stat output {};
  struct stat directory {};
  if (::fstat(1, &output) != 0 || !S_ISREG(output.st_mode) ||
      ::stat(wire::kOutputDirectory, &directory) != 0 || output.st_dev != directory.st_dev) {
    return;
  }
  if (length > wire::kMaxEventBytes) length = wire::kMaxEventBytes;
  const long long out = ::lseek(1, 0, SEEK_CUR);
  const long long err = ::lseek(2, 0, SEEK_CUR);
  std::string mark = std::to_string(::getppid()) + " " + std::to_string(out < 0 ? 0 : out) + " " +
                     std::to_string(err < 0 ? 0 : err) + " " + std::to_string(length) + "\n";
  mark.append(command, length);
  mark += '\n';
  const int fd =
      ::open(wire::kOutputMarks, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  (void)!::write(fd, mark.data(), mark.size());
  ::close(fd);
}

int RunShell(int argc, char** argv) {
  if (const char* command = CommandText(argc, argv)) {
    const std::size_t length = std::strlen(command);
    Report(qx::sim::wire::kEventCommand, command, length);
    MarkOutputs(command, length);
  }
  // Busybox picks the applet from argv[0]; keep a login shell's leading '-'.
  argv[0] = const_cast<char*>(argv[0][0] == '-' ? "-sh" : "sh");
  ::execv(kBusybox, argv);
  std::fprintf(stderr, "sh: cannot run %s: %s\n", kBusybox, std::strerror(errno));
  return 127;
}

int RunWatchdogProgram() {
  const std::string pid = std::to_string(::getpid());
  Report(qx::sim::wire::kEventWatchdogProgram, pid.data(), pid.size());
  for (;;) ::pause();
}

bool IsShellName(const char* argv0) {
  const char* slash = std::strrchr(argv0, '/');
  const char* name = slash != nullptr ? slash + 1 : argv0;
  if (name[0] == '-') ++name;
  return std::strcmp(name, "sh") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr) return 127;
  return IsShellName(argv[0]) ? RunShell(argc, argv) : RunWatchdogProgram();
}
