#include "sim/keeper.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <set>

#include "sim/cgroup.h"
#include "sim/private_mounts.h"
#include "sim/rootless.h"
#include "sim/wire.h"

namespace qx::sim {
namespace {

constexpr const char kBoardPath[] = "/sys/kernel/qxfc/board";
constexpr const char kFstab[] = "tmpfs /tmp/ramdisk tmpfs defaults 0 0\n";
constexpr const char kVersionSource[] = "/dev/.qx-version";  // on /dev's tmpfs, removed at once

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string OwnerOptions(unsigned int root_id) {
  return ",uid=" + std::to_string(root_id) + ",gid=" + std::to_string(root_id);
}

bool MountTmpfs(const std::string& where, const std::string& options, std::string* error,
                unsigned long flags = MS_NOSUID) {
  if (::mount("tmpfs", where.c_str(), "tmpfs", flags, options.c_str()) == 0) return true;
  *error = Reason("cannot mount a tmpfs on " + where);
  return false;
}

bool MakeNode(const std::string& path, unsigned int major_number, unsigned int minor_number,
              unsigned int root_id, std::string* error) {
  const FileOwner owner = DeviceRootOwner(root_id);
  if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(major_number, minor_number)) == 0 &&
      ::chown(path.c_str(), owner.uid, owner.gid) == 0 && ::chmod(path.c_str(), 0666) == 0) {
    return true;
  }
  *error = Reason("cannot create device node " + path);
  return false;
}

// Rootless, no node can be made (mknod needs a capability in the host's user namespace): the
// host's own node is bound onto an empty file instead, as rootless containers do. The device
// cannot change it (its owner, host root, is no id of the device) nor unmount it (locked).
// host_root_fd: the mount namespace's root, whose /dev is the host's even from a chroot.
bool BindHostNode(const std::string& path, const char* name, int host_root_fd, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) ::close(fd);
  const std::string source =
      "/proc/self/fd/" + std::to_string(host_root_fd) + "/dev/" + std::string(name);
  if (fd >= 0 && ::mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0) {
    return true;
  }
  *error = Reason("cannot bind the host's /dev/" + std::string(name) + " into the device");
  return false;
}

bool MakeNodes(const std::string& dev, unsigned int root_id, int host_root_fd, std::string* error) {
  static const struct {
    const char* name;
    unsigned int major_number, minor_number;
  } kNodes[] = {{"null", 1, 3}, {"zero", 1, 5}, {"urandom", 1, 9}};
  for (const auto& node : kNodes) {
    const std::string path = dev + "/" + node.name;
    if (CurrentSimulatorIds().rootless
            ? !BindHostNode(path, node.name, host_root_fd, error)
            : !MakeNode(path, node.major_number, node.minor_number, root_id, error)) {
      return false;
    }
  }
  return true;
}

