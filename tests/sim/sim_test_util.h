// Shared by the simulator's host-side tests.
#ifndef QX_TESTS_SIM_SIM_TEST_UTIL_H_
#define QX_TESTS_SIM_SIM_TEST_UTIL_H_

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sim/device.h"

namespace qx::sim::testing {

// A host process with the given name (comm) that only waits: the canary a device tries to
// kill. It dies with the test, on every path.
class CanaryProcess {
 public:
  explicit CanaryProcess(const char* name) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_NAME, name, 0, 0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
      for (;;) ::pause();
    }
  }
  ~CanaryProcess() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  CanaryProcess(const CanaryProcess&) = delete;
  CanaryProcess& operator=(const CanaryProcess&) = delete;
  pid_t pid() const { return pid_; }
  bool Alive() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_;
};

struct ProgramOutcome {
  int status = -1;     // exit status, -1 when it did not exit
  std::string output;  // standard output and error
};

// Runs a host program (no shell) and waits for it.
inline ProgramOutcome RunProgram(const std::vector<std::string>& argv) {
  ProgramOutcome outcome;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return outcome;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    outcome.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  if (spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    outcome.status = WEXITSTATUS(status);
  }
  return outcome;
}

constexpr const char kProbe[] = "/usr/bin/probe";  // sim_probe inside the device

// The spec with the probe copied in.
inline DeviceSpec WithProbe(DeviceSpec spec = {}) {
  spec.binaries.push_back({QX_SIM_PROBE_PATH, kProbe});
  return spec;
}

inline std::unique_ptr<Device> MakeDevice(const DeviceSpec& spec) {
  std::string error;
  std::unique_ptr<Device> device = Device::Create(spec, &error);
  EXPECT_NE(nullptr, device) << error;
  return device;
}

// Runs the commands through system() inside, in order (the probe).
inline RunResult RunCommands(Device& device, const std::vector<std::string>& commands) {
  std::vector<std::string> argv{kProbe};
  argv.insert(argv.end(), commands.begin(), commands.end());
  return device.Run(argv, std::chrono::seconds(30));
}

// One shell command line inside, output returned.
inline std::string Shell(Device& device, const std::string& command) {
  const RunResult result = device.Run({"/bin/sh", "-c", command}, std::chrono::seconds(30));
  EXPECT_TRUE(result.started) << result.error;
  return result.output;
}

}  // namespace qx::sim::testing

#endif  // QX_TESTS_SIM_SIM_TEST_UTIL_H_
