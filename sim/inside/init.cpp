// The device's init: PID 1 of the device's PID namespace, already inside the device's root when
// it starts (the simulator library mounts, populates and pivots, then execs this program).
//
// It starts with the host's privileges, which it uses only to watch /dev/watchdog (fanotify
// permission events need them when the watch is made). It keeps its memory out of the device's
// reach (not dumpable: device root may neither trace it nor open its descriptors), enters the
// device's user namespace as device root, mounts the ramdisk in a mount namespace of its own
// (so that the device may unmount and remount it), sets the per-process limits, and reports on
// descriptor 5 that the device is up (see wire.h).
//
// It starts the services and then serves the host side's requests on descriptor 3 (a stream
// socket): run one program with a timeout (an interactive one on the terminal that comes with
// the request), report the device state, cut the power, stop every other process, or read a
// file back for the host side as device root. When the host side closes the socket, init
// exits, during a run too, and with PID 1 gone the kernel kills every process of the device. The
// services to start, the ramdisk size and the limits are in its environment.
#include <fcntl.h>
#include <grp.h>
#include <linux/magic.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sim/common/reason.h"
#include "sim/common/wire.h"
#include "sim/host/router_profile.h"  // constants only: init links no host code
#include "sim/inside/init_state.h"

namespace {

namespace wire = qx::sim::wire;
namespace router = qx::sim::router;

// The program that a name stands for: a name without a slash is looked up in the run's PATH
// (its first entry), as a shell does, so that `device-sim run -- true` runs /bin/true; a name
// with a slash, or one found nowhere, is used as it is.
std::string ProgramPath(const std::string& name, const std::vector<std::string>& env) {
  if (name.empty() || name.find('/') != std::string::npos) return name;
  for (const std::string& entry : env) {
    if (entry.compare(0, 5, "PATH=") != 0) continue;
    for (std::size_t begin = 5;;) {
      const std::size_t end = std::min(entry.find(':', begin), entry.size());
      const std::string directory = end > begin ? entry.substr(begin, end - begin) : ".";
      std::string candidate = directory + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      if (end == entry.size()) break;
      begin = end + 1;
    }
    break;
  }
  return name;
}
using qx::sim::Reason;
using qx::sim::init::DeviceState;
using Clock = std::chrono::steady_clock;

constexpr int kControlFd = wire::kInitControlFd;

struct RunRequest {
  bool terminal = false;  // an interactive shell on the terminal the host side passed
  int terminal_fd = -1;   // that terminal (a pseudo-terminal the host side relays)
  std::int64_t timeout_ms = 0;
  std::string cwd;
  std::vector<std::string> argv;
  std::vector<std::string> env;
};

struct RunOutcome {
  bool started = false;
  std::string error;
  bool timed_out = false;
  int status = 0;
  long max_rss_kb = 0;
  std::int64_t duration_us = 0;
  std::string output;
  std::vector<std::string> trace;
  std::vector<std::int64_t> trace_us;
};

class Init {
 public:
  // With the host's privileges still: the watch on /dev/watchdog.
  void WatchReboot() { (void)state_.WatchReboot(router::kWatchdogNode); }
  // As device root, with the ramdisk mounted: notes the mounts the device was built with and
  // starts the services.
  bool Start(const std::vector<std::string>& services, std::uint64_t ramdisk_size);
  int Serve();

 private:
  bool PowerCycle(std::string& error);
  void KillAllButInit();
  RunOutcome Run(const RunRequest& request);
  pid_t Spawn(const RunRequest& request, int output_fd, std::string& error);
  void DrainReports(std::vector<std::string>* trace, std::vector<std::int64_t>* times,
                    Clock::time_point start);
  void ReapAll(pid_t run_pid, RunOutcome* outcome, bool* run_done);
  void SendRunReply(const RunOutcome& outcome);

