#include "sim/keeper.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "sim/root_fs.h"
#include "sim/wire.h"

namespace qx::sim {
namespace {

constexpr const char kBoardPath[] = "/sys/kernel/qxfc/board";
constexpr const char kFstab[] = "tmpfs /tmp/ramdisk tmpfs defaults 0 0\n";
constexpr const char kVersionSource[] = "/dev/.qx-version";  // on /dev's tmpfs, removed at once

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

[[noreturn]] void Fail(int control_fd, const std::string& why) {
  wire::Message message;
  message.Add(kKeeperFailed);
  message.Add(why);
  (void)wire::SendMessage(control_fd, message);
  ::_exit(1);
}

bool MountTmpfs(const std::string& where, const std::string& options, std::string* error) {
  if (::mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID, options.c_str()) == 0) return true;
  *error = Reason("cannot mount a tmpfs on " + where);
  return false;
}

bool MakeNode(const std::string& path, unsigned int major_number, unsigned int minor_number,
              std::string* error) {
  if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(major_number, minor_number)) == 0 &&
      ::chmod(path.c_str(), 0666) == 0) {
    return true;
  }
  *error = Reason("cannot create device node " + path);
  return false;
}

// /dev and /sys are tmpfs mounts of their own, as devtmpfs and sysfs are on the router, so
// nothing in them counts against the root's free space.
bool MountSpecialDirectories(const KeeperPlan& plan, const RootFs& root, std::string* error) {
  const std::string& base = plan.root_dir;
  const DeviceSpec& spec = *plan.spec;
  if (!MountTmpfs(base + "/tmp/ramdisk", "size=" + std::to_string(spec.ramdisk_size), error) ||
      !MountTmpfs(base + "/dev", "size=1m,mode=0755", error) ||
      !MakeNode(base + "/dev/null", 1, 3, error) || !MakeNode(base + "/dev/zero", 1, 5, error) ||
      !MakeNode(base + "/dev/urandom", 1, 9, error)) {
    return false;
  }
  // The device's own watchdog: a plain file. init records every open of it.
  DeviceFile watchdog{"/dev/watchdog", "", std::nullopt, 0600, std::nullopt};
  if (!root.WriteFile(watchdog, error)) return false;
  if (!MountTmpfs(base + "/sys", "size=1m,mode=0755", error)) return false;
  if (spec.board) {
    DeviceFile board{kBoardPath, *spec.board, std::nullopt, 0444, std::nullopt};
    if (!root.WriteFile(board, error)) return false;
  } else if (!root.MakeDirs("/sys/kernel/qxfc", 0755, error)) {
    return false;
  }
  if (::mount(nullptr, (base + "/sys").c_str(), nullptr,
              MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    *error = Reason("cannot make /sys read-only");
    return false;
  }
  return true;
}

bool Populate(const KeeperPlan& plan, const RootFs& root, std::string* error) {
  for (const char* dir : {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/lib", "/etc", "/var/log",
                          "/root", "/home", "/proc", "/sys", "/dev", "/tmp/ramdisk"}) {
    if (!root.MakeDirs(dir, 0755, error)) return false;
  }
  if (::chmod((plan.root_dir + "/tmp").c_str(), 01777) != 0) {
    *error = Reason("cannot set the mode of /tmp");
    return false;
  }
  // The ramdisk, /dev and /sys are mounted before anything is copied or written, so that an
  // entry the test puts under one of them (a binary copied into /tmp/ramdisk, say) lands on that
  // mount instead of being hidden beneath it.
  if (!MountSpecialDirectories(plan, root, error)) return false;
  std::set<std::string> copied;
  for (const HostCopy& copy : plan.userland->copies) {
    if (!root.CopyHostFile(copy.host_path, copy.device_path, copy.mode, error)) return false;
    copied.insert(copy.device_path);
  }
  std::vector<std::string> links;
  for (const std::string& link : plan.userland->applet_links) {
    if (copied.count(link) == 0) links.push_back(link);
  }
  if (!root.Symlinks(links, "/bin/busybox", error)) return false;
  const DeviceFile etc[] = {
      {"/etc/fstab", kFstab, std::nullopt, 0644, std::nullopt},
      {"/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n", std::nullopt, 0644, std::nullopt},
      {"/etc/group", "root:x:0:\n", std::nullopt, 0644, std::nullopt},
      {kDeviceMarker, "", std::nullopt, 0444, std::nullopt},  // empty: costs no blocks
  };
  for (const DeviceFile& file : etc) {
    if (!root.WriteFile(file, error)) return false;
  }
  const DeviceSpec& spec = *plan.spec;
  for (const std::string& dir : spec.directories) {
    if (!root.MakeDirs(dir, 0755, error)) return false;
  }
  for (const DeviceFile& file : spec.files) {
    if (!root.WriteFile(file, error)) return false;
  }
  for (const DeviceSymlink& link : spec.symlinks) {
    if (!root.Symlink(link.path, link.target, error)) return false;
  }
  return true;
}

// /proc/version as configured: a bind mount of the banner, of a socket (every open fails with
// ENXIO, even for root), or nothing (a proc that shows only the processes).
bool SetUpProc(const KeeperPlan& plan, std::string* error) {
  const std::string proc = plan.root_dir + "/proc";
  const ProcVersion mode = plan.spec->proc_version;
  const char* options = mode == ProcVersion::kAbsent ? "subset=pid" : nullptr;
  if (::mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, options) != 0) {
    *error = Reason("cannot mount /proc");
    return false;
  }
  if (mode == ProcVersion::kAbsent) return true;
  const std::string source = plan.root_dir + kVersionSource;
  int sock = -1;
  if (mode == ProcVersion::kBanner) {
    const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
    const std::string& banner = plan.spec->kernel_banner;
    if (fd < 0 || !wire::WriteAll(fd, banner.data(), banner.size())) {
      *error = Reason("cannot write the kernel banner");
      if (fd >= 0) ::close(fd);
      return false;
    }
    ::close(fd);
  } else {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, source.c_str(), sizeof address.sun_path - 1);
    sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0 || ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      *error = Reason("cannot make an unreadable /proc/version");
      return false;
    }
  }
  const bool bound =
      ::mount(source.c_str(), (proc + "/version").c_str(), nullptr, MS_BIND, nullptr) == 0;
  if (!bound) *error = Reason("cannot bind /proc/version");
  ::unlink(source.c_str());
  if (sock >= 0) ::close(sock);
  return bound;
}

