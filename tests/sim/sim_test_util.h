// Shared by the simulator's host-side tests.
#ifndef QX_TESTS_SIM_SIM_TEST_UTIL_H_
#define QX_TESTS_SIM_SIM_TEST_UTIL_H_

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "gtest/gtest.h"
#include "sim/device.h"
#include "sim/private_mounts.h"

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
  int status = -1;     // exit status, -1 when it did not exit
  std::string output;  // standard output and error
};

// Runs a host program (no shell) and waits for it; prepare runs in the child before the exec.
inline ProgramOutcome RunProgram(
    const std::vector<std::string>& argv, const std::function<void()>& prepare = [] {}) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ProgramOutcome outcome;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return outcome;
  Child child([&] {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    prepare();
    ::execv(args[0], args.data());
    ::_exit(127);
  });
  ::close(fds[1]);
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    outcome.output.append(buffer, n);
  ::close(fds[0]);
  const int status = child.Wait();
  if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  return outcome;
}

// Moves the test into a mount namespace of its own with an empty /tmp of its own: what is made
// there goes with the test, whatever happens.
inline void EnterPrivateTmp() {
  std::string error;
  ASSERT_TRUE(::unshare(CLONE_NEWNS) == 0 && MakeMountsPrivate("/tmp", &error) &&
              ::mount("qx-test-tmp", "/tmp", "tmpfs", 0, "size=64m") == 0)
      << error;
}

inline std::string HostFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// One command line through the device's /bin/sh -c, as system() runs it.
inline RunResult Sh(Device& device, const std::string& command,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  return device.Run({"/bin/sh", "-c", command}, timeout);
}

}  // namespace qx::sim::testing

#endif  // QX_TESTS_SIM_SIM_TEST_UTIL_H_