  DeviceState state_;
  std::vector<std::string> services_;
  std::uint64_t ramdisk_size_ = 0;
  std::set<std::string> boot_mounts_;  // mount ids of the built device, the ramdisk's left out
  int report_read_ = -1;               // the report socket (wire::kReportSocketName)
  int signal_fd_ = -1;                 // SIGCHLD
};

// The mounts of this mount namespace: id and mount point (octal escapes undone), in the order
// the kernel lists them (a mount after the one it is mounted on).
std::vector<std::pair<std::string, std::string>> Mounts() {
  std::vector<std::pair<std::string, std::string>> mounts;
  std::istringstream lines(qx::sim::init::ReadSmallFile("/proc/self/mountinfo"));
  for (std::string line; std::getline(lines, line);) {
    // "ID PARENT MAJ:MIN ROOT MOUNTPOINT ..."
    std::size_t fields[5] = {0, 0, 0, 0, 0};
    std::size_t at = 0;
    for (int i = 1; i < 5 && at != std::string::npos; ++i) {
      at = line.find(' ', at);
      if (at != std::string::npos) fields[i] = ++at;
    }
    if (at == std::string::npos) continue;
    const std::string raw = line.substr(fields[4], line.find(' ', fields[4]) - fields[4]);
    std::string point;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 3 < raw.size()) {
        point += static_cast<char>(std::strtol(raw.substr(i + 1, 3).c_str(), nullptr, 8));
        i += 3;
      } else {
        point += raw[i];
      }
    }
    mounts.emplace_back(line.substr(0, line.find(' ')), point);
  }
  return mounts;
}

bool Init::Start(const std::vector<std::string>& services, std::uint64_t ramdisk_size) {
  services_ = services;
  ramdisk_size_ = ramdisk_size;
  for (const auto& [id, point] : Mounts()) {
    if (point != router::kRamdisk) boot_mounts_.insert(id);
  }
  for (int sig : {SIGINT, SIGQUIT, SIGPIPE, SIGHUP, SIGTERM}) (void)::signal(sig, SIG_IGN);
  sigset_t child;
  sigemptyset(&child);
  sigaddset(&child, SIGCHLD);
  (void)::sigprocmask(SIG_BLOCK, &child, nullptr);
  signal_fd_ = ::signalfd(-1, &child, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signal_fd_ < 0) return false;
  report_read_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address;
  const socklen_t length = wire::ReportSocketAddress(address);
  if (report_read_ < 0 ||
      ::bind(report_read_, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    return false;
  }
  const int on = 1;  // who sent each report, as the kernel tells it
  (void)::setsockopt(report_read_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  const int buffer = 4 << 20;  // many commands may be reported while init is busy elsewhere
  (void)::setsockopt(report_read_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  state_.StartServices(services);
  return true;
}

// Until none is left: a process that was forking when the signal came may have a child that
// did not get it.
void Init::KillAllButInit() {
  while (::kill(-1, SIGKILL) == 0) {
    int status = 0;
    pid_t dead;
    while ((dead = ::waitpid(-1, &status, 0)) > 0 || (dead < 0 && errno == EINTR)) {
      if (dead > 0) state_.Reaped(dead, status);
    }
  }
}

bool Init::PowerCycle(std::string& error) {
  // Everything but init goes at once, as it does when the power goes.
  KillAllButInit();
  DrainReports(nullptr, nullptr, Clock::now());
  // The mounts made since the device was built (the ramdisk, and whatever the device stacked on
  // it or mounted elsewhere), newest first, until none is left.
  for (int round = 0; round < 1000; ++round) {
    std::string newest;
    for (const auto& [id, point] : Mounts()) {
      if (boot_mounts_.count(id) == 0) newest = point;
    }
    if (newest.empty()) break;
    if (::umount2(newest.c_str(), MNT_DETACH) != 0) {
      error = "cannot unmount " + newest + ": " + std::strerror(errno);
      return false;
    }
  }
  // The boot mounts the ramdisk from its fstab line, if the line is still there.
  std::istringstream fstab(qx::sim::init::ReadSmallFile("/etc/fstab"));
  for (std::string line; std::getline(fstab, line);) {
    char source[256], point[256], type[64];
    if (std::sscanf(line.c_str(), "%255s %255s %63s", source, point, type) == 3 &&
        std::strcmp(type, "tmpfs") == 0 &&
        (std::strcmp(point, router::kRamdisk) == 0 ||
         std::strcmp(point, router::kRamdiskPrefix) == 0)) {
      const std::string options = "size=" + std::to_string(ramdisk_size_);
      if (::mount(source, router::kRamdisk, "tmpfs", MS_NOSUID, options.c_str()) != 0) {
        error = std::string("cannot mount the ramdisk: ") + std::strerror(errno);
        return false;
      }
      break;
    }
  }
  state_.Restart(services_);
  return true;
}

void Init::DrainReports(std::vector<std::string>* trace, std::vector<std::int64_t>* times,
                        Clock::time_point start) {
  std::string record(wire::kMaxEventBytes + 1, '\0');
  for (;;) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
    iovec data{record.data(), record.size()};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(report_read_, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n <= 0) return;
    pid_t sender = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
        ucred credentials{};
        std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
        sender = credentials.pid;
      } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
        // Descriptors a program sent along are not wanted here.
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
          int fd = -1;
          std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
          ::close(fd);
        }
      }
    }
    const std::size_t before = trace != nullptr ? trace->size() : 0;
    state_.HandleReport(record.substr(0, static_cast<std::size_t>(n)), sender, trace);
    if (trace != nullptr && trace->size() > before) {
      times->push_back(
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    }
  }
}

