// What a payload can do to the host side of device-sim: what it leaves for the read-back, its
// processes when device-sim ends, the terminal of `device-sim shell`, and the report. The
// hostile payload (hostile_payload.cpp) runs each attack, as an upgrade file's validator or as
// the command of `device-sim run`.
#include <dirent.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <utmp.h>

#include <cstring>
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

// Each payload but the last leaves a loop that keeps replacing the log after the upgrader has
// ended; the last writes 3 MiB into it. The run's timeout is 10 s: device-sim must end within
// 15, small, and with no host file's bytes in its report.
TEST(ReadBackTest, WhatTheDeviceLeavesCannotHangBloatOrLeakIntoTheReport) {
  EnterPrivateTmp();
  const std::string address = HostKernelAddress();
  const struct {
    const char* attack;
    const char* must_say;  // in the report
  } kCases[] = {
      {"log-zero", "not read: a symbolic link"},
      {"log-kallsyms-mount", "not read: a file of /proc or /sys"},
      {"log-fifo", "not read: not a regular file"},
      {"log-large", "; cut: its first 1048576 of 31"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.attack);
    const std::string file = HostileUpgradeFile(std::string("0 0 ") + c.attack);
    ASSERT_FALSE(file.empty());
    const ProgramOutcome run = RunProgram(
        {QX_DEVICE_SIM_PATH, "upgrade", file, "--timeout", "10"}, [] {}, seconds(15),
        kPeakRssCapKb);
    EXPECT_FALSE(run.stopped) << "device-sim ran over 15 s or " << kPeakRssCapKb << " kB";
    EXPECT_LT(run.peak_rss_kb, kPeakRssCapKb);
    const std::string shown = run.output.substr(0, 4000);
    EXPECT_NE(std::string::npos, run.output.find(c.must_say)) << shown;
    EXPECT_TRUE(address.empty() || run.output.find(address) == std::string::npos) << shown;
    EXPECT_EQ(std::string::npos, run.output.find(" T _stext")) << "kernel symbols in the report";
  }
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

// The pids below root, by the parent field of each /proc/PID/stat.
std::vector<pid_t> Descendants(pid_t root) {
  std::multimap<pid_t, pid_t> children;
  DIR* proc = ::opendir("/proc");
  while (const dirent* entry = proc != nullptr ? ::readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
    const std::string stat =
        pid > 0 ? HostFile(std::string("/proc/") + entry->d_name + "/stat") : "";
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string state;
    pid_t parent = 0;
    if (fields >> state >> parent) children.emplace(parent, pid);
  }
  if (proc != nullptr) ::closedir(proc);
  std::vector<pid_t> found = {root};
  for (std::size_t i = 0; i < found.size(); ++i) {
    const auto [first, last] = children.equal_range(found[i]);
    for (auto child = first; child != last; ++child) found.push_back(child->second);
  }
  found.erase(found.begin());
  return found;
}

// device-sim upgrade runs a payload that spins (and leaves a spinning child of a session of its
// own behind) under a timeout far beyond the test; it is ended from outside by a signal it
// could catch (the fidelity test kills an owner). Two seconds later nothing of the device is
// left: no process, no control group.
TEST(DeviceEndsWithSimTest, NothingOfTheDeviceOutlivesDeviceSim) {
  EnterPrivateTmp();
  const std::string file = HostileUpgradeFile("0 0 spin");
  ASSERT_FALSE(file.empty());
  Child sim([&] {
    const int null_fd = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null_fd, fd);
    ::execl(QX_DEVICE_SIM_PATH, "device-sim", "upgrade", "--timeout", "60", file.c_str(), nullptr);
    ::_exit(127);
  });
  std::vector<pid_t> spinning;
  for (int tries = 0; tries < 3000 && spinning.size() < 2; ++tries) {
    std::this_thread::sleep_for(milliseconds(10));
    spinning.clear();
    for (const pid_t pid : Descendants(sim.pid())) {
      if (HostFile("/proc/" + std::to_string(pid) + "/comm") == "qx-spin\n")
        spinning.push_back(pid);
    }
  }
  ASSERT_EQ(2u, spinning.size()) << "the payload did not start";
  std::vector<int> pidfds;
  for (const pid_t pid : Descendants(sim.pid())) {  // one already gone has no pidfd
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) pidfds.push_back(pidfd);
  }
  const std::string group = DeviceGroupName(spinning.front());
  // A rootless device has control groups only where the host delegated some to the user, and
  // none where no hierarchy is mounted (a chroot given a plain bind of /sys, say).
  const std::string mounts = HostFile("/proc/self/mountinfo");
  if (!CurrentSimulatorIds().rootless && (mounts.find(" - cgroup2 ") != std::string::npos ||
                                          mounts.find(" - cgroup ") != std::string::npos)) {
    EXPECT_FALSE(group.empty()) << "no control group of the device found";
  }
  ASSERT_EQ(0, ::kill(sim.pid(), SIGTERM));
  (void)sim.Wait();
  std::size_t left = 0;
  for (const int pidfd : pidfds) {
    if (!Ended(pidfd, 2000)) {
      ++left;
      (void)::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);  // not the next test's
    }
    ::close(pidfd);
  }
  EXPECT_EQ(0u, left) << "of " << pidfds.size() << " device processes still there";
  for (int tries = 0; tries < 100 && !group.empty() && GroupLeft(group); ++tries) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  EXPECT_TRUE(group.empty() || !GroupLeft(group)) << group;
}

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
  const unsigned int a = first->RootHostId(), b = second->RootHostId();
  EXPECT_GE(a > b ? a - b : b - a, 65536u) << "the ranges overlap";
  for (const Device* device : {first.get(), second.get()}) {
    const std::string status = HostFile("/proc/" + std::to_string(device->InitPid()) + "/status");
    EXPECT_NE(std::string::npos, status.find("\nUid:\t" + std::to_string(device->RootHostId())))
        << status;
  }
}

// device-sim shell relays through a pseudo-terminal of its own: a machine without /dev/pts
// mounted (a chroot given a plain bind of /dev) has none to give.
bool HostHasPseudoTerminals() {
  const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  return fd >= 0 && ::close(fd) == 0;
}

// A terminal with a host shell on it, as `script` gives one: the test types into its master and
// reads what the terminal shows from it.
class HostTerminal : public OutputReader {
 public:
  HostTerminal() : OutputReader(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd() < 0 || ::grantpt(fd()) != 0 || ::unlockpt(fd()) != 0) return;
    const std::string slave = ::ptsname(fd());
    shell_ = std::make_unique<Child>([slave] {
      if (::login_tty(::open(slave.c_str(), O_RDWR)) != 0) ::_exit(126);
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
