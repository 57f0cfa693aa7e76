// A hostile validator, static so that it can ride in an upgrade file: `hostile_payload CONFIG`,
// CONFIG holding the pid of the host's canary process qx-canary-hst and the port of a listener
// on the host's 127.0.0.1; the host's /tmp holds the canary file and mount point. Each act harms
// only a canary if it succeeds (sysctl files are opened, never written). Exits 0 when every act
// failed as expected, else 100 + the number of the first that did not.
//
// A third word in CONFIG names one attack on the host side of the simulator instead (see
// LeaveBehind): the payload leaves something for the host to read back, spins, forges reports
// or pushes input into its terminal, and exits 0 (a passed validation) unless it spins.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "sim/common/wire.h"
#include "sim/host/router_profile.h"

namespace {

constexpr char kCanaryFile[] = "/tmp/qx-canary-file";
using qx::sim::router::kRamdiskLog;
using qx::sim::router::kUpgradeLog;
constexpr char kLogSwap[] = "/var/log/.upgrade_log.swap";

// Forks a process of its own session that calls step every few milliseconds until it is killed,
// long after the upgrader has written its last line.
void LeaveLoop(const std::function<void()>& step) {
  if (::fork() != 0) return;
  (void)::setsid();
  (void)::prctl(PR_SET_NAME, "qx-left-loop", 0, 0, 0);
  for (;;) {
    step();
    ::usleep(2000);
  }
}

// Replaces the log with what make creates at kLogSwap, in one rename.
std::function<void()> SwapLog(const std::function<void()>& make) {
  return [make] {
    (void)::unlink(kLogSwap);
    make();
    (void)::rename(kLogSwap, kUpgradeLog);
  };
}

void Spin() {
  (void)::prctl(PR_SET_NAME, "qx-spin", 0, 0, 0);
  for (volatile unsigned long i = 0;; i = i + 1) {
  }
}

// The attacks on what the host side reads back or shows, by name.
bool LeaveBehind(const std::string& mode) {
  if (mode == "log-zero") {
    LeaveLoop(SwapLog([] { (void)::symlink("/dev/zero", kLogSwap); }));
  } else if (mode == "log-kallsyms-mount") {  // a regular file of /proc over the log
    LeaveLoop([] {
      if (::mount("/proc/kallsyms", kUpgradeLog, nullptr, MS_BIND, nullptr) == 0) {
        for (;;) ::pause();
      }
    });
  } else if (mode == "log-fifo") {
    LeaveLoop(SwapLog([] { (void)::mkfifo(kLogSwap, 0644); }));
  } else if (mode == "log-large") {  // 3 MiB of one line
    std::ofstream(kRamdiskLog, std::ios::app) << std::string(3 << 20, 'x');
  } else if (mode == "forge-trace") {  // what the shell wrapper and the watchdog program send
    // The watchdog program's start, in the name of another process (a service's, here).
    const std::string pid = std::to_string(::getppid() == 1 ? 2 : ::getppid());
    sockaddr_un address;
    const socklen_t length = qx::sim::wire::ReportSocketAddress(address);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    for (const std::string& record : {std::string("Cqx-forged-command"), "W" + pid}) {
      (void)::sendto(fd, record.data(), record.size(), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&address), length);
    }
  } else if (mode == "spin") {
    if (::fork() == 0) {
      (void)::setsid();
      Spin();
    }
    Spin();
  } else if (mode == "tiocsti") {  // into whatever terminal standard input is
    for (const char c : std::string("exit\ntouch /tmp/qx-tiocsti-ran\n")) {
      if (::ioctl(0, TIOCSTI, &c) != 0) {
        std::perror("TIOCSTI");
        return false;
      }
    }
  } else {
    std::fprintf(stderr, "hostile_payload: unknown attack %s\n", mode.c_str());
    return false;
  }
  return true;
}

// A command line through the device's shell: "" when it exited 0, else what it said.
std::string Sh(const std::string& command) {
  FILE* pipe = ::popen(("exec 2>&1; " + command).c_str(), "r");
  std::string said;
  char buffer[512];
  for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    said.append(buffer, n);
  }
  const int status = pipe != nullptr ? ::pclose(pipe) : -1;
  for (char& c : said) c = c == '\n' ? ' ' : c;
  const int code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return status == 0 ? "" : said + "exit status " + std::to_string(code);
}

}  // namespace