// /dev and /sys are tmpfs mounts of their own, as devtmpfs and sysfs are on the router, so
// nothing in them counts against the root's free space. /dev holds only the nodes made here:
// the device cannot make more (mknod needs a capability in the host's user namespace), and the
// mounts it may make itself never honour device nodes. The ramdisk is left to init, which
// mounts it where the device can unmount and remount it.
bool MountSpecialDirectories(const KeeperPlan& plan, const RootFs& root, unsigned int root_id,
                             int host_root_fd, std::string* error) {
  const std::string& base = plan.root_dir;
  const DeviceSpec& spec = *plan.spec;
  if (!MountTmpfs(base + "/dev", "size=1m,mode=0755" + OwnerOptions(root_id), error) ||
      !MakeNodes(base + "/dev", root_id, host_root_fd, error)) {
    return false;
  }
  // The device's own watchdog: a plain file. init records every open of it.
  DeviceFile watchdog{"/dev/watchdog", "", std::nullopt, 0600, std::nullopt};
  if (!root.WriteFile(watchdog, error)) return false;
  if (!MountTmpfs(base + "/sys", "size=1m,mode=0755" + OwnerOptions(root_id), error)) {
    return false;
  }
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

bool InRamdisk(const std::string& path) {
  std::string normal;
  for (const char c : path) {
    if (c != '/' || normal.empty() || normal.back() != '/') normal += c;
  }
  return normal == "/tmp/ramdisk" || normal.rfind("/tmp/ramdisk/", 0) == 0;
}

// The device root's directories and its mounts: everything init's mount namespace must hold
// when init copies it. The files come after, while init starts (see Keeper::Run). /dev and
// /sys are mounted before anything is copied or written, so that an entry the test puts under
// one of them lands on that mount instead of being hidden beneath it.
bool PrepareRoot(const KeeperPlan& plan, const RootFs& root, unsigned int root_id, int host_root_fd,
                 std::string* error) {
  for (const char* dir : {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/lib", "/etc", "/var/log",
                          "/root", "/home", "/proc", "/sys", "/dev", "/tmp/ramdisk"}) {
    if (!root.MakeDirs(dir, 0755, error)) return false;
  }
  if (::chmod((plan.root_dir + "/tmp").c_str(), 01777) != 0) {
    *error = Reason("cannot set the mode of /tmp");
    return false;
  }
  return MountSpecialDirectories(plan, root, root_id, host_root_fd, error);
}

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

struct InitDescriptors {
  int program = -1;    // the static init, open for execveat
  int report = -1;     // the start report's write end
  int real_root = -1;  // the mount namespace's root
  int device_root = -1;
  unsigned int root_id = 0;  // device root's id (see MakeUserNamespace)
  unsigned int id_count = 0;
};

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
    for (const std::string& name : kServiceNames) services += name + " ";
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

// Closes every descriptor from 3 up but those given.
void CloseAllBut(std::vector<int> keep) {
  std::sort(keep.begin(), keep.end());
  unsigned int from = 3;
  for (const int fd : keep) {
    if (fd < static_cast<int>(from)) continue;
    if (static_cast<unsigned int>(fd) > from) (void)::syscall(SYS_close_range, from, fd - 1, 0);
    from = static_cast<unsigned int>(fd) + 1;
  }
  (void)::syscall(SYS_close_range, from, ~0u, 0);
}

bool BringUpLoopback() {
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = sock >= 0 && ::ioctl(sock, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags |= IFF_UP;
    up = ::ioctl(sock, SIOCSIFFLAGS, &request) == 0;
  }
  if (sock >= 0) ::close(sock);
  return up;
}

class Keeper {
 public:
  Keeper(const KeeperPlan& plan, int signal_fd) : plan_(plan), signal_fd_(signal_fd) {}
  [[noreturn]] void Run();

 private:
  [[noreturn]] void Finish(const char* kind, const std::string& why);
  bool TerminationRequested();  // drains the signal descriptor
  void SetUpNamespaces();
  std::string AwaitInit(int report_fd);

  const KeeperPlan& plan_;
  const int signal_fd_;
  DeviceCgroups cgroups_;
  pid_t init_ = -1;
  int real_root_fd_ = -1;
  unsigned int root_id_ = 0;
  unsigned int id_count_ = 0;
};

void Keeper::Finish(const char* kind, const std::string& why) {
  if (init_ > 0) {
    ::kill(init_, SIGKILL);
    while (::waitpid(init_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  cgroups_.Remove();
  wire::Message message;
  message.Add(kind);
  message.Add(why);
  (void)wire::SendMessage(plan_.control_fd, message);
  ::_exit(1);
}

bool Keeper::TerminationRequested() {
  signalfd_siginfo info;
  bool term = false;
  while (::read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    term = term || info.ssi_signo == SIGTERM;
  }
  return term;
}

// A range of ids that no other live device has, the lowest free one: held by an abstract
// socket named after it in the host's network namespace, which the kernel releases when the
// keeper ends, however it ends (the keeper outlives every process of its device). -1 when all
// are taken. A rootless simulator has as many ranges as the user's subordinate ids hold (one at
// least); when they are all taken, the device shares the first (no socket: *shared).
int ClaimIdRange(DeviceIdRange& range, bool* shared) {
  *shared = false;
  for (unsigned int index = 0; index < DeviceIdRangeCount(); ++index) {
    const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = DeviceIdRangeClaim(index);
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] == 0: abstract
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), length) == 0) {
      range = DeviceIdRangeAt(index);
      return sock;
    }
    ::close(sock);
  }
  if (!CurrentSimulatorIds().rootless) return -1;
  range = DeviceIdRangeAt(0);
  *shared = true;
  return -1;
}

