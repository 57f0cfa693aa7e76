#include "sim/host/device.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/common/wire.h"
#include "sim/host/cgroup.h"
#include "sim/host/device_root.h"
#include "sim/host/keeper.h"
#include "sim/host/root_fs.h"
#include "sim/host/rootless.h"
#include "sim/host/terminal_relay.h"
#include "sim/host/userland.h"

namespace qx::sim {

namespace {

constexpr int kStartTimeoutMs = 30000;
// How long past a run's own timeout the host side waits for init's answer before it gives the
// device up: init kills the program at the timeout itself, so this only catches a stuck init.
constexpr int kReplyGraceMs = 30000;
constexpr int kTeardownTimeoutMs = 10000;
// Stopping a device and reading a file back are quick for init whatever the device left, so the
// host side gives up on a silent init soon.
constexpr int kReadBackTimeoutMs = 5000;

bool WaitReadable(int fd, long long timeout_ms) {
  pollfd pfd{fd, POLLIN, 0};
  for (;;) {
    const int ready =
        ::poll(&pfd, 1, timeout_ms > INT32_MAX ? INT32_MAX : static_cast<int>(timeout_ms));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

// Waits for the keeper to end, at most timeout_ms; then asks it to end the device at once
// (SIGTERM: it kills init and still removes the device's groups), and kills it if that takes
// more than a few seconds too. Always reaps it.
void ReapWithin(pid_t pid, int timeout_ms) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0 || !WaitReadable(pidfd, timeout_ms)) {
    ::kill(pid, SIGTERM);
    if (pidfd < 0 || !WaitReadable(pidfd, kTeardownTimeoutMs)) ::kill(pid, SIGKILL);
  }
  if (pidfd >= 0) ::close(pidfd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

namespace {

struct DeviceStatus {
  std::map<std::string, int> services;
  std::vector<std::string> reboot_records;
  bool watchdog_started = false;
  int watchdog_signal = 0;
};

bool ParseState(wire::Message& reply, DeviceStatus& state) {
  std::string kind;
  std::int64_t count = 0;
  if (!reply.Next(kind) || kind != wire::kReplyState || !reply.NextInt(count)) return false;
  for (std::int64_t i = 0; i < count; ++i) {
    std::string name;
    std::int64_t signal = 0;
    if (!reply.Next(name) || !reply.NextInt(signal)) return false;
    state.services[name] = static_cast<int>(signal);
  }
  std::int64_t started = 0, signal = 0;
  if (!reply.NextList(state.reboot_records) || !reply.NextInt(started) || !reply.NextInt(signal)) {
    return false;
  }
  state.watchdog_started = started != 0;
  state.watchdog_signal = static_cast<int>(signal);
  return true;
}

}  // namespace

struct Device::Impl {
  pid_t keeper = -1;
  pid_t init = -1;
  int control = -1;
  int root_fd = -1;
  std::string root_dir;  // empty once removed
  bool alive = false;
  unsigned int root_id = 0;  // device root's host id
  LimitKind memory_limit = LimitKind::kRlimit;
  LimitKind process_limit = LimitKind::kRlimit;

  RunResult Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                const std::string& cwd, const std::vector<std::string>& extra_env, bool terminal);
  bool Ask(const wire::Message& request, wire::Message& reply, long long timeout_ms);
  // As Ask, with a terminal of its own for the program, relayed until the answer comes.
  bool AskWithTerminal(const wire::Message& request, wire::Message& reply, long long timeout_ms,
                       std::string* error);
  void Shutdown();
  DeviceStatus State();
};

DeviceStatus Device::Impl::State() {
  DeviceStatus state;
  wire::Message request, reply;
  request.Add(wire::kRequestState);
  if (!Ask(request, reply, kReplyGraceMs) || !ParseState(reply, state)) return DeviceStatus{};
  return state;
}

namespace {

// What a rootless device differs in, said once by the process that became rootless (a program it
// starts, such as device-sim under a test, inherits the namespace and keeps quiet).
void SayHowRootless(unsigned int root_id, LimitKind memory, LimitKind processes) {
  static bool said = false;
  if (said || !CurrentSimulatorIds().entered) return;
  said = true;
  const std::string line = RootlessNotice(root_id, LimitKindName(memory), LimitKindName(processes));
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

Device::Device() : impl_(std::make_unique<Impl>()) {}

Device::~Device() { impl_->Shutdown(); }

void Device::Impl::Shutdown() {
  if (root_fd >= 0) ::close(root_fd);
  root_fd = -1;
  // init exits when its control socket closes; with PID 1 gone the kernel kills the rest of the
  // device, the keeper reaps init and exits, and the device's mounts go with its namespace.
  if (control >= 0) ::close(control);
  control = -1;
  if (keeper > 0) ReapWithin(keeper, kTeardownTimeoutMs);
  keeper = -1;
  alive = false;
  if (!root_dir.empty()) ::rmdir(root_dir.c_str());
  root_dir.clear();
}

std::unique_ptr<Device> Device::Create(const DeviceSpec& spec, std::string* error, bool* refused) {
  std::string ignored;
  bool ignored_refusal = false;
  if (error == nullptr) error = &ignored;
  if (refused == nullptr) refused = &ignored_refusal;
  *refused = true;
  if (::access("/proc/self/ns/user", F_OK) != 0) {
    *error =
        "/proc is not mounted here, and the device simulator needs it (mount -t proc proc /proc)";
    return nullptr;
  }
  // An ordinary user's process enters a user namespace of its own here, for good.
  if (!PrepareSimulatorIds(error)) return nullptr;
  *refused = false;
  Userland userland;
  if (!BuildUserland(spec, userland, error)) return nullptr;
  std::unique_ptr<Device> device(new Device());
  Impl& impl = *device->impl_;
  // The mount point of the root, in the keeper's namespace only; removed once the device holds
  // its root (within milliseconds), or at teardown.
  const char* tmpdir = std::getenv("TMPDIR");
  std::string root_dir = (tmpdir != nullptr && tmpdir[0] == '/' ? tmpdir : "/tmp");
  root_dir += "/qx-sim-XXXXXX";
  if (::mkdtemp(root_dir.data()) == nullptr) {
    *error = "cannot create " + root_dir + ": " + std::strerror(errno);
    return nullptr;
  }
  impl.root_dir = root_dir;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    *error = std::string("cannot create a socket pair: ") + std::strerror(errno);
    return nullptr;  // the destructor removes root_dir
  }
  KeeperPlan plan{&spec, &userland, impl.root_dir, pair[1], ::getpid()};
  impl.keeper = ::fork();
  if (impl.keeper == 0) {
    ::close(pair[0]);
    RunKeeper(plan);
  }
  ::close(pair[1]);
  impl.control = pair[0];
  if (impl.keeper < 0) {
    *error = std::string("cannot fork: ") + std::strerror(errno);
    return nullptr;
  }
  wire::Message ready;
  std::string kind, why;
  std::int64_t init = 0, memory = 0, processes = 0, root_id = 0;
  if (!WaitReadable(impl.control, kStartTimeoutMs) || !wire::ReceiveMessage(impl.control, ready) ||
      !ready.Next(kind)) {
    *error = "the device did not start";
    return nullptr;
  }
  if (kind != kKeeperReady || !ready.NextInt(init) || !ready.NextInt(memory) ||
      !ready.NextInt(processes) || !ready.NextInt(root_id)) {
    *refused = kind == kKeeperRefused;
    *error = ready.Next(why) ? why : "the device did not start";
    return nullptr;
  }
  impl.init = static_cast<pid_t>(init);
  impl.memory_limit = static_cast<LimitKind>(memory);
  impl.process_limit = static_cast<LimitKind>(processes);
  impl.root_id = static_cast<unsigned int>(root_id);
  impl.alive = true;
  const std::string root_link = "/proc/" + std::to_string(impl.init) + "/root";
  impl.root_fd = ::open(root_link.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (impl.root_fd < 0) {
    *error = "cannot open " + root_link + ": " + std::strerror(errno);
    return nullptr;
  }
  // The keeper has detached its mount of the root from this directory.
  if (::rmdir(impl.root_dir.c_str()) == 0) impl.root_dir.clear();
  // The ramdisk is init's own mount, in the device's mount namespace: what goes into it is
  // written now, through init's root.
  if (!WriteEntries(spec, userland, RootFs(impl.root_fd, DeviceRootOwner(impl.root_id)),
                    EntryPlace::kInRamdisk, error)) {
    return nullptr;
  }
  if (spec.announce_rootless) SayHowRootless(impl.root_id, impl.memory_limit, impl.process_limit);
  return device;
}

bool Device::Impl::Ask(const wire::Message& request, wire::Message& reply, long long timeout_ms) {
  if (!alive) return false;
  if (wire::SendMessage(control, request) && WaitReadable(control, timeout_ms) &&
      wire::ReceiveMessage(control, reply)) {
    return true;
  }
  // No answer: the device is beyond use. Kill it now rather than leave a stuck init behind.
  alive = false;
  if (keeper > 0) ::kill(keeper, SIGTERM);
  return false;
}

bool Device::Impl::AskWithTerminal(const wire::Message& request, wire::Message& reply,
                                   long long timeout_ms, std::string* error) {
  if (!alive) return false;
  TerminalRelay relay;
  if (!relay.Open(error)) return false;
  const bool sent = wire::SendMessage(control, request, relay.device_end());
  relay.CloseDeviceEnd();
  if (sent && relay.RelayUntil(control, timeout_ms) && wire::ReceiveMessage(control, reply)) {
    return true;
  }
  alive = false;
  if (keeper > 0) ::kill(keeper, SIGTERM);
  return false;
}

RunResult Device::Impl::Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                            const std::string& cwd, const std::vector<std::string>& extra_env,
                            bool terminal) {
  RunResult result;
  std::vector<std::string> env = {"PATH=/sbin:/usr/sbin:/bin:/usr/bin"};
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  wire::Message request;
  request.Add(wire::kRequestRun);
  request.AddInt(terminal ? 1 : 0);
  request.AddInt(timeout.count() < 0 ? 0 : static_cast<std::int64_t>(timeout.count()));
  request.Add(cwd);
  request.AddList(argv);
  request.AddList(env);
  wire::Message reply;
  std::string kind;
  std::int64_t started = 0, timed_out = 0, status = 0, rss = 0, duration = 0;
  const long long wait_ms = static_cast<long long>(timeout.count()) + kReplyGraceMs;
  const bool answered = terminal ? AskWithTerminal(request, reply, wait_ms, &result.error)
                                 : Ask(request, reply, wait_ms);
  if (!answered || !reply.Next(kind) || kind != wire::kReplyRun || !reply.NextInt(started) ||
      !reply.Next(result.error) || !reply.NextInt(timed_out) || !reply.NextInt(status) ||
      !reply.NextInt(rss) || !reply.NextInt(duration) || !reply.Next(result.output) ||
      !reply.NextList(result.trace)) {
    const std::string why = result.error;
    result = RunResult{};
    result.error = why.empty() ? "the device is gone (its init did not answer)" : why;
    return result;
  }
  for (std::size_t i = 0; i < result.trace.size(); ++i) {
    std::int64_t at = 0;
    (void)reply.NextInt(at);
    result.trace_times.emplace_back(at);
  }
  result.started = started != 0;
  result.timed_out = timed_out != 0;
  result.max_rss_kb = static_cast<long>(rss);
  result.duration = std::chrono::microseconds(duration);
  if (result.started) {
    const int raw = static_cast<int>(status);
    result.exited = WIFEXITED(raw);
    result.exit_status = result.exited ? WEXITSTATUS(raw) : -1;
    result.term_signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
  }
  return result;
}

RunResult Device::Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                      const std::string& cwd, const std::vector<std::string>& extra_env) {
  return impl_->Run(argv, timeout, cwd, extra_env, false);
}

RunResult Device::RunInteractive(const std::vector<std::string>& argv,
                                 std::chrono::milliseconds timeout,
                                 const std::vector<std::string>& extra_env) {
  return impl_->Run(argv, timeout, "/", extra_env, true);
}

bool Device::PowerCycle(std::string* error) {
  wire::Message request, reply;
  request.Add(wire::kRequestPowerCycle);
  std::string kind, why;
  std::int64_t ok = 0;
  if (!impl_->Ask(request, reply, kReplyGraceMs) || !reply.Next(kind) ||
      kind != wire::kReplyPowerCycle || !reply.NextInt(ok) || !reply.Next(why)) {
    why = "the device is gone (its init did not answer)";
  }
  if (ok != 0) return true;
  if (error != nullptr) *error = why;
  return false;
}

bool Device::Stop() {
  wire::Message request, reply;
  request.Add(wire::kRequestStop);
  std::string kind;
  return impl_->Ask(request, reply, kReadBackTimeoutMs) && reply.Next(kind) &&
         kind == wire::kReplyStop;
}

ReadBack Device::ReadBackFile(const std::string& path, std::uint64_t max_bytes) const {
  wire::Message request, reply;
  request.Add(wire::kRequestReadBack);
  request.Add(path);
  request.AddInt(static_cast<std::int64_t>(max_bytes));
  ReadBack back;
  std::string kind;
  std::int64_t size = 0;
  if (!impl_->Ask(request, reply, kReadBackTimeoutMs) || !reply.Next(kind) ||
      kind != wire::kReplyReadBack || !reply.Next(back.why_not) || !reply.Next(back.content) ||
      !reply.NextInt(size) || back.content.size() > max_bytes) {
    return {false, "the device is gone (its init did not answer)", {}, 0};
  }
  back.read = back.why_not.empty();
  back.size = static_cast<std::uint64_t>(size);
  return back;
}

int Device::InitPid() const { return impl_->init; }

unsigned int Device::RootHostId() const { return impl_->root_id; }

const char* Device::MemoryLimitKind() const { return LimitKindName(impl_->memory_limit); }

const char* Device::ProcessLimitKind() const { return LimitKindName(impl_->process_limit); }

std::map<std::string, int> Device::ServiceSignals() const { return impl_->State().services; }

std::vector<std::string> Device::RebootRecords() const { return impl_->State().reboot_records; }

std::vector<std::string> Device::SettledRebootRecords(std::chrono::milliseconds wait) const {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::vector<std::string> records = RebootRecords();
  while (records.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    records = RebootRecords();
  }
  return records;
}

bool Device::WatchdogProgramStarted() const { return impl_->State().watchdog_started; }

int Device::WatchdogProgramSignal() const { return impl_->State().watchdog_signal; }

bool Device::ReadFile(const std::string& path, std::string& content) const {
  return RootFs(impl_->root_fd).Read(path, content);
}

bool Device::WriteFile(const DeviceFile& file) {
  std::string error;
  return RootFs(impl_->root_fd, DeviceRootOwner(impl_->root_id)).WriteFile(file, &error);
}

bool Device::WriteFileFrom(const std::string& path, int host_fd, unsigned int mode,
                           std::string* error) {
  // Reopened through /proc/self/fd: the very file host_fd names, read from its start.
  return RootFs(impl_->root_fd, DeviceRootOwner(impl_->root_id))
      .CopyHostFile("/proc/self/fd/" + std::to_string(host_fd), path, mode, error);
}

bool Device::Exists(const std::string& path) const {
  struct stat st {};
  return Lstat(path, st);
}

bool Device::Lstat(const std::string& path, struct stat& st) const {
  return RootFs(impl_->root_fd).Lstat(path, st);
}

std::vector<std::string> Device::ListDir(const std::string& path) const {
  return RootFs(impl_->root_fd).List(path);
}

std::uint64_t Device::FreeSpace(const std::string& path) const {
  return RootFs(impl_->root_fd).FreeSpace(path);
}

namespace {

void Walk(const Device& device, const std::string& dir, const std::vector<std::string>& skip,
          std::map<std::string, struct stat>& out) {
  for (const std::string& name : device.ListDir(dir)) {
    const std::string path = (dir == "/" ? "" : dir) + "/" + name;
    struct stat st {};
    if (path == "/proc" || path == "/sys" || path == "/dev" || path == router::kRamdisk ||
        std::find(skip.begin(), skip.end(), path) != skip.end() || !device.Lstat(path, st)) {
      continue;
    }
    out[path] = st;
    if (S_ISDIR(st.st_mode)) Walk(device, path, skip, out);
  }
}

}  // namespace

std::map<std::string, struct stat> DeviceTree(const Device& device,
                                              const std::vector<std::string>& skip) {
  std::map<std::string, struct stat> tree;
  Walk(device, "/", skip, tree);
  return tree;
}

}  // namespace qx::sim
