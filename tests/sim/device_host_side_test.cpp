// What a payload can do to the host side of device-sim: what it leaves for the read-back, its
// processes when device-sim ends, the terminal of `device-sim shell`, and the report. The
// hostile payload (hostile_payload.cpp) runs each attack, as an upgrade file's validator or as
// the command of `device-sim run`.
#include <dirent.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>
#include <set>
#include <thread>

#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr long kPeakRssCapKb = 64 * 1024;

// The host's own address of a kernel symbol, as host root reads it; "" where the kernel hides
// addresses even from root.
std::string HostKernelAddress() {
  std::string address;
  std::ifstream("/proc/kallsyms") >> address;
  return address.find_first_not_of('0') == std::string::npos ? std::string() : address;
}

struct ReadBackCase {
  const char* attack;
  const char* must_say;  // in the report
};

void PrintTo(const ReadBackCase& test, std::ostream* out) { *out << test.attack; }

class ReadBackTest : public ::testing::TestWithParam<ReadBackCase> {};

// Each payload but the last leaves a loop that keeps replacing the log after the upgrader has
// ended; the last writes 3 MiB into it. The run's timeout is 10 s: device-sim must end within
// 15, small, and with no host file's bytes in its report.
TEST_P(ReadBackTest, WhatTheDeviceLeavesCannotHangBloatOrLeakIntoTheReport) {
  EnterPrivateTmp();
  const std::string file = HostileUpgradeFile(std::string("0 0 ") + GetParam().attack);
  ASSERT_FALSE(file.empty());
  const ProgramOutcome run = RunWatched({QX_DEVICE_SIM_PATH, "upgrade", file, "--timeout", "10"},
                                        seconds(15), kPeakRssCapKb);
  EXPECT_FALSE(run.stopped) << "device-sim ran " << run.took.count() << " ms, peak RSS "
                            << run.peak_rss_kb << " kB";
  EXPECT_LT(run.peak_rss_kb, kPeakRssCapKb);
  const std::string shown = run.output.substr(0, 4000);
  EXPECT_NE(std::string::npos, run.output.find(GetParam().must_say)) << shown;
  const std::string address = HostKernelAddress();
  if (!address.empty()) {
    EXPECT_EQ(std::string::npos, run.output.find(address)) << shown;
  }
  EXPECT_EQ(std::string::npos, run.output.find(" T _stext")) << "kernel symbols in the report";
}

INSTANTIATE_TEST_SUITE_P(
    LogAttacks, ReadBackTest,
    ::testing::Values(ReadBackCase{"log-zero", "not read: a symbolic link"},
                      ReadBackCase{"log-kallsyms", "not read: a symbolic link"},
                      ReadBackCase{"log-kallsyms-mount", "not read: a file of /proc or /sys"},
                      ReadBackCase{"log-fifo", "not read: not a regular file"},
                      ReadBackCase{"log-large", "; cut: its first 1048576 of 31"}),
    [](const auto& test) {
      std::string name = test.param.attack;
      for (char& c : name) c = c == '-' ? '_' : c;
      return name;
    });

TEST(ReportTest, ControlCharactersFromTheLogAreEscapedInTextAndIntactInJson) {
  EnterPrivateTmp();
  const std::string file = HostileUpgradeFile("0 0 log-escape");
  ASSERT_FALSE(file.empty());
  const ProgramOutcome text = RunProgram({QX_DEVICE_SIM_PATH, "upgrade", file});
  EXPECT_NE(std::string::npos, text.output.find("^[]0;qx-owned^G^[[2J^[[31mred^M\n"))
      << text.output;
  EXPECT_EQ(std::string::npos, text.output.find('\x1b'));
  const ProgramOutcome json = RunProgram({QX_DEVICE_SIM_PATH, "upgrade", file, "--json"});
  EXPECT_NE(std::string::npos,
            json.output.find("\\u001b]0;qx-owned\\u0007\\u001b[2J\\u001b[31mred\\u000d\\n"))
      << json.output;
}