void Keeper::SetUpNamespaces() {
  // In the host's network namespace, where every keeper's claim is seen.
  DeviceIdRange range;
  bool shared = false;
  if (ClaimIdRange(range, &shared) < 0 && !shared) {
    Finish(kKeeperFailed, "every range of device ids is taken (" +
                              std::to_string(DeviceIdRangeCount()) + " devices live)");
  }
  root_id_ = range.root;
  id_count_ = range.count;
  static const struct {
    int flag;
    const char* name;
  } kNamespaces[] = {{CLONE_NEWNS, "mount"},
                     {CLONE_NEWUTS, "UTS"},
                     {CLONE_NEWIPC, "IPC"},
                     {CLONE_NEWNET, "network"},
                     {CLONE_NEWPID, "PID"}};
  for (const auto& ns : kNamespaces) {
    if (::unshare(ns.flag) != 0) {
      Finish(kKeeperRefused, Reason(std::string("no ") + ns.name + " namespace for the device") +
                                 "; the simulator needs a kernel that offers it, not "
                                 "forbidden by a container or seccomp");
    }
  }
  // Before any mount: nothing done in this namespace may propagate to the host.
  std::string error;
  if (!MakeMountsPrivate(plan_.root_dir, &error, &real_root_fd_)) Finish(kKeeperRefused, error);
  if (real_root_fd_ < 0) Finish(kKeeperFailed, Reason("cannot open the namespace's root"));
  // The host's own control groups: at the namespace's root /proc and /sys are in view, even
  // from a chroot that has none.
  const int chroot_fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (chroot_fd < 0 || ::fchdir(real_root_fd_) != 0 || ::chroot(".") != 0) {
    Finish(kKeeperFailed, Reason("cannot enter the namespace's root"));
  }
  DeviceLimits limits;
  limits.memory_bytes = plan_.spec->memory_limit;
  limits.processes = plan_.spec->process_limit;
  std::uint32_t tag = 0;
  (void)::getrandom(&tag, sizeof tag, 0);
  cgroups_.Create(limits, "qx-sim-" + std::to_string(::getpid()) + "-" + std::to_string(tag));
  if (::fchdir(chroot_fd) != 0 || ::chroot(".") != 0 || ::chdir("/") != 0) {
    Finish(kKeeperFailed, Reason("cannot return to the host's root"));
  }
  ::close(chroot_fd);
  (void)::sethostname("router", 6);
  if (!BringUpLoopback()) Finish(kKeeperFailed, Reason("cannot bring up the device's loopback"));
}

