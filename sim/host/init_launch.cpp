#include "sim/host/init_launch.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "sim/common/reason.h"
#include "sim/common/wire.h"
#include "sim/host/router_profile.h"

namespace qx::sim {
namespace {

constexpr const char kVersionSource[] = "/dev/.qx-version";  // on /dev's tmpfs, removed at once

// A bind of path onto itself, made read-only. In the device's user namespace the flag is locked.
// A path the kernel does not offer (no magic SysRq key, say) is absent for the device too.
bool MakeReadOnly(const std::string& path, std::string* error) {
  if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;
  if (::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
      ::mount(nullptr, path.c_str(), nullptr,
              MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    *error = Reason("cannot make " + path + " read-only");
    return false;
  }
  return true;
}

// /proc/version as configured: a bind mount of the banner, of a socket (every open fails with
// ENXIO, even for root), or nothing (a proc that shows only the processes). /proc/sys and
// /proc/sysrq-trigger are read-only.
// Paths are relative to the working directory, the device root.
bool SetUpProc(const KeeperPlan& plan, std::string* error) {
  const std::string proc = "proc";
  const ProcVersion mode = plan.spec->proc_version;
  const char* options = mode == ProcVersion::kAbsent ? "subset=pid" : nullptr;
  if (::mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, options) != 0) {
    *error = Reason("cannot mount /proc");
    return false;
  }
  if (mode == ProcVersion::kAbsent) return true;
  if (!MakeReadOnly(proc + "/sys", error) || !MakeReadOnly(proc + "/sysrq-trigger", error)) {
    return false;
  }
  const std::string source = std::string(".") + kVersionSource;
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

// Makes the device root (the working directory) the root of the mount namespace and drops the
// host's tree from it.
bool EnterRoot(std::string* error) {
  if (::syscall(SYS_pivot_root, ".", ".") != 0) {
    *error = Reason("cannot move into the device root (pivot_root)") +
             "; the simulator needs pivot_root, not forbidden by a container or seccomp";
    return false;
  }
  if (::umount2(".", MNT_DETACH) != 0 || ::chdir("/") != 0) {
    *error = Reason("cannot detach the host's tree from the device");
    return false;
  }
  return true;
}

bool WriteText(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const bool written = fd >= 0 && wire::WriteAll(fd, text.data(), text.size());
  if (fd >= 0) ::close(fd);
  return written;
}

int HoldNamespace(void*) {
  for (;;) ::pause();
}

// The device's user namespace, held by a short-lived child and mapped from here (a process of
// the parent namespace with the privilege to map any of its ids): device root is root_id of this
// process's user namespace (the host's, or the rootless simulator's own), and id_count ids. The
// child shares this process's memory (nothing to copy) and only waits to be killed. Returns a
// descriptor of the namespace, or -1 with the reason.
int MakeUserNamespace(unsigned int root_id, unsigned int id_count, std::string* error) {
  alignas(64) static char stack[16384];
  // Writing the host side's files as device root made this process non-dumpable, which puts
  // its /proc files, the holder's maps too, in the host root's hands: the rootless simulator's
  // user could not write them. The exec of init that follows sets the flag anew anyway.
  (void)::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
  const pid_t holder =
      ::clone(HoldNamespace, stack + sizeof stack, CLONE_VM | CLONE_NEWUSER | SIGCHLD, nullptr);
  if (holder < 0) {
    *error = Reason("no user namespace for the device (CLONE_NEWUSER)") +
             "; the simulator needs user namespaces (sysctl user.max_user_namespaces > 0, not "
             "forbidden by a container or seccomp)";
    return -1;
  }
  const std::string proc = "/proc/" + std::to_string(holder);
  const std::string map = "0 " + std::to_string(root_id) + " " + std::to_string(id_count) + "\n";
  int fd = -1;
  if (!WriteText(proc + "/uid_map", map) || !WriteText(proc + "/gid_map", map)) {
    *error = Reason("cannot map the device's user and group ids");
  } else if ((fd = ::open((proc + "/ns/user").c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    *error = Reason("cannot open the device's user namespace");
  }
  ::kill(holder, SIGKILL);
  while (::waitpid(holder, nullptr, 0) < 0 && errno == EINTR) {
  }
  return fd;
}

[[noreturn]] void ReportAndExit(int report_fd, char kind, const std::string& why) {
  (void)wire::WriteAll(report_fd, &kind, 1);
  (void)wire::WriteAll(report_fd, why.data(), why.size());
  ::_exit(1);
}

}  // namespace

// The device's PID 1 before it becomes init.
[[noreturn]] void BecomeInit(const KeeperPlan& plan, const InitDescriptors& fds,
                             const DeviceCgroups& cgroups) {
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
  std::string error;
  // pivot_root needs the namespace's root as the root (not a chroot's) and the new root as the
  // working directory. Then a mount namespace of its own for the pivot, so that the keeper's
  // view (the host's files it still copies in) stays as it is; root and working directory
  // move into the copy.
  if (::fchdir(fds.real_root) != 0 || ::chroot(".") != 0 || ::fchdir(fds.device_root) != 0) {
    ReportAndExit(fds.report, wire::kStartFailed, Reason("cannot enter the device root"));
  }
  if (::unshare(CLONE_NEWNS) != 0) {
    ReportAndExit(fds.report, wire::kStartRefused, Reason("no mount namespace for the device"));
  }
  if (!cgroups.Join(&error)) ReportAndExit(fds.report, wire::kStartFailed, error);
  // The device sees its own group as the root of the hierarchy. Older kernels have no cgroup
  // namespaces (EINVAL); the device then simply has none of its own.
  if (::unshare(CLONE_NEWCGROUP) != 0 && errno != EINVAL) {
    ReportAndExit(fds.report, wire::kStartRefused, Reason("no cgroup namespace for the device"));
  }
  if (!SetUpProc(plan, &error)) ReportAndExit(fds.report, wire::kStartFailed, error);
  if (!EnterRoot(&error)) {
    ReportAndExit(fds.report, wire::kStartRefused, error);
  }
  const int user_namespace = MakeUserNamespace(fds.root_id, fds.id_count, &error);
  if (user_namespace < 0) ReportAndExit(fds.report, wire::kStartRefused, error);
  // Descriptors: 0-2 on the device's /dev/null (the host side's terminal, if it has one, never
  // enters the device: an interactive shell gets a terminal of its own), then init's own (see
  // wire.h); nothing else of the host crosses into the device. Moved up first, so that placing
  // one cannot overwrite another that sits where it goes.
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd < 0) ReportAndExit(fds.report, wire::kStartFailed, Reason("cannot open /dev/null"));
  for (int fd = 0; fd < 3; ++fd) (void)::dup2(null_fd, fd);
  if (null_fd > 2) ::close(null_fd);
  const int control = ::fcntl(plan.control_fd, F_DUPFD_CLOEXEC, 10);
  const int program = ::fcntl(fds.program, F_DUPFD_CLOEXEC, 10);
  const int report = ::fcntl(fds.report, F_DUPFD_CLOEXEC, 10);
  const int user = ::fcntl(user_namespace, F_DUPFD_CLOEXEC, 10);
  (void)::dup2(control, wire::kInitControlFd);
  (void)::dup3(program, 4, O_CLOEXEC);
  (void)::dup2(report, wire::kInitReportFd);
  (void)::dup2(user, wire::kInitUserNamespaceFd);
  (void)::syscall(SYS_close_range, wire::kInitUserNamespaceFd + 1, ~0u, 0);
  const DeviceSpec& spec = *plan.spec;
  char* argv[] = {const_cast<char*>("init"), nullptr};
  std::string services = wire::kServicesVariable + std::string("=");
  if (spec.start_services) {
    for (const std::string& name : router::kServiceNames) services += name + " ";
  }
  std::string ramdisk = wire::kRamdiskSizeVariable + ("=" + std::to_string(spec.ramdisk_size));
  std::string processes = wire::kProcessLimitVariable + ("=" + std::to_string(spec.process_limit));
  // Without a memory group, the memory limit can only be each process's address space.
  std::string address_space =
      wire::kAddressSpaceLimitVariable +
      ("=" + std::to_string(cgroups.memory() == LimitKind::kRlimit ? spec.memory_limit : 0));
  char path_env[] = "PATH=/sbin:/usr/sbin:/bin:/usr/bin";
  char* env[] = {path_env,         services.data(),      ramdisk.data(),
                 processes.data(), address_space.data(), nullptr};
  ::syscall(SYS_execveat, 4, "", argv, env, AT_EMPTY_PATH);
  ReportAndExit(wire::kInitReportFd, wire::kStartFailed, Reason("cannot start the device's init"));
}

}  // namespace qx::sim