// The payload writes what the /bin/sh wrapper and the watchdog program write on the trace
// channel, the latter in another process's name. Whatever the report shows of it, it does not
// show it as the simulator's own finding, and no other process passes for the watchdog program.
TEST(ReportTest, ForgedTraceRecordsAreNotShownAsTheSimulatorsOwn) {
  const ProgramOutcome run = RunProgram(
      {QX_DEVICE_SIM_PATH, "run", "--copy", QX_SIM_HOSTILE_PATH ":/usr/bin/hostile", "--file",
       "/etc/hostile.conf=0 0 forge-trace", "--", "/usr/bin/hostile", "/etc/hostile.conf"});
  EXPECT_EQ(0, run.status) << run.output;
  std::istringstream lines(run.output);
  std::string heading;
  bool forged_seen = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("--- ", 0) == 0) heading = line;
    if (line.find("qx-forged-command") != std::string::npos) {
      forged_seen = true;
      EXPECT_NE(std::string::npos, heading.find("reported by the device")) << heading;
    }
    if (line.rfind("--- watchdog program", 0) == 0) {
      EXPECT_NE(std::string::npos, line.find("reported by the device")) << line;
      EXPECT_NE(std::string::npos, line.find("never started")) << line;
    }
  }
  EXPECT_TRUE(forged_seen) << run.output;
}

// A process by its start time, so that a reused pid is not taken for it.
struct Process {
  pid_t pid;
  std::string start;
  bool operator<(const Process& other) const { return pid < other.pid; }
};

// Fields 3 (state), 4 (parent) and 22 (start time) of /proc/PID/stat; false when it is gone.
bool StatOf(pid_t pid, std::string& state, pid_t& parent, std::string& start) {
  const std::string stat = HostFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 3) state = field;
    if (i == 4) parent = static_cast<pid_t>(std::atol(field.c_str()));
    if (i == 22) start = field;
  }
  return !start.empty();
}

// A zombie has left everything but its entry; only its parent's wait is missing.
bool StillThere(const Process& process) {
  pid_t parent = 0;
  std::string state, start;
  return StatOf(process.pid, state, parent, start) && start == process.start && state != "Z";
}

std::set<Process> Descendants(pid_t root) {
  std::map<pid_t, std::vector<Process>> children;
  DIR* proc = ::opendir("/proc");
  while (const dirent* entry = proc != nullptr ? ::readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
    pid_t parent = 0;
    std::string state, start;
    if (pid > 0 && StatOf(pid, state, parent, start)) children[parent].push_back({pid, start});
  }
  if (proc != nullptr) ::closedir(proc);
  std::set<Process> found;
  std::vector<pid_t> queue = {root};
  while (!queue.empty()) {
    const pid_t pid = queue.back();
    queue.pop_back();
    for (const Process& child : children[pid]) {
      if (found.insert(child).second) queue.push_back(child.pid);
    }
  }
  return found;
}