void Init::ReapAll(pid_t run_pid, RunOutcome* outcome, bool* run_done) {
  signalfd_siginfo info;
  while (::read(signal_fd_, &info, sizeof info) > 0) {
  }
  for (;;) {
    int status = 0;
    rusage usage{};
    const pid_t pid = ::wait4(-1, &status, WNOHANG, &usage);
    if (pid <= 0) return;
    state_.Reaped(pid, status);
    if (pid == run_pid && outcome != nullptr) {
      outcome->status = status;
      outcome->max_rss_kb = usage.ru_maxrss;
      *run_done = true;
    }
  }
}

pid_t Init::Spawn(const RunRequest& request, int output_fd, std::string& error) {
  int exec_pipe[2];
  if (::pipe2(exec_pipe, O_CLOEXEC) != 0) {
    error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return -1;
  }
  std::vector<char*> argv;
  for (const std::string& arg : request.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& entry : request.env) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    qx::sim::init::ResetSignals();
    // A session of its own: whatever it does to its terminal stays there.
    (void)::setsid();
    if (!request.terminal) {
      const int null_fd = ::open("/dev/null", O_RDONLY);
      (void)::dup2(null_fd >= 0 ? null_fd : output_fd, 0);
      (void)::dup2(output_fd, 1);
      (void)::dup2(output_fd, 2);
    } else {
      for (int fd = 0; fd < 3; ++fd) (void)::dup2(request.terminal_fd, fd);
      (void)::ioctl(0, TIOCSCTTY, 0);
    }
    (void)::dup2(exec_pipe[1], 3);  // replaces the control socket in the child
    (void)::fcntl(3, F_SETFD, FD_CLOEXEC);
    qx::sim::init::CloseFromExcept(4, -1);
    std::string failure;
    if (::chdir(request.cwd.c_str()) != 0) {
      failure = "cannot change to " + request.cwd + ": " + std::strerror(errno);
    } else {
      const std::string program = ProgramPath(request.argv[0], request.env);
      ::execve(program.c_str(), argv.data(), env.data());
      failure = "cannot run " + request.argv[0] + ": " + std::strerror(errno);
    }
    (void)wire::WriteAll(3, failure.data(), failure.size());
    ::_exit(127);
  }
  ::close(exec_pipe[1]);
  if (pid < 0) {
    error = std::string("cannot fork: ") + std::strerror(errno);
  } else {
    char buffer[512];
    ssize_t n;
    while ((n = ::read(exec_pipe[0], buffer, sizeof buffer)) != 0) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      error.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(exec_pipe[0]);
  return pid;
}

// The host side sends nothing while a program runs: the control socket turns readable during a
// run only when the host side has gone, and then the device goes with it at once rather than at
// the run's timeout (with PID 1 gone, the kernel kills every process of the device).
void EndIfHostGone() {
  char byte;
  const ssize_t n = ::recv(kControlFd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) ::_exit(0);
}

