// The device's control groups: a memory limit and a process-count limit on the device as a
// whole, so that a runaway program ends at the device's limits, not the host's.
//
// The groups go into the unified (v2) hierarchy when it offers the memory and pids controllers,
// else into the v1 memory and pids hierarchies, each where it is mounted. A limit that no group
// can hold is left to rlimits, which init sets per process (see LimitKind).
#ifndef QX_SIM_HOST_CGROUP_H_
#define QX_SIM_HOST_CGROUP_H_

#include <cstdint>
#include <string>
#include <vector>

namespace qx::sim {

struct DeviceLimits {
  std::uint64_t memory_bytes = 0;
  std::uint64_t processes = 0;
};

// Where a limit is enforced: in a group of the device (the whole device), or only by an rlimit
// of each process (RLIMIT_AS for memory; RLIMIT_NPROC, per user, for processes).
enum class LimitKind { kCgroup2, kCgroup1, kRlimit };

const char* LimitKindName(LimitKind kind);  // "cgroup v2", "cgroup v1", "rlimit"

class DeviceCgroups {
 public:
  DeviceCgroups() = default;
  ~DeviceCgroups();  // closes descriptors; Remove() removes the groups
  DeviceCgroups(const DeviceCgroups&) = delete;
  DeviceCgroups& operator=(const DeviceCgroups&) = delete;

  // Creates the groups, each named name, beside or below the calling process's own groups, and
  // sets the limits. Reads /proc/self/mountinfo and /proc/self/cgroup, so call it with the
  // host's view of /proc and /sys.
  void Create(const DeviceLimits& limits, const std::string& name);

  // Moves the calling process into every group; the processes it starts afterwards stay there.
  bool Join(std::string* error) const;

  LimitKind memory() const { return memory_; }
  LimitKind processes() const { return processes_; }

  // Removes the groups once their processes are gone; waits up to two seconds for a group that
  // is still busy with exiting processes.
  void Remove();

 private:
  struct Group {
    int parent_fd = -1;  // the directory the group was made in
    int procs_fd = -1;   // its cgroup.procs, open for writing
    std::string name;
  };
  struct Setting {
    const char* file;
    std::string value;
    bool required;  // false: the group is kept when the file is missing (no swap accounting)
  };
  bool MakeGroup(const std::string& parent, const std::string& name,
                 const std::vector<Setting>& settings);

  std::vector<Group> groups_;
  LimitKind memory_ = LimitKind::kRlimit;
  LimitKind processes_ = LimitKind::kRlimit;
};

}  // namespace qx::sim

#endif  // QX_SIM_HOST_CGROUP_H_
