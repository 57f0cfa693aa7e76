#include "sim/host/keeper.h"

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
#include <string>
#include <vector>

#include "sim/common/reason.h"
#include "sim/common/wire.h"
#include "sim/host/cgroup.h"
#include "sim/host/device_root.h"
#include "sim/host/init_launch.h"
#include "sim/host/private_mounts.h"
#include "sim/host/rootless.h"

namespace qx::sim {
namespace {

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
