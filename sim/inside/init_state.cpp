#include "sim/inside/init_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/host/router_profile.h"  // constants only: init links no host code

namespace qx::sim::init {

std::string ReadSmallFile(const std::string& path) {
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    content.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return content;
}

namespace {

// The command line of a process as one text: its arguments joined by single blanks.
std::string CommandLineOf(pid_t pid) {
  std::string text = ReadSmallFile("/proc/" + std::to_string(pid) + "/cmdline");
  while (!text.empty() && text.back() == '\0') text.pop_back();
  for (char& c : text) {
    if (c == '\0') c = ' ';
  }
  return text.empty() ? "(pid " + std::to_string(pid) + ")" : text;
}

// True when the process is already dying: a zombie, or a signal pending for it.
bool IsDying(pid_t pid) {
  const std::string status = ReadSmallFile("/proc/" + std::to_string(pid) + "/status");
  if (status.empty()) return true;
  for (const char* key : {"\nSigPnd:\t", "\nShdPnd:\t"}) {
    const std::size_t at = status.find(key);
    if (at == std::string::npos) continue;
    if (std::strtoull(status.c_str() + at + std::strlen(key), nullptr, 16) != 0) return true;
  }
  const std::size_t state = status.find("\nState:\t");
  return state != std::string::npos && (status[state + 8] == 'Z' || status[state + 8] == 'X');
}

// comm, state and parent pid from /proc/<pid>/stat ("pid (comm) state ppid ...").
bool CommAndParent(const std::string& pid, std::string& comm, long& ppid, char& state) {
  const std::string stat = ReadSmallFile("/proc/" + pid + "/stat");
  const std::size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 4 > stat.size()) {
    return false;
  }
  comm = stat.substr(open + 1, close - open - 1);
  state = stat[close + 2];
  ppid = std::strtol(stat.c_str() + close + 4, nullptr, 10);
  return true;
}

bool HasOpen(const std::string& pid, const char* path) {
  const std::string fd_dir = "/proc/" + pid + "/fd";
  DIR* dir = ::opendir(fd_dir.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(dir)) {
    char target[256];
    const ssize_t n = ::readlinkat(::dirfd(dir), entry->d_name, target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path) found = true;
  }
  ::closedir(dir);
  return found;
}

}  // namespace

DeviceState::Pending DeviceState::StartsPending() const {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return Pending::kNone;
  Pending pending = Pending::kNone;
  while (const dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
    if (pid <= 1 || service_pids_.count(pid) != 0 || watchdog_reported_.count(pid) != 0) {
      continue;
    }
    std::string comm;
    long ppid = 0;
    char state = 0;
    if (!CommAndParent(entry->d_name, comm, ppid, state) || state == 'Z' || state == 'X') continue;
    if ((comm == "watchdog" && !HasOpen(entry->d_name, qx::sim::router::kWatchdogNode)) ||
        comm == wire::kWatchdogProgramName ||
        (comm == "busybox" && ppid == 1 &&
         CommandLineOf(pid).find(wire::kWatchdogProgramName) != std::string::npos)) {
      pending = Pending::kStarting;
      break;
    }
    if (comm == "busybox" && ppid == 1) pending = Pending::kMaybe;
  }
  ::closedir(proc);
  return pending;
}

void ResetSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) (void)::sigaction(sig, &action, nullptr);
  sigset_t all;
  sigemptyset(&all);
  (void)::sigprocmask(SIG_SETMASK, &all, nullptr);
}

void CloseFromExcept(int first, int keep) {
  if (keep >= first) {
    if (keep > first) (void)::syscall(SYS_close_range, first, keep - 1, 0);
    (void)::syscall(SYS_close_range, keep + 1, ~0u, 0);
  } else {
    (void)::syscall(SYS_close_range, first, ~0u, 0);
  }
}

void DeviceState::StartServices(const std::vector<std::string>& names) {
  // Each service says when it bears its name, and this returns only then: a command run right
  // after a start or a power cycle (`pidof sshd`) must never find a service still under init's
  // name. The pipe's end closes in every child with its other descriptors, so the wait ends
  // even for one that dies first.
  int named[2] = {-1, -1};
  const bool wait_for_names = ::pipe2(named, O_CLOEXEC) == 0;
  std::size_t forked = 0;
  for (const std::string& name : names) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ResetSignals();
      (void)::setsid();
      (void)::prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
      if (wait_for_names) (void)!::write(named[1], "n", 1);
      // A fork of init, not dumpable as init is not: device root may signal it like any of its
      // processes, but neither trace it nor see through /proc/PID/exe the host's binary of init.
      const int null_fd = ::open("/dev/null", O_RDWR);
      for (int fd = 0; fd < 3 && null_fd >= 0; ++fd) (void)::dup2(null_fd, fd);
      CloseFromExcept(3, -1);
      for (;;) ::pause();
    }
    services_.push_back({name, pid > 0 ? 0 : -1});
    if (pid > 0) service_pids_[pid] = services_.size() - 1;
    if (pid > 0) ++forked;
  }
  if (!wait_for_names) return;
  ::close(named[1]);
  char byte = 0;
  for (std::size_t told = 0; told < forked;) {
    const ssize_t n = ::read(named[0], &byte, 1);
    if (n > 0) {
      ++told;
    } else if (n == 0 || errno != EINTR) {
      break;  // every child's end is closed
    }
  }
  ::close(named[0]);
}