RunOutcome Init::Run(const RunRequest& request) {
  RunOutcome outcome;
  const Clock::time_point start = Clock::now();
  DrainReports(nullptr, nullptr, start);  // reports from before this run are not its trace
  int output[2] = {-1, -1};
  if (!request.terminal && ::pipe2(output, O_CLOEXEC) != 0) {
    outcome.error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return outcome;
  }
  std::string error;
  const pid_t pid = request.argv.empty() ? -1 : Spawn(request, output[1], error);
  if (output[1] >= 0) ::close(output[1]);
  bool done = false;
  if (pid > 0 && !error.empty()) {  // the child reported why it could not start
    int status = 0;
    (void)::waitpid(pid, &status, 0);
    done = true;
  }
  if (pid <= 0 || !error.empty()) {
    outcome.error = request.argv.empty() ? "no program given" : error;
    if (output[0] >= 0) ::close(output[0]);
    return outcome;
  }
  outcome.started = true;
  const Clock::time_point deadline = start + std::chrono::milliseconds(request.timeout_ms);
  while (!done) {
    pollfd fds[5] = {{report_read_, POLLIN, 0},
                     {signal_fd_, POLLIN, 0},
                     {state_.reboot_fd(), POLLIN, 0},
                     {kControlFd, POLLIN, 0},
                     {output[0], POLLIN, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      // Everything but init dies, so the files stay readable for the host side.
      outcome.timed_out = true;
      (void)::kill(-1, SIGKILL);
      int status = 0;
      pid_t dead;
      while ((dead = ::waitpid(-1, &status, 0)) > 0) {
        state_.Reaped(dead, status);
        if (dead == pid) outcome.status = status;
      }
      break;
    }
    const int ready = ::poll(fds, output[0] >= 0 ? 5 : 4, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno != EINTR) break;
    if (fds[3].revents != 0) EndIfHostGone();
    DrainReports(&outcome.trace, &outcome.trace_us, start);
    if (fds[2].revents != 0) state_.HandleRebootEvents();
    if (output[0] >= 0 && fds[4].revents != 0) {
      char buffer[65536];
      const ssize_t n = ::read(output[0], buffer, sizeof buffer);
      if (n > 0) {
        outcome.output.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(output[0]);
        output[0] = -1;
      }
    }
    ReapAll(pid, &outcome, &done);
  }
  outcome.duration_us =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  // What the program wrote before it ended; a background child may hold the pipe open.
  if (output[0] >= 0) {
    (void)::fcntl(output[0], F_SETFL, O_NONBLOCK);
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(output[0], buffer, sizeof buffer)) > 0) {
      outcome.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(output[0]);
  }
  // Background starts the results depend on are waited for until they are done, however slow
  // the machine (the cap only ends a wait that something inside holds up for good); other
  // orphaned shells get a second. A watchdog daemon waits in its open() for our answer
  // meanwhile, so reboot events are answered inside the loop.
  const Clock::time_point settle_start = Clock::now();
  while (!outcome.timed_out) {
    EndIfHostGone();
    DrainReports(&outcome.trace, &outcome.trace_us, start);
    if (state_.reboot_fd() >= 0) state_.HandleRebootEvents();
    ReapAll(0, nullptr, nullptr);
    const DeviceState::Pending pending = state_.StartsPending();
    if (pending == DeviceState::Pending::kNone) break;
    const auto waited = Clock::now() - settle_start;
    if (waited > (pending == DeviceState::Pending::kStarting ? std::chrono::seconds(30)
                                                             : std::chrono::seconds(1))) {
      break;
    }
    const timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
  }
  DrainReports(&outcome.trace, &outcome.trace_us, start);
  if (state_.reboot_fd() >= 0) state_.HandleRebootEvents();
  state_.Settle();
  return outcome;
}

void Init::SendRunReply(const RunOutcome& outcome) {
  wire::Message reply;
  reply.Add(wire::kReplyRun);
  reply.AddInt(outcome.started ? 1 : 0);
  reply.Add(outcome.error);
  reply.AddInt(outcome.timed_out ? 1 : 0);
  reply.AddInt(outcome.status);
  reply.AddInt(outcome.max_rss_kb);
  reply.AddInt(outcome.duration_us);
  reply.Add(outcome.output);
  reply.AddList(outcome.trace);
  for (const std::int64_t t : outcome.trace_us) reply.AddInt(t);
  (void)wire::SendMessage(kControlFd, reply);
}

// A file of the device as its own root reads it, for the host side to show: never through a
// final symbolic link, never a FIFO, device or socket (O_NONBLOCK: not even the open can wait),
// never a file of /proc or /sys (what the kernel shows there depends on who reads), and at most
// max_bytes of it. why_not says why nothing was read.
struct ReadBack {
  std::string why_not;
  std::string content;
  std::uint64_t size = 0;  // of the whole file
};