std::string Keeper::AwaitInit(int report_fd) {
  std::string reported;
  for (;;) {
    pollfd fds[2] = {{report_fd, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents != 0 && TerminationRequested()) {
      Finish(kKeeperFailed, "the simulator was stopped while the device started");
    }
    if (fds[0].revents == 0) continue;
    char buffer[512];
    const ssize_t n = ::read(report_fd, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
    if (n > 0) reported.append(buffer, static_cast<std::size_t>(n));
  }
  return reported;
}

void Keeper::Run() {
  SetUpNamespaces();
  std::string error;
  // The root is mounted without nosuid, as the router's is: in the device's user namespace the
  // flags of a mount made here are locked, and a plain `mount -o remount,bind,ro` (without
  // nosuid) of a directory of the root would fail.
  const std::string options = "size=" + std::to_string(plan_.spec->root_size) + ",mode=0755";
  if (!MountTmpfs(plan_.root_dir, options + OwnerOptions(root_id_), &error, 0)) {
    Finish(kKeeperFailed, error);
  }
  const int root_fd = ::open(plan_.root_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root_fd < 0) Finish(kKeeperFailed, Reason("cannot open " + plan_.root_dir));
  const RootFs root(root_fd, DeviceRootOwner(root_id_));
  if (!PrepareRoot(plan_, root, root_id_, real_root_fd_, &error)) Finish(kKeeperFailed, error);
  InitDescriptors fds;
  fds.program = ::open(plan_.userland->init_path.c_str(), O_RDONLY | O_CLOEXEC);
  fds.real_root = real_root_fd_;
  fds.device_root = root_fd;
  fds.root_id = root_id_;
  fds.id_count = id_count_;
  int report[2];
  if (fds.program < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
    Finish(kKeeperFailed, Reason("cannot open " + plan_.userland->init_path));
  }
  fds.report = report[1];
  init_ = ::fork();
  if (init_ < 0) Finish(kKeeperFailed, Reason("cannot fork the device's init"));
  if (init_ == 0) BecomeInit(plan_, fds, cgroups_);
  for (const int fd : {report[1], fds.program, real_root_fd_}) ::close(fd);
  // The files go in while init starts: they are on the root's file system, which init's mount
  // namespace shares, and init runs no program of the device before the host side asks.
  if (!WriteEntries(*plan_.spec, *plan_.userland, root, EntryPlace::kOutsideRamdisk, &error)) {
    Finish(kKeeperFailed, error);
  }
  ::close(root_fd);
  // Writing as device root cleared the parent-death signal until it was set again: a host side
  // that died meanwhile sent none.
  if (::getppid() != plan_.host_pid) Finish(kKeeperFailed, "the simulator is gone");
  const std::string reported = AwaitInit(report[0]);
  ::close(report[0]);
  if (reported.empty() || reported[0] != wire::kStartReady) {
    const bool refused = !reported.empty() && reported[0] == wire::kStartRefused;
    Finish(refused ? kKeeperRefused : kKeeperFailed,
           reported.size() > 1 ? reported.substr(1) : "the device's init did not start");
  }
  // Init has made its copy of this namespace long since (its first step): only the device holds
  // its root from now on, and the host side may remove root_dir. Detached before that, the
  // root would be missing from init's copy.
  (void)::umount2(plan_.root_dir.c_str(), MNT_DETACH);
  wire::Message ready;
  ready.Add(kKeeperReady);
  ready.AddInt(init_);
  ready.AddInt(static_cast<int>(cgroups_.memory()));
  ready.AddInt(static_cast<int>(cgroups_.processes()));
  ready.AddInt(root_id_);
  (void)wire::SendMessage(plan_.control_fd, ready);
  // From here on the keeper holds nothing of the host side's but its parent-death signal.
  for (const int fd : {0, 1, 2, plan_.control_fd}) ::close(fd);
  for (;;) {
    const pid_t done = ::waitpid(init_, nullptr, WNOHANG);
    if (done == init_ || (done < 0 && errno != EINTR)) break;
    pollfd signal{signal_fd_, POLLIN, 0};
    (void)::poll(&signal, 1, -1);
    if (TerminationRequested()) ::kill(init_, SIGKILL);
  }
  cgroups_.Remove();
  ::_exit(0);
}

}  // namespace

FileOwner DeviceRootOwner(unsigned int root_id) {
  FileOwner owner;
  owner.uid = root_id;
  owner.gid = root_id;
  owner.device = true;
  return owner;
}

bool WriteEntries(const DeviceSpec& spec, const Userland& userland, const RootFs& root,
                  EntryPlace place, std::string* error) {
  const bool ramdisk = place == EntryPlace::kInRamdisk;
  const auto mine = [ramdisk](const std::string& path) { return InRamdisk(path) == ramdisk; };
  std::set<std::string> copied;
  for (const HostCopy& copy : userland.copies) {
    copied.insert(copy.device_path);
    if (mine(copy.device_path) &&
        !root.CopyHostFile(copy.host_path, copy.device_path, copy.mode, error)) {
      return false;
    }
  }
  if (!ramdisk) {
    std::vector<std::string> links;
    for (const std::string& link : userland.applet_links) {
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
  }
  for (const std::string& dir : spec.directories) {
    if (mine(dir) && !root.MakeDirs(dir, 0755, error)) return false;
  }
  for (const DeviceFile& file : spec.files) {
    if (mine(file.path) && !root.WriteFile(file, error)) return false;
  }
  for (const DeviceSymlink& link : spec.symlinks) {
    if (mine(link.path) && !root.Symlink(link.path, link.target, error)) return false;
  }
  return true;
}

void RunKeeper(const KeeperPlan& plan) {
  // The host side's thread ending (even by SIGKILL) sends SIGTERM, which ends the device; the
  // keeper catches it through a descriptor so that it can still remove the device's groups.
  (void)::prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0);
  sigset_t caught;
  sigemptyset(&caught);
  sigaddset(&caught, SIGTERM);
  sigaddset(&caught, SIGCHLD);
  (void)::sigprocmask(SIG_BLOCK, &caught, nullptr);
  const int signal_fd = ::signalfd(-1, &caught, SFD_CLOEXEC | SFD_NONBLOCK);
  if (::getppid() != plan.host_pid || signal_fd < 0) ::_exit(1);  // the host side is gone
  for (int sig : {SIGINT, SIGQUIT, SIGTSTP}) (void)::signal(sig, SIG_IGN);
  // Of the host side's descriptors, only the standard ones (init's, for an interactive shell)
  // and the control socket stay.
  CloseAllBut({plan.control_fd, signal_fd});
  Keeper(plan, signal_fd).Run();
}

}  // namespace qx::sim
