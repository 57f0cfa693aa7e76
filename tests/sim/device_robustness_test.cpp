// Whatever the program inside does, the device ends cleanly and leaves nothing on the host.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim/private_mounts.h"
#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

std::string HostFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The PID namespace of a host process, as the inode of /proc/<pid>/ns/pid; 0 when gone.
ino_t PidNamespaceOf(pid_t pid) {
  struct stat st {};
  return ::stat(("/proc/" + std::to_string(pid) + "/ns/pid").c_str(), &st) == 0 ? st.st_ino : 0;
}

// How many host processes live in that PID namespace.
int ProcessesIn(ino_t pid_namespace) {
  int count = 0;
  DIR* proc = ::opendir("/proc");
  while (const dirent* entry = proc != nullptr ? ::readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid > 0 && PidNamespaceOf(pid) == pid_namespace) ++count;
  }
  if (proc != nullptr) ::closedir(proc);
  return count;
}

// The kernel ends the device's processes asynchronously; the bound only ends a wait for a
// device that is never torn down.
bool EventuallyNone(ino_t pid_namespace) {
  for (int i = 0; i < 6000; ++i) {
    if (ProcessesIn(pid_namespace) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Kills and reaps a child on every path out of a test, failed assertions included: a child
// left behind holds ctest's output pipe and hangs the whole suite.
class ChildGuard {
 public:
  explicit ChildGuard(pid_t pid) : pid_(pid) {}
  ~ChildGuard() { Kill(); }
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void Release() { pid_ = -1; }  // reaped by the test itself

 private:
  pid_t pid_;
};

TEST(DeviceRobustnessTest, ProgramEndingsAreReported) {
  auto device = MakeDevice(DeviceSpec{});
  ASSERT_TRUE(device);
  const RunResult exited = device->Run({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_TRUE(exited.exited);
  EXPECT_EQ(3, exited.exit_status);
  EXPECT_EQ("out\nerr\n", exited.output);
  const RunResult crashed = device->Run({"/bin/sh", "-c", "kill -SEGV $$"});
  EXPECT_FALSE(crashed.exited);
  EXPECT_EQ(SIGSEGV, crashed.term_signal);
  const RunResult missing = device->Run({"/usr/bin/no-such-program"});
  EXPECT_FALSE(missing.started);
  EXPECT_EQ("cannot run /usr/bin/no-such-program: No such file or directory", missing.error);
  EXPECT_FALSE(device->Run({"/bin/true"}, std::chrono::seconds(5), "/no/dir").started);
}

TEST(DeviceRobustnessTest, HangingProgramIsKilledAtItsTimeoutAndNothingIsLeft) {
  char tmpdir[] = "/tmp/qx-sim-test-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(tmpdir));
  struct Remover {
    const char* dir;
    ~Remover() { ::rmdir(dir); }  // on every path; empty unless the device left something
  } remover{tmpdir};
  ASSERT_EQ(0, ::setenv("TMPDIR", tmpdir, 1));
  auto device = MakeDevice(WithProbe());
  ::unsetenv("TMPDIR");
  ASSERT_TRUE(device);
  const ino_t pid_namespace = PidNamespaceOf(device->InitPid());
  ASSERT_NE(0u, pid_namespace);
  ASSERT_TRUE(device->WriteFile({"/var/log/kept", "kept", std::nullopt, 0644, std::nullopt}));
  const auto start = std::chrono::steady_clock::now();
  const RunResult run =
      device->Run({kProbe, "/tmp/wdprog &", "sleep 1000"}, std::chrono::milliseconds(300));
  // Killed at its timeout, not after init's answer was given up (30 s later).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(run.timed_out);
  EXPECT_EQ(SIGKILL, run.term_signal);
  EXPECT_EQ(std::vector<std::string>({"/tmp/wdprog &", "sleep 1000"}), run.trace);
  // Every process of the device but init died with it; its files are still there to read.
  EXPECT_EQ(SIGKILL, device->ServiceSignals().at("service-manager"));
  EXPECT_EQ(1, ProcessesIn(pid_namespace));
  std::string kept;
  EXPECT_TRUE(device->ReadFile("/var/log/kept", kept));
  device.reset();
  EXPECT_EQ(0, ProcessesIn(pid_namespace));
  EXPECT_EQ(0, ::rmdir(tmpdir)) << "the device left something in its TMPDIR";
}

TEST(DeviceRobustnessTest, InterruptedOwnerTakesTheDeviceWithIt) {
  int pipe_fds[2];
  ASSERT_EQ(0, ::pipe2(pipe_fds, O_CLOEXEC));
  const pid_t owner = ::fork();
  if (owner == 0) {  // a test process that is killed while its device runs
    ::close(pipe_fds[0]);
    (void)::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    std::string error;
    auto device = Device::Create(DeviceSpec{}, &error);
    // Asking for the state waits until init has started the services.
    const int init = device && device->ServiceSignals().size() == 25 ? device->InitPid() : 0;
    (void)!::write(pipe_fds[1], &init, sizeof init);
    if (init == 0) ::_exit(1);  // no device: nothing to be killed with
    for (;;) ::pause();
  }
  ChildGuard guard(owner);
  ::close(pipe_fds[1]);
  int init = 0;
  const ssize_t got = ::read(pipe_fds[0], &init, sizeof init);
  ::close(pipe_fds[0]);
  ASSERT_EQ(static_cast<ssize_t>(sizeof init), got);
  ASSERT_GT(init, 0);
  const ino_t pid_namespace = PidNamespaceOf(init);
  EXPECT_EQ(26, ProcessesIn(pid_namespace));  // init and the 25 services
  guard.Kill();
  EXPECT_TRUE(EventuallyNone(pid_namespace));
}

TEST(DeviceRobustnessTest, TwoDevicesInParallelDoNotInterfere) {
  DeviceSpec a_spec = WithProbe();
  a_spec.board = "12\n";
  DeviceSpec b_spec = WithProbe();
  b_spec.board = "13\n";
  auto a = MakeDevice(a_spec);
  auto b = MakeDevice(b_spec);
  ASSERT_TRUE(a && b);
  RunResult a_run, b_run;
  std::thread a_thread([&] {
    a_run = RunCommands(*a, {"echo a > /tmp/mine", "pkill -9 snmpd", "sleep 0.2", "cat /tmp/mine"});
  });
  std::thread b_thread([&] {
    b_run = RunCommands(
        *b, {"echo b > /tmp/mine", "sleep 0.2", "cat /tmp/mine", "cat /sys/kernel/qxfc/board"});
  });
  a_thread.join();
  b_thread.join();
  EXPECT_EQ("0\n0\n0\na\n0\n", a_run.output);
  EXPECT_EQ("0\n0\nb\n0\n13\n0\n", b_run.output);
  EXPECT_EQ(4u, a_run.trace.size());
  EXPECT_EQ(SIGKILL, a->ServiceSignals().at("snmpd"));
  EXPECT_EQ(0, b->ServiceSignals().at("snmpd"));
}

// A plain chroot, as a freshly bootstrapped system is entered: its / is not a mount point, and
// the mount it lies on is shared (as a systemd host's root is), so that anything mounted on it
// would show outside. Made in a child's own mount namespace, where all of it vanishes; runs
// device-sim there. Returns device-sim's exit status, or 100+ when the set-up failed.
int DeviceSimInPlainChroot() {
  std::string error;
  if (::unshare(CLONE_NEWNS) != 0 || !MakeMountsPrivate("/tmp", &error) ||
      ::mount("qx-chroot", "/tmp", "tmpfs", 0, nullptr) != 0 ||
      ::mount(nullptr, "/tmp", nullptr, MS_SHARED, nullptr) != 0) {
    return 100;
  }
  const std::string root = "/tmp/root";
  const std::string device_sim = QX_DEVICE_SIM_PATH;
  const std::string build = device_sim.substr(0, device_sim.rfind("/sim/"));  // its helpers too
  bool ok = ::mkdir(root.c_str(), 0755) == 0;
  for (const std::string dir :
       {"/usr", "/etc", "/proc", "/tmp", "/bin", "/sbin", "/lib", "/lib64"}) {
    char target[256] = {};
    if (::readlink(dir.c_str(), target, sizeof target - 1) > 0) {  // merged /usr
      ok = ok && ::symlink(target, (root + dir).c_str()) == 0;
    } else if (::access(dir.c_str(), F_OK) == 0) {
      ok = ok && ::mkdir((root + dir).c_str(), 0755) == 0;
      if (dir != "/proc" && dir != "/tmp") {
        ok = ok &&
             ::mount(dir.c_str(), (root + dir).c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
      }
    }
  }
  ok = ok && ::system(("mkdir -p " + root + build).c_str()) == 0 &&
       ::mount(build.c_str(), (root + build).c_str(), nullptr, MS_BIND, nullptr) == 0 &&
       ::mount("proc", (root + "/proc").c_str(), "proc", 0, nullptr) == 0 &&
       ::mount("tmpfs", (root + "/tmp").c_str(), "tmpfs", 0, nullptr) == 0;
  if (!ok) return 101;
  const std::string before = HostFile("/proc/self/mountinfo");
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chroot(root.c_str()) == 0 && ::chdir("/") == 0) {
      ::execl(device_sim.c_str(), "device-sim", "run", "--quiet", "--", "/bin/sh", "-c",
              "echo inside", nullptr);
    }
    ::_exit(102);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 103;
  if (HostFile("/proc/self/mountinfo") != before) {
    std::printf("mounts propagated out of the chroot\n");
    return 104;
  }
  return WEXITSTATUS(status);
}

TEST(DeviceRobustnessTest, WorksInAPlainChrootWithoutMountingAnythingOutside) {
  int pipe_fds[2];
  ASSERT_EQ(0, ::pipe2(pipe_fds, O_CLOEXEC));
  const pid_t child = ::fork();
  if (child == 0) {
    (void)::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    ::dup2(pipe_fds[1], 1);
    ::dup2(pipe_fds[1], 2);
    const int status = DeviceSimInPlainChroot();
    std::fflush(stdout);
    ::_exit(status);
  }
  ChildGuard guard(child);
  ::close(pipe_fds[1]);
  std::string output;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  guard.Release();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << " " << output;
  EXPECT_EQ("inside\n", output);
}

}  // namespace
}  // namespace qx::sim::testing
