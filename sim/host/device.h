// The device simulator: a throwaway router in Linux namespaces.
//
// A Device is a fresh tmpfs root (its size sets the free space that statvfs("/") reports
// inside), populated like the router (busybox userland, /tmp/ramdisk tmpfs with its fstab line,
// /proc with the configured kernel banner, the board identity file, the 25 services running as
// real processes) and made the root of its own mount namespace with pivot_root. Its processes
// run as root of their own user namespace, which is an unprivileged id range of the host, one of
// its own (from wire::kDeviceRootHostId up; for an ordinary user, from the user's subordinate
// ids, see sim/host/rootless.h): every capability over the device, none over the host.
// The device has its own PID, UTS, IPC, network (loopback only) and cgroup namespaces, and a
// memory and a process-count limit. Programs run inside it; everything they do stays inside;
// the Device's destructor kills the whole PID namespace and leaves nothing behind on the host.
//
// Run by an ordinary user, the process enters a user namespace of its own at the first Create
// and stays there (sim/host/rootless.h). Nothing here ever touches the host's own device paths.
// Where the machine cannot isolate a device (no user or network namespaces, say), Create refuses:
// there is no weaker fallback.
#ifndef QX_SIM_HOST_DEVICE_H_
#define QX_SIM_HOST_DEVICE_H_

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/host/router_profile.h"

namespace qx::sim {

// The file that only the simulator creates in a device root. Test binaries that touch fixed
// device paths refuse to run unless it exists (see sim/inside/device_guard.h).
constexpr const char kDeviceMarker[] = "/.qx-device-sim";

struct DeviceFile {
  std::string path;                   // absolute device path; parent directories are created
  std::string content;                // written as is, unless size is set
  std::optional<std::uint64_t> size;  // write this many real bytes (not sparse) instead
  unsigned int mode = 0644;
  std::optional<std::int64_t> mtime;  // seconds since the epoch; default: creation time
};

struct DeviceSymlink {
  std::string path;    // absolute device path of the link
  std::string target;  // link content, as is
};

struct HostBinary {
  std::string host_path;    // a host executable (static, or dynamic: its loader and libraries
  std::string device_path;  // are copied in too, as ldd names them)
};

enum class ProcVersion { kBanner, kUnreadable, kAbsent };

struct DeviceSpec {
  std::uint64_t root_size = 64ull << 20;     // bytes of the root tmpfs
  std::uint64_t ramdisk_size = 32ull << 20;  // bytes of the /tmp/ramdisk tmpfs
  ProcVersion proc_version = ProcVersion::kBanner;
  std::string kernel_banner = router::kKernelBanner;
  std::optional<std::string> board = std::string(router::kBoard);  // nullopt: no board file at all
  bool start_services = true;                                      // the 25 stop-list services
  std::vector<DeviceFile> files;
  std::vector<std::string> directories;  // absolute device paths, created with parents, 0755
  std::vector<DeviceSymlink> symlinks;
  std::vector<HostBinary> binaries;
  // Limits on the device as a whole (in control groups where the host has them, else per
  // process: see DeviceCgroups): bytes of memory, its tmpfs pages included, and processes.
  std::uint64_t memory_limit = 256ull << 20;
  std::uint64_t process_limit = 512;
  // Rootless, the process that entered the simulator's user namespace says once on standard
  // error how its devices differ; false keeps that standard error the program's alone.
  bool announce_rootless = true;
};

// One program run inside a device.
struct RunResult {
  bool started = false;  // false: could not run at all; see error
  std::string error;
  bool timed_out = false;  // killed (with the whole device) at the timeout
  bool exited = false;     // true: exit_status is valid; false: killed by term_signal
  int exit_status = -1;
  int term_signal = 0;
  std::string output;  // the program's standard output and standard error, interleaved
  // Every command line run through /bin/sh -c during this run (system(), popen()), in order,
  // byte for byte, multi-line commands whole.
  std::vector<std::string> trace;
  // When init received each trace entry, since the run started (same length as trace).
  std::vector<std::chrono::microseconds> trace_times;
  std::chrono::microseconds duration{0};  // from the start of the program to its end
  long max_rss_kb = 0;                    // the program's peak resident set (wait4's ru_maxrss)
};

// A device file as the device's own root read it for the host side (Device::ReadBackFile).
struct ReadBack {
  bool read = false;
  std::string why_not;  // when not read: "a symbolic link", "not a regular file", ...
  std::string content;  // at most the bytes asked for
  std::uint64_t size = 0;
  bool cut() const { return read && size > content.size(); }
};

class Device {
 public:
  // Builds and starts a device. On failure returns nullptr and says why in *error; *refused
  // (when given) tells a machine that cannot isolate a device (the message names what is
  // missing) from any other failure.
  // Forks: call it from a single-threaded process (or before starting other threads). The
  // device dies with the thread that created it.
  static std::unique_ptr<Device> Create(const DeviceSpec& spec, std::string* error,
                                        bool* refused = nullptr);
  ~Device();  // kills every process of the device, unmounts, removes its host directories
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Runs argv[0] (a device path, or a name looked up in the PATH) inside the device with the given
  // working directory, as root, and waits for it, at most timeout. The environment is
  // PATH=/sbin:/usr/sbin:/bin:/usr/bin plus extra_env ("NAME=value"). A timeout kills the device's
  // processes.
  RunResult Run(const std::vector<std::string>& argv,
                std::chrono::milliseconds timeout = std::chrono::seconds(60),
                const std::string& cwd = "/", const std::vector<std::string>& extra_env = {});