// The host directories of the device's control groups, as its processes' /proc/PID/cgroup
// name them (v2 lines "0::PATH", v1 lines "N:CONTROLLERS:PATH").
std::set<std::string> DeviceGroups(const std::set<Process>& processes) {
  std::set<std::string> groups;
  for (const Process& process : processes) {
    std::istringstream lines(HostFile("/proc/" + std::to_string(process.pid) + "/cgroup"));
    for (std::string line; std::getline(lines, line);) {
      const std::size_t first = line.find(':'), second = line.find(':', first + 1);
      if (second == std::string::npos || line.find("qx-sim-") == std::string::npos) continue;
      const std::string controllers = line.substr(first + 1, second - first - 1);
      const std::string path = line.substr(second + 1);
      std::vector<std::string> roots;
      if (controllers.empty()) roots = {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"};
      std::istringstream names(controllers);
      for (std::string name; std::getline(names, name, ',');)
        roots.push_back("/sys/fs/cgroup/" + name);
      for (const std::string& root : roots) {
        if (::access((root + path).c_str(), F_OK) == 0) groups.insert(root + path);
      }
    }
  }
  return groups;
}

struct EndCase {
  const char* route;  // "run" or "upgrade"
  int signal;
};

void PrintTo(const EndCase& test, std::ostream* out) {
  *out << test.route << " ended by SIG" << sigabbrev_np(test.signal);
}

class DeviceEndsWithSimTest : public ::testing::TestWithParam<EndCase> {};

// device-sim runs a payload that spins (and leaves a spinning child behind) under a timeout far
// beyond the test; it is ended from outside. Two seconds later nothing of the device is left.
TEST_P(DeviceEndsWithSimTest, NothingOfTheDeviceOutlivesDeviceSim) {
  EnterPrivateTmp();
  std::vector<std::string> argv = {QX_DEVICE_SIM_PATH, GetParam().route, "--timeout", "60"};
  if (std::string(GetParam().route) == "upgrade") {
    const std::string file = HostileUpgradeFile("0 0 spin");
    ASSERT_FALSE(file.empty());
    argv.push_back(file);
  } else {
    argv.insert(argv.end(),
                {"--copy", QX_SIM_HOSTILE_PATH ":/usr/bin/hostile", "--file",
                 "/etc/hostile.conf=0 0 spin", "--", "/usr/bin/hostile", "/etc/hostile.conf"});
  }
  Child sim([&] {
    const int null_fd = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null_fd, fd);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  });
  std::set<Process> device;
  int spinning = 0;
  for (int tries = 0; tries < 3000 && spinning < 2; ++tries) {
    std::this_thread::sleep_for(milliseconds(10));
    device = Descendants(sim.pid());
    spinning = 0;
    for (const Process& process : device) {
      spinning += HostFile("/proc/" + std::to_string(process.pid) + "/comm") == "qx-spin\n";
    }
  }
  ASSERT_EQ(2, spinning) << "the payload did not start";
  const std::set<std::string> groups = DeviceGroups(device);
  // A rootless device has control groups only where the host delegated some to the user, and
  // none where no hierarchy is mounted (a chroot given a plain bind of /sys, say).
  const std::string mounts = HostFile("/proc/self/mountinfo");
  const bool host_has_groups = mounts.find(" - cgroup2 ") != std::string::npos ||
                               mounts.find(" - cgroup ") != std::string::npos;
  if (!CurrentSimulatorIds().rootless && host_has_groups) {
    EXPECT_FALSE(groups.empty()) << "no control group of the device found";
  }
  ASSERT_EQ(0, ::kill(sim.pid(), GetParam().signal));
  (void)sim.Wait();
  const auto deadline = std::chrono::steady_clock::now() + seconds(2);
  std::vector<Process> left;
  std::vector<std::string> groups_left;
  do {
    std::this_thread::sleep_for(milliseconds(20));
    left.clear();
    groups_left.clear();
    for (const Process& process : device) {
      if (StillThere(process)) left.push_back(process);
    }
    for (const std::string& group : groups) {
      if (::access(group.c_str(), F_OK) == 0) groups_left.push_back(group);
    }
  } while ((!left.empty() || !groups_left.empty()) && std::chrono::steady_clock::now() < deadline);
  EXPECT_TRUE(left.empty()) << left.size() << " of " << device.size()
                            << " device processes still there, e.g. pid " << left.front().pid;
  EXPECT_TRUE(groups_left.empty()) << groups_left.front();
  for (const Process& process : left) ::kill(process.pid, SIGKILL);  // not the next test's
}

INSTANTIATE_TEST_SUITE_P(Signals, DeviceEndsWithSimTest,
                         ::testing::Values(EndCase{"run", SIGKILL}, EndCase{"upgrade", SIGINT},
                                           EndCase{"run", SIGTERM}, EndCase{"upgrade", SIGHUP}),
                         [](const auto& test) {
                           return std::string(test.param.route) + "_" +
                                  sigabbrev_np(test.param.signal);
                         });

// The services are forks of init, whose binary is a host file: the device sees neither its
// host path nor its bytes through /proc/PID/exe (nor init's).
TEST(DeviceViewTest, NoHostBinaryShowsThroughTheServicesExe) {
  std::string error;
  const std::unique_ptr<Device> device = Device::Create(DeviceSpec{}, &error);
  ASSERT_NE(nullptr, device) << error;
  const RunResult run = Sh(*device,
                           "for p in 1 $(pidof rsyslogd) $(pidof service-manager); do"
                           "  readlink /proc/$p/exe && echo \"$p: exe shown\";"
                           "  head -c 4 /proc/$p/exe >/dev/null 2>&1 && echo \"$p: exe read\";"
                           "done; exit 0");
  ASSERT_TRUE(run.exited) << run.error;
  EXPECT_EQ(std::string::npos, run.output.find("exe shown")) << run.output;
  EXPECT_EQ(std::string::npos, run.output.find("exe read")) << run.output;
}

// Two live devices: each root is a host id of its own, as the kernel's per-user accounting
// sees it (/proc/PID/status of each init, from the host).
TEST(DeviceViewTest, LiveDevicesHaveHostIdRangesOfTheirOwn) {
  ASSERT_TRUE(AsSimulatorRoot());
  if (DeviceIdRangeCount() < 2) {
    GTEST_SKIP() << "rootless with fewer than 2 x 65536 subordinate ids: live devices share ids";
  }
  std::string error;
  const std::unique_ptr<Device> first = Device::Create(DeviceSpec{}, &error);
  ASSERT_NE(nullptr, first) << error;
  const std::unique_ptr<Device> second = Device::Create(DeviceSpec{}, &error);
  ASSERT_NE(nullptr, second) << error;
  const auto uid_line = [](const Device& device) {
    std::istringstream status(HostFile("/proc/" + std::to_string(device.InitPid()) + "/status"));
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Uid:", 0) == 0) return line;
    }
    return std::string();
  };
  ASSERT_FALSE(uid_line(*first).empty());
  EXPECT_NE(uid_line(*first), uid_line(*second));
  const unsigned int a = first->RootHostId(), b = second->RootHostId();
  EXPECT_GE(a > b ? a - b : b - a, 65536u) << "the ranges overlap";
  EXPECT_NE(std::string::npos, uid_line(*first).find("\t" + std::to_string(a) + "\t"));
}

