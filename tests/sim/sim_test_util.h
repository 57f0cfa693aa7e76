// Shared by the simulator's host-side tests.
#ifndef QX_TESTS_SIM_SIM_TEST_UTIL_H_
#define QX_TESTS_SIM_SIM_TEST_UTIL_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "gtest/gtest.h"
#include "sim/host/device.h"
#include "sim/host/rootless.h"
#include "tests/support/private_tmp.h"

namespace qx::sim::testing {

// A forked host process that runs body, then exits. It dies with the test (PDEATHSIG) and is
// killed and reaped on every path out of it, so that it cannot hold ctest's output pipe.
class Child {
 public:
  explicit Child(const std::function<void()>& body) : pid_(::fork()) {
    if (pid_ != 0) return;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    body();
    ::_exit(0);
  }
  ~Child() { Kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  bool Alive() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  void Kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    Wait();
  }
  int Wait() {  // the wait status
    int status = -1;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_;
};

struct ProgramOutcome {
  int status = -1;       // exit status, -1 when it did not exit
  std::string output;    // standard output and error
  bool stopped = false;  // killed by the watch: past its deadline or over its memory cap
  long peak_rss_kb = 0;  // the program's own peak resident set (VmHWM), sampled
};

// Runs a host program (no shell) and waits for it; prepare runs in the child before the exec.
// The program is killed once it runs longer than deadline or its resident set passes
// rss_cap_kb, so that a test of a hang or a runaway allocation ends either way.
inline ProgramOutcome RunProgram(
    const std::vector<std::string>& argv, const std::function<void()>& prepare = [] {},
    std::chrono::milliseconds deadline = std::chrono::hours(24), long rss_cap_kb = LONG_MAX) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ProgramOutcome outcome;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return outcome;
  const auto start = std::chrono::steady_clock::now();
  Child child([&] {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    prepare();
    ::execv(args[0], args.data());
    ::_exit(127);
  });
  ::close(fds[1]);
  (void)::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  const std::string status_path = "/proc/" + std::to_string(child.pid()) + "/status";
  for (bool open = true; open;) {
    pollfd pfd{fds[0], POLLIN, 0};
    (void)::poll(&pfd, 1, 10);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) outcome.output.append(buffer, n);
    if (n == 0) open = false;
    std::ifstream status(status_path);
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmHWM:", 0) == 0) {
        outcome.peak_rss_kb = std::max(outcome.peak_rss_kb, std::atol(line.c_str() + 6));
      }
    }
    if (open &&
        (std::chrono::steady_clock::now() - start > deadline || outcome.peak_rss_kb > rss_cap_kb)) {
      outcome.stopped = true;
      ::kill(child.pid(), SIGKILL);
      break;
    }
  }
  ::close(fds[0]);
  const int status = child.Wait();
  if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  return outcome;
}

// What a program writes into fd, read as it comes.
class OutputReader {
 public:
  explicit OutputReader(int fd) : fd_(fd) {}
  int fd() const { return fd_; }
  const std::string& seen() const { return seen_; }
  // Reads until text appears after what earlier waits consumed; false at the timeout or the end.
  bool WaitFor(const std::string& text,
               std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const std::size_t found = seen_.find(text, consumed_);
      if (found != std::string::npos) {
        consumed_ = found + text.size();
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 50) > 0 && !Read()) return false;
    }
  }
  const std::string& ReadToEnd() {
    while (Read()) {
    }
    return seen_;
  }

 private:
  bool Read() {  // false at the end
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) seen_.append(buffer, static_cast<std::size_t>(n));
    return n > 0;
  }

  int fd_;
  std::string seen_;
  std::size_t consumed_ = 0;
};

// What EnterPrivateTmp's fresh /tmp holds: a checkout under /tmp, bound back in, and $TMPDIR.
inline std::vector<std::string> kept_tmp_entries;

// For an ordinary user: the test joins the simulator's user namespace now (as Device::Create
// would), so that it may make namespaces and mounts of its own; the device-sim it starts shares
// it. Nothing for root.
inline bool AsSimulatorRoot() {
  std::string error;
  const bool ready = PrepareSimulatorIds(&error);
  EXPECT_TRUE(ready) << error;
  return ready;
}

// Moves the test into a mount namespace of its own with an empty /tmp of its own: what is made
// there goes with the test, whatever happens.
inline void EnterPrivateTmp() {
  std::string error;
  ASSERT_TRUE(AsSimulatorRoot());
  ASSERT_TRUE(::qx::test_support::EnterPrivateTmp(&error, &kept_tmp_entries, 0)) << error;
}

inline std::string HostFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// Whether a process (by its pidfd) has ended, waiting up to timeout_ms; a pidfd stays its
// process's however its pid is reused. With the PID namespace of a device's init, the whole
// device ends.
inline bool Ended(int pidfd, int timeout_ms) {
  pollfd ready{pidfd, POLLIN, 0};
  return pidfd >= 0 && ::poll(&ready, 1, timeout_ms) == 1;
}

// The name of the control group the simulator made for the device that process pid is in, ""
// where it made none (only rlimits); and whether one of that name is left anywhere on the host.
inline std::string DeviceGroupName(pid_t pid) {
  const std::string groups = HostFile("/proc/" + std::to_string(pid) + "/cgroup");
  const std::size_t at = groups.find("qx-sim-");
  return at == std::string::npos ? "" : groups.substr(at, groups.find('\n', at) - at);
}
inline bool GroupLeft(const std::string& name) {
  return RunProgram({"/usr/bin/find", "/sys/fs/cgroup", "-name", name}).output.find(name) !=
         std::string::npos;
}

// An upgrade file /tmp/ud1780000123-NAME.bin in the private /tmp (see EnterPrivateTmp): the
// host program validator as its validator, the kernel image (the validator's first argument) and
// the database holding the texts given; its path, or "" with the failure reported.
inline std::string UpgradeFileWith(const std::string& name, const std::string& validator,
                                   const std::string& kernel, const std::string& database) {
  std::ofstream("/tmp/kernel_image") << kernel;
  std::ofstream("/tmp/filesystem.db") << database;
  const std::string file = "/tmp/ud1780000123-" + name + ".bin";
  const ProgramOutcome created =
      RunProgram({QX_UDTOOL_PATH, "create", "--force", "-o", file, "--release-name", name,
                  "/tmp/kernel_image", "/tmp/kernel_image=bootloader.sb",
                  validator + "=fs-validator", "/tmp/kernel_image", "/tmp/filesystem.db"});
  EXPECT_EQ(0, created.status) << created.output;
  return created.status == 0 ? file : std::string();
}

// One whose validator is the hostile payload, with config as its first argument.
inline std::string HostileUpgradeFile(const std::string& config) {
  return UpgradeFileWith("hostile", QX_SIM_HOSTILE_PATH, config, config);
}

// One command line through the device's /bin/sh -c, as system() runs it.
inline RunResult Sh(Device& device, const std::string& command,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  return device.Run({"/bin/sh", "-c", command}, timeout);
}

}  // namespace qx::sim::testing

#endif  // QX_TESTS_SIM_SIM_TEST_UTIL_H_