  // As Run, but for an interactive program: it gets a pseudo-terminal of its own, in a session
  // of its own, which this process relays to its own standard input and output (raw meanwhile,
  // when standard input is a terminal; see TerminalRelay). RunResult::output stays empty.
  RunResult RunInteractive(const std::vector<std::string>& argv,
                           std::chrono::milliseconds timeout = std::chrono::hours(24),
                           const std::vector<std::string>& extra_env = {});

  // Cuts the power and switches it on again: every process of the device dies at once, every
  // mount made inside the device (the ramdisk, and whatever was stacked on it) goes, the ramdisk
  // comes back empty if /etc/fstab still has its line, and the services start again. The root
  // file system stays exactly as it was: the simulator keeps no page cache of its own, so data
  // written but not yet synced is not lost the way it can be on the router. Reboot records and
  // the watchdog program's state start afresh. False, with the reason in *error, when the device
  // could not be brought up again.
  bool PowerCycle(std::string* error = nullptr);

  // The PID of the device's init in the host's PID namespace (for diagnostics and tests).
  int InitPid() const;

  // Device root's id as this process sees it: the first of the device's own range of host ids
  // (no other live device has them). Rootless, an id of the simulator's user namespace (see
  // sim/host/rootless.h for the host's).
  unsigned int RootHostId() const;

  // How the memory and process limits are enforced: "cgroup v2" or "cgroup v1" (for the
  // device as a whole), or "rlimit" (per process).
  const char* MemoryLimitKind() const;
  const char* ProcessLimitKind() const;

  // How each service ended so far: name -> signal number that killed it, 0 while it runs,
  // -1 if it exited by itself.
  std::map<std::string, int> ServiceSignals() const;

  // What the reboot command did: one record per start of the busybox `watchdog` applet against
  // the device's /dev/watchdog, e.g. "watchdog /dev/watchdog -T 5".
  std::vector<std::string> RebootRecords() const;
  // The same once the reboot had time to come: the applet detaches, so its open of the watchdog
  // node can come just after the program that issued it returned. Waits up to `wait` for a first
  // record.
  std::vector<std::string> SettledRebootRecords(
      std::chrono::milliseconds wait = std::chrono::seconds(3)) const;

  // The watchdog program offered at kWatchdogProgram: whether it was started, and the signal
  // that ended it (0 while it runs or if it never ran).
  bool WatchdogProgramStarted() const;
  int WatchdogProgramSignal() const;
  static constexpr const char kWatchdogProgram[] = "/tmp/wdprog";

  // Ends every process of the device but its init (the services too), so that nothing in it
  // can change its files any more; for reading back what an untrusted program left. Programs
  // may be run again afterwards. False when init did not answer within a few seconds.
  bool Stop();

  // Reads a device file for showing it on the host: inside the device, with device root's
  // credentials, never through a final symbolic link, only a regular file and not one of /proc
  // or /sys, at most max_bytes of it. Answers within a few seconds whatever the device left
  // there. Meant for a stopped device (Stop): otherwise the file may change under the read.
  ReadBack ReadBackFile(const std::string& path, std::uint64_t max_bytes) const;

  // The device's files, from the host side (through the device's own root, never a host path),
  // with the host's privileges: for devices whose programs are trusted (tests), not for showing
  // what an untrusted program left (ReadBackFile).
  bool ReadFile(const std::string& path, std::string& content) const;
  bool WriteFile(const DeviceFile& file);
  // Copies the regular host file open at host_fd, from its start to its end, into a new device
  // file at path (as device root, with mode), in kernel copies: never held in memory. False,
  // with the reason in *error, when it could not be copied whole.
  bool WriteFileFrom(const std::string& path, int host_fd, unsigned int mode, std::string* error);
  bool Exists(const std::string& path) const;  // lstat succeeds
  bool Lstat(const std::string& path, struct stat& st) const;
  std::vector<std::string> ListDir(const std::string& path) const;  // sorted names, no . and ..
  std::uint64_t FreeSpace(const std::string& path = "/") const;     // f_bavail * f_bsize

 private:
  Device();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Every path of the device's root file system with its lstat, from the host side: what a run
// left or removed. The mounts of a running device (/proc, /sys, /dev and the ramdisk) and the
// paths in `skip` are left out with everything under them.
std::map<std::string, struct stat> DeviceTree(const Device& device,
                                              const std::vector<std::string>& skip = {});

}  // namespace qx::sim

#endif  // QX_SIM_HOST_DEVICE_H_