ReadBack ReadForHost(const std::string& path, std::uint64_t max_bytes) {
  ReadBack back;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  struct statfs fs {};
  if (fd < 0) {
    back.why_not = errno == ELOOP ? "a symbolic link" : std::strerror(errno);
  } else if (::fstat(fd, &st) != 0 || ::fstatfs(fd, &fs) != 0) {
    back.why_not = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    back.why_not = "not a regular file";
  } else if (fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC) {
    back.why_not = "a file of /proc or /sys";
  } else {
    back.size = static_cast<std::uint64_t>(st.st_size);
    char buffer[65536];
    while (back.content.size() < max_bytes) {
      const std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>(sizeof buffer, max_bytes - back.content.size()));
      const ssize_t n = ::read(fd, buffer, want);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) back.why_not = std::strerror(errno);
      if (n <= 0) break;
      back.content.append(buffer, static_cast<std::size_t>(n));
    }
    // A file that grew while it was read (nothing runs now, but the size was taken first).
    back.size = std::max<std::uint64_t>(back.size, back.content.size());
    if (!back.why_not.empty()) back.content.clear();
  }
  if (fd >= 0) ::close(fd);
  return back;
}

int Init::Serve() {
  for (;;) {
    pollfd fds[4] = {{kControlFd, POLLIN, 0},
                     {signal_fd_, POLLIN, 0},
                     {state_.reboot_fd(), POLLIN, 0},
                     {report_read_, POLLIN, 0}};
    if (::poll(fds, 4, -1) < 0 && errno != EINTR) return 1;
    if (fds[2].revents != 0) state_.HandleRebootEvents();
    if (fds[3].revents != 0) DrainReports(nullptr, nullptr, Clock::now());
    if (fds[1].revents != 0) ReapAll(0, nullptr, nullptr);
    if (fds[0].revents == 0) continue;
    wire::Message request;
    std::string kind;
    int passed_fd = -1;
    if (!wire::ReceiveMessage(kControlFd, request, &passed_fd) || !request.Next(kind)) {
      return 0;  // host gone
    }
    if (kind == wire::kRequestRun) {
      RunRequest run;
      std::int64_t terminal = 0;
      if (!request.NextInt(terminal) || !request.NextInt(run.timeout_ms) ||
          !request.Next(run.cwd) || !request.NextList(run.argv) || !request.NextList(run.env) ||
          (terminal != 0 && passed_fd < 0)) {
        return 1;
      }
      run.terminal = terminal != 0;
      run.terminal_fd = passed_fd;
      passed_fd = -1;
      const RunOutcome outcome = Run(run);
      if (run.terminal_fd >= 0) ::close(run.terminal_fd);
      SendRunReply(outcome);
    } else if (kind == wire::kRequestPowerCycle) {
      std::string error;
      const bool powered = PowerCycle(error);
      wire::Message reply;
      reply.Add(wire::kReplyPowerCycle);
      reply.AddInt(powered ? 1 : 0);
      reply.Add(error);
      (void)wire::SendMessage(kControlFd, reply);
    } else if (kind == wire::kRequestStop) {
      KillAllButInit();
      DrainReports(nullptr, nullptr, Clock::now());
      if (state_.reboot_fd() >= 0) state_.HandleRebootEvents();
      wire::Message reply;
      reply.Add(wire::kReplyStop);
      (void)wire::SendMessage(kControlFd, reply);
    } else if (kind == wire::kRequestReadBack) {
      std::string path;
      std::int64_t max_bytes = 0;
      if (!request.Next(path) || !request.NextInt(max_bytes) || max_bytes < 0) return 1;
      const ReadBack back = ReadForHost(path, static_cast<std::uint64_t>(max_bytes));
      wire::Message reply;
      reply.Add(wire::kReplyReadBack);
      reply.Add(back.why_not);
      reply.Add(back.content);
      reply.AddInt(static_cast<std::int64_t>(back.size));
      (void)wire::SendMessage(kControlFd, reply);
    } else if (kind == wire::kRequestState) {
      state_.Settle();
      wire::Message reply;
      reply.Add(wire::kReplyState);
      state_.AddToReply(reply);
      (void)wire::SendMessage(kControlFd, reply);
    } else {
      return 1;
    }
    if (passed_fd >= 0) ::close(passed_fd);
  }
}

}  // namespace

namespace {

std::uint64_t NumberFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  const std::uint64_t number = value != nullptr ? std::strtoull(value, nullptr, 10) : 0;
  ::unsetenv(name);
  return number;
}

[[noreturn]] void ReportStart(char kind, const std::string& why) {
  (void)wire::WriteAll(wire::kInitReportFd, &kind, 1);
  (void)wire::WriteAll(wire::kInitReportFd, why.data(), why.size());
  ::_exit(1);
}

