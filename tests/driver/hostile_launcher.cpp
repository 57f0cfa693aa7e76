// What a real unit may start the upgrader with instead of a clean shell, run inside a simulated
// router: it sets up what it is told, then execs the command after "--".
//   --ignore-sigchld   SIGCHLD ignored        --block   HUP, INT, TERM and USR1 blocked
//   --umask 0177       that file mode mask    --leak-fd /etc/passwd open as descriptor 7
//   --output-to-sshd   standard output and error a pipe whose only reader is named sshd
//   --user 65534       that user and group, no supplementary groups
//   --squat            no exec: bind the abstract names a claim could use, flock every file
//                      of /etc, /tmp, /tmp/ramdisk and /var that opens, say "squatting", wait
// Installed as /tmp/wdchat it is a watchdog program that prints a line every second.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/inside/device_guard.h"

namespace {

[[noreturn]] void Squat() {
  for (const char* name : {"qx-upgrader", "upgrader"}) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name, std::strlen(name));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    (void)::bind(fd, reinterpret_cast<sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(name)));
    (void)::listen(fd, 1);
  }
  for (const std::string directory : {"/etc", "/tmp", "/tmp/ramdisk", "/var"}) {
    DIR* listing = ::opendir(directory.c_str());
    while (const dirent* entry = listing != nullptr ? ::readdir(listing) : nullptr) {
      const int fd = ::open((directory + "/" + entry->d_name).c_str(), O_RDONLY | O_NONBLOCK);
      if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) ::close(fd);
    }
  }
  std::printf("squatting\n");
  std::fflush(stdout);
  for (;;) ::pause();
}

void OutputToSshd() {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) std::exit(2);
  if (::fork() == 0) {
    (void)::prctl(PR_SET_NAME, "sshd");
    ::close(pipe_fds[1]);
    char buffer[4096];
    while (::read(pipe_fds[0], buffer, sizeof buffer) > 0) {
    }
    ::_exit(0);
  }
  (void)::dup2(pipe_fds[1], 1);
  (void)::dup2(pipe_fds[1], 2);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

}  // namespace

int main(int argc, char** argv) {
  while (argc > 0 && std::strstr(argv[0], "wdchat") != nullptr) {
    std::printf("watchdog fed\n");
    std::fflush(stdout);
    ::sleep(1);
  }
  qx::sim::RefuseOutsideDevice("hostile_launcher");  // it plants, locks and runs as root
  int at = 1;
  for (; at < argc && std::strcmp(argv[at], "--") != 0; ++at) {
    const std::string option = argv[at];
    const char* value = at + 1 < argc ? argv[at + 1] : "0";
    if (option == "--ignore-sigchld") {
      (void)::signal(SIGCHLD, SIG_IGN);
    } else if (option == "--block") {
      sigset_t blocked;
      sigemptyset(&blocked);
      for (const int signal_number : {SIGHUP, SIGINT, SIGTERM, SIGUSR1}) {
        sigaddset(&blocked, signal_number);
      }
      (void)::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    } else if (option == "--umask") {
      (void)::umask(static_cast<mode_t>(std::strtoul(value, nullptr, 8)));
      ++at;
    } else if (option == "--leak-fd") {
      (void)::dup2(::open("/etc/passwd", O_RDONLY), 7);
    } else if (option == "--output-to-sshd") {
      OutputToSshd();
    } else if (option == "--user") {
      const auto id = static_cast<uid_t>(std::atoi(value));
      if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) return 2;
      ++at;
    } else if (option == "--squat") {
      Squat();
    } else {
      std::fprintf(stderr, "hostile_launcher: unknown option %s\n", option.c_str());
      return 2;
    }
  }
  if (at + 1 >= argc) return 2;
  ::execv(argv[at + 1], argv + at + 1);
  std::perror(argv[at + 1]);
  return 127;
}