// Makes the device root the root of the mount namespace and drops the host's tree from it.
// Returns 'P' when that worked and 'C' when only chroot was possible (e.g. a host whose root is
// not a mount point); the host side then keeps root_dir until the device is gone.
char EnterRoot(const std::string& root_dir, std::string* error) {
  if (::chdir(root_dir.c_str()) != 0) {
    *error = Reason("cannot enter " + root_dir);
    return 0;
  }
  if (::syscall(SYS_pivot_root, ".", ".") == 0 && ::umount2(".", MNT_DETACH) == 0 &&
      ::chdir("/") == 0) {
    return 'P';
  }
  if (::chroot(".") == 0 && ::chdir("/") == 0) return 'C';
  *error = Reason("cannot change root to " + root_dir);
  return 0;
}

// The device's PID 1 before it becomes init. Reports on report_fd: 'P' or 'C', then, only if
// something failed, the reason.
[[noreturn]] void BecomeInit(const KeeperPlan& plan, int init_fd, int report_fd) {
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  std::string error;
  char entered = 0;
  if (SetUpProc(plan, &error)) entered = EnterRoot(plan.root_dir, &error);
  if (entered == 0) {
    (void)wire::WriteAll(report_fd, "E", 1);
    (void)wire::WriteAll(report_fd, error.data(), error.size());
    ::_exit(1);
  }
  (void)wire::WriteAll(report_fd, &entered, 1);
  // Descriptors: 0-2 as the host side left them, 3 the control socket, 4 the init program,
  // 5 the report pipe; nothing else of the host crosses into the device.
  // Moved up first, so that placing one cannot overwrite another that sits at 3, 4 or 5.
  const int control = ::fcntl(plan.control_fd, F_DUPFD_CLOEXEC, 10);
  const int program = ::fcntl(init_fd, F_DUPFD_CLOEXEC, 10);
  const int report = ::fcntl(report_fd, F_DUPFD_CLOEXEC, 10);
  (void)::dup2(control, 3);  // init's control socket: not close-on-exec
  (void)::dup3(program, 4, O_CLOEXEC);
  (void)::dup3(report, 5, O_CLOEXEC);
  (void)::syscall(SYS_close_range, 6, ~0u, 0);
  char* argv[] = {const_cast<char*>("init"), nullptr};
  std::string services = wire::kServicesVariable + std::string("=");
  if (plan.spec->start_services) {
    for (const std::string& name : kServiceNames) services += name + " ";
  }
  char path_env[] = "PATH=/sbin:/usr/sbin:/bin:/usr/bin";
  char* env[] = {path_env, services.data(), nullptr};
  ::syscall(SYS_execveat, 4, "", argv, env, AT_EMPTY_PATH);
  error = Reason("cannot start the device's init");
  (void)wire::WriteAll(5, "E", 1);
  (void)wire::WriteAll(5, error.data(), error.size());
  ::_exit(1);
}

}  // namespace

