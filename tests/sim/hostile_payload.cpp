// A hostile validator, static so that it can ride in an upgrade file: `hostile_payload CONFIG`,
// CONFIG naming the host's canaries ("key=value" lines: process pid and name, a file holding
// "alive", a mount point, a listener's port on 127.0.0.1, ns: the namespaces as readlink shows
// them). Each act, a system call or the device's busybox, harms only a canary if it succeeds
// (sysctl files are opened, never written; lo keeps its flags). Exits 0 when every act failed as
// expected, else 100 + the number of the first that did not.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::string> config;

// Why a system call failed, or "" when it did what it tried.
std::string Why(long result) {
  const char* name = ::strerrorname_np(errno);
  return result >= 0 ? "" : name != nullptr ? name : std::to_string(errno);
}

// A command line through the device's shell: "" when it exited 0, else what it said.
std::string Sh(const std::string& command) {
  std::fflush(stdout);
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

bool ReachesHostFile() {
  const int fd = ::open(config["file"].c_str(), O_WRONLY | O_TRUNC);  // no O_CREAT
  return fd >= 0 && ::close(fd) == 0;
}

// Leaves the device in a child (whose root alone changes): "" when it then reaches the host's file.
std::string Escape(const std::function<bool()>& leave) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(leave() && ReachesHostFile() ? 1 : 0);
  int status = 0;
  const bool reached =
      ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status);
  return reached ? "" : "could not";
}

}  // namespace

int main(int argc, char** argv) {
  std::ifstream in(argc > 1 ? argv[1] : "");
  for (std::string line; std::getline(in, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) config[line.substr(0, equals)] = line.substr(equals + 1);
  }
  if (config.size() != 6) {  // without its canary an act would harm nothing, and pass
    std::fprintf(stderr, "usage: hostile_payload CONFIG (pid, name, file, mount, port, ns)\n");
    return 2;
  }
  const struct {
    const char* name;
    std::string expected;  // in the reason it fails for
    std::string command;   // for the device's shell, or else:
    std::function<std::string()> call = nullptr;
  } acts[] = {
      {"overwrite the host's file", "ENOENT", "", [] { return Why(ReachesHostFile() ? 0 : -1); }},
      {"share a namespace with the host", "exit status 1",
       "set -f; for n in " + config["ns"] +
           "; do [ \"$(readlink /proc/self/ns/${n%%:*})\" = $n ] && exit 0; done; exit 1"},
      {"run as the host's root", "exit status 1", "grep -q '^ *0 *0 ' /proc/self/uid_map"},
      {"make and open a 1:3 node", "mknod: /dev/qx-null: Operation not permitted",
       "mknod /dev/qx-null c 1 3 && : >>/dev/qx-null"},
      {"write-open /proc/sysrq-trigger", "can't create", ": >>/proc/sysrq-trigger"},
      {"write-open /proc/sys/vm/drop_caches", "can't create", ": >>/proc/sys/vm/drop_caches"},
      {"write-open the board file", "Read-only file system", ": >>/sys/kernel/qxfc/board"},
      {"remount /proc/sys read-write", "permission denied",
       "mount -o remount,bind,rw,nosuid,nodev,noexec /proc/sys"},
      {"create an interface", "Operation not permitted", "ip link add qxhostile0 type dummy"},
      {"set lo's flags", "SIOCSIFFLAGS: Operation not permitted", "ifconfig lo up"},
      {"connect to the host's listener", "can't connect",
       "nc 127.0.0.1 " + config["port"] + " </dev/null"},
      {"signal the canary by pid", "exit status",  // not when a device process has that pid
       "grep -qx " + config["name"] + " /proc/" + config["pid"] + "/comm && kill -9 " +
           config["pid"]},
      {"signal the canary by name", "exit status 1", "pkill -9 -x " + config["name"]},
      {"unmount the host's mount", "can't unmount", "umount -l " + config["mount"]},
      {"exhaust memory (1 GiB)", "exit status",
       "awk 'BEGIN { s = \"x\"; for (i = 0; i < 30; i++) s = s s }'"},
      // A kernel without module support refuses every module, the host root's as well.
      {"load a module", ::access("/proc/modules", F_OK) == 0 ? "EPERM" : "ENOSYS", "",
       [] {
         char image[64] = "\177ELF bogus module";
         return Why(::syscall(SYS_init_module, image, sizeof image, ""));
       }},
      {"chroot out", "could not", "",
       [] {
         return Escape([] {  // into /dev, the working directory left outside it, then up
           if (::chdir("/") != 0 || ::chroot("/dev") != 0) return false;
           for (int i = 0; i < 64; ++i) (void)!::chdir("..");
           return ::chroot(".") == 0;
         });
       }},
      {"pivot_root out", "could not", "",
       [] {
         return Escape([] {
           return ::unshare(CLONE_NEWNS) == 0 && ::chdir("/") == 0 &&
                  ::syscall(SYS_pivot_root, ".", ".") == 0 && ::umount2(".", MNT_DETACH) == 0;
         });
       }},
      {"exhaust processes", "stopped at", "",
       [] {
         std::vector<pid_t> children;
         for (pid_t child = 0; children.size() < 4096 && (child = ::fork()) >= 0;) {
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