bool SetgroupsDenied() {
  char text[16] = {};
  const int fd = ::open("/proc/self/setgroups", O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd >= 0 ? ::read(fd, text, sizeof text - 1) : -1;
  if (fd >= 0) ::close(fd);
  return n > 0 && std::strncmp(text, "deny", 4) == 0;
}

// A limit no higher than the hard limit the simulator was given: only the host's root may raise
// that (an ordinary user's may be lower than the device's).
rlimit Within(int resource, std::uint64_t value) {
  rlimit current{};
  if (::getrlimit(resource, &current) == 0 && current.rlim_max != RLIM_INFINITY &&
      current.rlim_max < value) {
    value = current.rlim_max;
  }
  return {value, value};
}

// From the host's root to device root: the device's user namespace (with every capability in
// it and none outside), its ids 0, a mount namespace of its own, the ramdisk and the limits.
void EnterDevice(std::uint64_t ramdisk_size, std::uint64_t processes, std::uint64_t address_space) {
  if (::setns(wire::kInitUserNamespaceFd, CLONE_NEWUSER) != 0) {
    ReportStart(wire::kStartRefused, Reason("cannot enter the device's user namespace"));
  }
  ::close(wire::kInitUserNamespaceFd);
  // A rootless simulator with the user's own ids alone had to deny setgroups for good (the
  // kernel's price for a single-id map): init keeps the user's supplementary groups then, which
  // open nothing for the device, as no host file is in its view.
  if ((::setgroups(0, nullptr) != 0 && !SetgroupsDenied()) || ::setresgid(0, 0, 0) != 0 ||
      ::setresuid(0, 0, 0) != 0) {
    ReportStart(wire::kStartFailed, Reason("cannot become device root"));
  }
  // A change of ids resets both: init stays out of the device's reach and dies with the keeper.
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  // The mounts made so far are locked in this namespace (the device cannot unmount them or
  // lift their read-only flags); the ramdisk mounted here is the device's own.
  if (::unshare(CLONE_NEWNS) != 0) {
    ReportStart(wire::kStartRefused, Reason("no mount namespace of the device's own"));
  }
  const std::string options = "size=" + std::to_string(ramdisk_size);
  if (::mount("tmpfs", router::kRamdisk, "tmpfs", MS_NOSUID, options.c_str()) != 0) {
    ReportStart(wire::kStartFailed,
                Reason(std::string("cannot mount a tmpfs on ") + router::kRamdisk));
  }
  // RLIMIT_NPROC counts the processes of device root across the device (per user of its user
  // namespace); RLIMIT_AS, set only when no control group limits the memory, is per process.
  const rlimit nproc = Within(RLIMIT_NPROC, processes);
  const rlimit as = Within(RLIMIT_AS, address_space);
  if ((processes > 0 && ::setrlimit(RLIMIT_NPROC, &nproc) != 0) ||
      (address_space > 0 && ::setrlimit(RLIMIT_AS, &as) != 0)) {
    ReportStart(wire::kStartFailed, Reason("cannot set the device's limits"));
  }
}

}  // namespace

int main() {
  if (::getpid() != 1) return 2;                // only ever PID 1 of a device
  (void)::prctl(PR_SET_NAME, "init", 0, 0, 0);  // started from a descriptor, it has no name
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  std::vector<std::string> services;
  const char* names = std::getenv(wire::kServicesVariable);
  for (const char* p = names != nullptr ? names : ""; *p != '\0';) {
    const char* end = std::strchr(p, ' ');
    if (end == nullptr) end = p + std::strlen(p);
    if (end > p) services.emplace_back(p, end);
    p = *end != '\0' ? end + 1 : end;
  }
  ::unsetenv(wire::kServicesVariable);
  const std::uint64_t ramdisk_size = NumberFromEnvironment(wire::kRamdiskSizeVariable);
  const std::uint64_t processes = NumberFromEnvironment(wire::kProcessLimitVariable);
  const std::uint64_t address_space = NumberFromEnvironment(wire::kAddressSpaceLimitVariable);
  Init init;
  init.WatchReboot();
  EnterDevice(ramdisk_size, processes, address_space);
  if (!init.Start(services, ramdisk_size))
    ReportStart(wire::kStartFailed, "cannot set up init's descriptors");
  (void)wire::WriteAll(wire::kInitReportFd, &wire::kStartReady, 1);
  ::close(wire::kInitReportFd);
  return init.Serve();
}