void RunKeeper(const KeeperPlan& plan) {
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  if (::getppid() != plan.host_pid) ::_exit(1);  // the host side is already gone
  for (int sig : {SIGINT, SIGQUIT, SIGTSTP}) (void)::signal(sig, SIG_IGN);
  const int control = plan.control_fd;
  if (::unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWNET) != 0) {
    Fail(control, Reason("cannot create namespaces (the simulator needs root)"));
  }
  // Before any other mount: nothing done in this namespace may propagate to the host.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    Fail(control, Reason("cannot make the mounts private"));
  }
  (void)::sethostname("router", 6);
  std::string error;
  if (!MountTmpfs(plan.root_dir, "size=" + std::to_string(plan.spec->root_size) + ",mode=0755",
                  &error)) {
    Fail(control, error);
  }
  const int root_fd = ::open(plan.root_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root_fd < 0) Fail(control, Reason("cannot open " + plan.root_dir));
  if (!Populate(plan, RootFs(root_fd), &error)) Fail(control, error);
  ::close(root_fd);
  const int init_fd = ::open(plan.userland->init_path.c_str(), O_RDONLY | O_CLOEXEC);
  int report[2];
  if (init_fd < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
    Fail(control, Reason("cannot open " + plan.userland->init_path));
  }
  const pid_t init_pid = ::fork();
  if (init_pid < 0) Fail(control, Reason("cannot fork the device's init"));
  if (init_pid == 0) {
    ::close(report[0]);
    BecomeInit(plan, init_fd, report[1]);
  }
  ::close(report[1]);
  ::close(init_fd);
  std::string reported;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(report[0], buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    reported.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(report[0]);
  const std::size_t failed = reported.find('E');
  if (reported.empty() || failed != std::string::npos) {
    ::kill(init_pid, SIGKILL);
    Fail(control, failed != std::string::npos ? reported.substr(failed + 1)
                                              : "the device's init did not start");
  }
  wire::Message ready;
  ready.Add(kKeeperReady);
  ready.AddInt(init_pid);
  ready.AddInt(reported[0] == 'P' ? 1 : 0);
  (void)wire::SendMessage(control, ready);
  (void)::syscall(SYS_close_range, 0, ~0u, 0);
  int status = 0;
  while (::waitpid(init_pid, &status, 0) < 0 && errno == EINTR) {
  }
  ::_exit(0);
}

}  // namespace qx::sim
