// The launcher that a real unit may have instead of a clean shell, run inside a simulated router:
// it sets up what it is told and then execs the rest of its command line.
//   --ignore-sigchld       SIGCHLD ignored, as some init scripts and daemons leave it
//   --block 1,2,15,10      those signals blocked
//   --umask 0177           a restrictive file creation mask
//   --leak-fd 7            /etc/passwd open as descriptor 7, not close-on-exec
//   --output-to-sshd       standard output and error a pipe whose only reader is named sshd,
//                          as in an SSH session that the stop list ends
//   --user 65534           exec as that user (and group), without supplementary groups
//   --squat                instead of exec'ing anything: bind the abstract names a run claim
//                          could use, flock every file under /etc, /tmp, /tmp/ramdisk and /var
//                          that can be opened, print "squatting" and wait to be killed
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "hostile_launcher: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(2);
}

void BindAbstract(const std::string& name, std::vector<int>& held) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
    (void)::listen(fd, 1);
    held.push_back(fd);
  }
}

void LockEverything(const std::string& directory, std::vector<int>& held) {
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string path = directory + "/" + entry->d_name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      held.push_back(fd);
    } else if (fd >= 0) {
      ::close(fd);
    }
  }
  ::closedir(listing);
}

[[noreturn]] void Squat() {
  std::vector<int> held;
  for (const char* name : {"qx-upgrader", "qx-upgrader.lock", "upgrader"}) BindAbstract(name, held);
  for (const char* directory : {"/etc", "/tmp", "/tmp/ramdisk", "/var", "/var/run", "/var/lock"}) {
    LockEverything(directory, held);
  }
  std::printf("squatting\n");
  std::fflush(stdout);
  for (;;) ::pause();
}

void OutputToSshd() {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) Die("pipe");
  const pid_t reader = ::fork();
  if (reader < 0) Die("fork");
  if (reader == 0) {
    (void)::prctl(PR_SET_NAME, "sshd");
    ::close(pipe_fds[1]);
    char buffer[4096];
    while (::read(pipe_fds[0], buffer, sizeof buffer) > 0) {
    }
    ::_exit(0);
  }
  ::close(pipe_fds[0]);
  (void)::dup2(pipe_fds[1], 1);
  (void)::dup2(pipe_fds[1], 2);
  ::close(pipe_fds[1]);
}

void BlockSignals(const std::string& list) {
  sigset_t blocked;
  sigemptyset(&blocked);
  std::istringstream numbers(list);
  for (std::string number; std::getline(numbers, number, ',');) {
    sigaddset(&blocked, std::atoi(number.c_str()));
  }
  if (::sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0) Die("sigprocmask");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0 && std::strstr(argv[0], "wdchat") != nullptr) {
    for (;;) {
      std::printf("watchdog fed\n");
      std::fflush(stdout);
      ::sleep(1);
    }
  }
  int at = 1;
  for (; at < argc && std::strcmp(argv[at], "--") != 0; ++at) {
    const std::string option = argv[at];
    const char* value = at + 1 < argc ? argv[at + 1] : "";
    if (option == "--ignore-sigchld") {
      (void)::signal(SIGCHLD, SIG_IGN);
    } else if (option == "--block") {
      BlockSignals(value), ++at;
    } else if (option == "--umask") {
      (void)::umask(static_cast<mode_t>(std::strtoul(value, nullptr, 8))), ++at;
    } else if (option == "--leak-fd") {
      const int fd = ::open("/etc/passwd", O_RDONLY);
      if (fd < 0 || ::dup2(fd, std::atoi(value)) < 0) Die("leak-fd");
      ++at;
    } else if (option == "--output-to-sshd") {
      OutputToSshd();
    } else if (option == "--user") {
      const auto id = static_cast<uid_t>(std::atoi(value));
      if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) Die("user");
      ++at;
    } else if (option == "--squat") {
      Squat();
    } else {
      std::fprintf(stderr, "hostile_launcher: unknown option %s\n", option.c_str());
      return 2;
    }
  }
  if (at + 1 >= argc) {
    std::fprintf(stderr, "hostile_launcher: nothing to run after --\n");
    return 2;
  }
  ::execv(argv[at + 1], argv + at + 1);
  Die(std::string("exec ") + argv[at + 1]);
}