int main(int argc, char** argv) {
  std::string pid, port;
  if (!(std::ifstream(argc > 1 ? argv[1] : "") >> pid >> port)) {
    // Without its canary an act would harm nothing, and pass.
    std::fprintf(stderr, "usage: hostile_payload CONFIG (canary pid, listener port)\n");
    return 2;
  }
  std::string mode;
  if (std::ifstream(argv[1]) >> pid >> port >> mode) return LeaveBehind(mode) ? 0 : 3;
  const struct {
    const char* name;
    std::string expected;  // in the reason it fails for
    std::string command;   // for the device's shell, or else:
    std::function<std::string()> call = nullptr;
  } acts[] = {
      // Root of the host maps to the host's 0 with more than one id; a single-id map of 0 to 0
      // is only ever a rootless simulator's, whose 0 is the user's own id.
      {"run as the host's root", "exit status 1",
       "awk '$1 == 0 && $2 == 0 && $3 > 1 {f = 1} END {exit !f}' /proc/self/uid_map"},
      {"make and open a 1:3 node", "mknod: /dev/qx-null: Operation not permitted",
       "mknod /dev/qx-null c 1 3 && : >>/dev/qx-null"},
      {"write-open /proc/sysrq-trigger", "can't create", ": >>/proc/sysrq-trigger"},
      {"write-open /proc/sys/vm/drop_caches", "can't create", ": >>/proc/sys/vm/drop_caches"},
      {"remount /proc/sys read-write", "permission denied",
       "mount -o remount,bind,rw,nosuid,nodev,noexec /proc/sys"},
      {"create an interface", "Operation not permitted", "ip link add qxhostile0 type dummy"},
      {"connect to the host's listener", "can't connect", "nc 127.0.0.1 " + port + " </dev/null"},
      {"signal the canary by pid", "exit status",  // not when a device process has that pid
       "grep -qx qx-canary-hst /proc/" + pid + "/comm && kill -9 " + pid},
      {"unmount the host's mount", "can't unmount", "umount -l /tmp/qx-canary-mnt"},
      {"pivot_root out", "exit status 1",
       "unshare -m sh -c 'cd / && pivot_root . . && umount -l . && test -e " +
           std::string(kCanaryFile) + "'"},
      {"exhaust memory (1 GiB)", "exit status",
       "awk 'BEGIN { s = \"x\"; for (i = 0; i < 30; i++) s = s s }'"},
      // A kernel without module support refuses every module, the host root's as well.
      {"load a module", ::access("/proc/modules", F_OK) == 0 ? "EPERM" : "ENOSYS", "",
       [] {
         char image[64] = "\177ELF bogus module";
         return ::syscall(SYS_init_module, image, sizeof image, "") == 0 ? ""
                                                                         : ::strerrorname_np(errno);
       }},
      {"chroot out", "could not", "",
       [] {  // in a child: into /dev, the working directory left outside it, then up
         const pid_t child = ::fork();
         if (child == 0) {
           if (::chdir("/") != 0 || ::chroot("/dev") != 0) ::_exit(0);
           for (int i = 0; i < 64; ++i) (void)!::chdir("..");
           ::_exit(::chroot(".") == 0 && ::open(kCanaryFile, O_WRONLY | O_TRUNC) >= 0 ? 1 : 0);
         }
         int status = 0;
         return ::waitpid(child, &status, 0) == child && status == 0 ? "could not" : "";
       }},
      {"exhaust processes", "stopped at", "",
       [] {
         std::vector<pid_t> children;
         for (pid_t child = 0; children.size() < 4096 && (child = ::fork()) >= 0;) {
           // A forked child sleeps here until the parent kills it.
           // NOLINTNEXTLINE(bugprone-infinite-loop)
           while (child == 0) ::pause();
           children.push_back(child);
         }
         for (const pid_t child : children) ::kill(child, SIGKILL);
         for (const pid_t child : children) ::waitpid(child, nullptr, 0);
         // By the device's limit (512 by default), not the host's.
         const std::string count = std::to_string(children.size());
         return children.size() < 512 ? "stopped at " + count : std::string();
       }},
  };
  int status = 0;
  for (std::size_t i = 0; i < std::size(acts); ++i) {
    const std::string why = acts[i].call ? acts[i].call() : Sh(acts[i].command);
    const bool as_expected = !why.empty() && why.find(acts[i].expected) != std::string::npos;
    std::printf("%s: %s (%s)\n", acts[i].name, as_expected ? "blocked" : "NOT BLOCKED AS EXPECTED",
                why.c_str());
    std::fflush(stdout);
    if (!as_expected && status == 0) status = 101 + static_cast<int>(i);
  }
  return status;
}