void DeviceState::Restart(const std::vector<std::string>& names) {
  services_.clear();
  service_pids_.clear();
  reboot_records_.clear();
  reboot_holders_.clear();
  watchdog_pid_ = 0;
  watchdog_reported_.clear();
  watchdog_started_ = false;
  watchdog_signal_ = 0;
  StartServices(names);
}

bool DeviceState::WatchReboot(const char* device_path) {
  reboot_fd_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY);
  if (reboot_fd_ < 0 && errno == EPERM) {
    reboot_fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (reboot_fd_ >= 0 && ::inotify_add_watch(reboot_fd_, device_path, IN_OPEN) < 0) {
      ::close(reboot_fd_);
      reboot_fd_ = -1;
    }
    reboot_by_holders_ = reboot_fd_ >= 0;
    return reboot_by_holders_;
  }
  if (reboot_fd_ < 0) return false;
  if (::fanotify_mark(reboot_fd_, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, device_path) != 0) {
    ::close(reboot_fd_);
    reboot_fd_ = -1;
    return false;
  }
  return true;
}

void DeviceState::RecordRebootHolders() {
  alignas(inotify_event) char buffer[4096];
  while (::read(reboot_fd_, buffer, sizeof buffer) > 0) {
  }
  std::set<pid_t> holders;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return;
  while (const dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
    if (pid <= 1 || !HasOpen(entry->d_name, qx::sim::router::kWatchdogNode)) continue;
    holders.insert(pid);
    if (reboot_holders_.count(pid) == 0) reboot_records_.push_back(CommandLineOf(pid));
  }
  ::closedir(proc);
  reboot_holders_ = holders;
}

void DeviceState::HandleRebootEvents() {
  if (reboot_by_holders_) {
    RecordRebootHolders();
    return;
  }
  alignas(fanotify_event_metadata) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(reboot_fd_, buffer, sizeof buffer);
    if (n <= 0) return;
    auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
    ssize_t left = n;
    for (; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
      // The opener waits for our answer, so its command line is still there to read.
      if (event->mask & FAN_OPEN_PERM) reboot_records_.push_back(CommandLineOf(event->pid));
      fanotify_response response{};
      response.fd = event->fd;
      response.response = FAN_ALLOW;
      (void)::write(reboot_fd_, &response, sizeof response);
      if (event->fd >= 0) ::close(event->fd);
    }
  }
}

void DeviceState::HandleReport(const std::string& record, pid_t sender,
                               std::vector<std::string>* commands) {
  if (record.empty()) return;
  if (record[0] == wire::kEventCommand) {
    if (commands != nullptr) commands->push_back(record.substr(1));
  } else if (record[0] == wire::kEventWatchdogProgram) {
    const long pid = std::strtol(record.c_str() + 1, nullptr, 10);
    if (pid > 0 && pid == sender) {
      watchdog_pid_ = static_cast<pid_t>(pid);
      watchdog_reported_.insert(watchdog_pid_);
      watchdog_started_ = true;
      watchdog_signal_ = 0;
    }
  }
}

void DeviceState::Reaped(pid_t pid, int status) {
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  const auto service = service_pids_.find(pid);
  if (service != service_pids_.end()) {
    services_[service->second].signal = signal;
    service_pids_.erase(service);
  }
  watchdog_reported_.erase(pid);
  if (pid == watchdog_pid_) {
    watchdog_signal_ = signal > 0 ? signal : 0;
    watchdog_pid_ = 0;
  }
}

void DeviceState::Settle() {
  std::vector<pid_t> tracked;
  for (const auto& entry : service_pids_) tracked.push_back(entry.first);
  if (watchdog_pid_ > 0) tracked.push_back(watchdog_pid_);
  for (const pid_t pid : tracked) {
    if (!IsDying(pid)) continue;
    for (int tries = 0; tries < 2000; ++tries) {  // at most about two seconds
      int status = 0;
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid) {
        Reaped(pid, status);
        break;
      }
      if (done < 0) break;  // not our child any more (reaped elsewhere)
      const timespec pause{0, 1000000};
      ::nanosleep(&pause, nullptr);
    }
  }
}

void DeviceState::AddToReply(wire::Message& reply) const {
  reply.AddInt(static_cast<std::int64_t>(services_.size()));
  for (const Service& service : services_) {
    reply.Add(service.name);
    reply.AddInt(service.signal);
  }
  reply.AddList(reboot_records_);
  reply.AddInt(watchdog_started_ ? 1 : 0);
  reply.AddInt(watchdog_signal_);
}

}  // namespace qx::sim::init