// device-sim shell relays through a pseudo-terminal of its own: a machine without /dev/pts
// mounted (a chroot given a plain bind of /dev) has none to give.
bool HostHasPseudoTerminals() {
  const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// A terminal with a host shell on it, as `script` gives one: the test types into its master and
// reads what the terminal shows from it.
class HostTerminal : public OutputReader {
 public:
  HostTerminal() : OutputReader(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd() < 0 || ::grantpt(fd()) != 0 || ::unlockpt(fd()) != 0) return;
    const std::string slave = ::ptsname(fd());
    shell_ = std::make_unique<Child>([slave] {
      (void)::setsid();
      const int fd = ::open(slave.c_str(), O_RDWR);
      (void)::ioctl(fd, TIOCSCTTY, 0);
      for (int i = 0; i < 3; ++i) ::dup2(fd, i);
      char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-i"), nullptr};
      char* env[] = {const_cast<char*>("PS1=host$ "), const_cast<char*>("PATH=/usr/bin:/bin"),
                     nullptr};
      ::execve("/bin/sh", argv, env);
      ::_exit(127);
    });
  }
  ~HostTerminal() {
    if (fd() >= 0) ::close(fd());
  }
  bool ok() const { return shell_ != nullptr; }
  void Type(const std::string& text) { (void)!::write(fd(), text.data(), text.size()); }

 private:
  std::unique_ptr<Child> shell_;
};

// The probe pushes "exit" and a command into its terminal with TIOCSTI. Given the host's
// terminal, the device's shell would read the exit and the host's shell the command.
TEST(ShellTerminalTest, InputPushedByTheDeviceNeverReachesTheHostShell) {
  if (!HostHasPseudoTerminals()) GTEST_SKIP() << "no pseudo-terminals (/dev/pts not mounted)";
  EnterPrivateTmp();
  HostTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  ASSERT_TRUE(terminal.WaitFor("host$ ")) << terminal.seen();
  terminal.Type(std::string(QX_DEVICE_SIM_PATH) + " shell --no-services --copy " +
                QX_SIM_HOSTILE_PATH + ":/usr/bin/hostile --file '/etc/hostile.conf=0 0 tiocsti'\n");
  ASSERT_TRUE(terminal.WaitFor("router# ")) << terminal.seen();
  terminal.Type("/usr/bin/hostile /etc/hostile.conf; echo probe-$?\n");
  ASSERT_TRUE(terminal.WaitFor("probe-0")) << "TIOCSTI failed in the device: " << terminal.seen();
  ASSERT_TRUE(terminal.WaitFor("host$ ")) << terminal.seen();
  terminal.Type("echo qx-done-$((6*7))\n");
  ASSERT_TRUE(terminal.WaitFor("qx-done-42")) << terminal.seen();
  terminal.Type("exit\n");
  EXPECT_NE(0, ::access("/tmp/qx-tiocsti-ran", F_OK)) << "the host shell ran the device's input";
}

// Commands piped into the shell run, and the end of the pipe ends it (and a program that
// reads its input on the way), as with a terminal's Ctrl-D.
TEST(ShellTerminalTest, PipedCommandsRunAndTheEndOfInputEndsTheShell) {
  if (!HostHasPseudoTerminals()) GTEST_SKIP() << "no pseudo-terminals (/dev/pts not mounted)";
  const ProgramOutcome run = RunProgram({QX_DEVICE_SIM_PATH, "shell", "--no-services"}, [] {
    int fds[2];
    const std::string input = "echo qx-$((6*7))\ncat\nread-by-cat\n";
    if (::pipe(fds) != 0 || ::write(fds[1], input.data(), input.size()) < 0) ::_exit(99);
    ::close(fds[1]);
    ::dup2(fds[0], 0);
    ::alarm(30);  // a shell that waits for more ends here, and its device with it
  });
  EXPECT_EQ(0, run.status) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("qx-42")) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("read-by-cat")) << run.output;
}

}  // namespace
}  // namespace qx::sim::testing
