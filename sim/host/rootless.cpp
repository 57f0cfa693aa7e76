#include "sim/host/rootless.h"

#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "sim/common/wire.h"

namespace qx::sim {
namespace {

SimulatorIds g_ids;
bool g_settled = false;

struct IdMapLine {
  unsigned long inside = 0, outside = 0, count = 0;
};

std::vector<IdMapLine> ReadIdMap(const char* path) {
  std::vector<IdMapLine> lines;
  std::ifstream in(path);
  IdMapLine line;
  while (in >> line.inside >> line.outside >> line.count) lines.push_back(line);
  return lines;
}

// The ids 1..N mapped without a gap, and the host id of 1; N == 0 when 1 is not mapped.
unsigned long SpareIds(const std::vector<IdMapLine>& map, unsigned long* host_first) {
  for (const IdMapLine& line : map) {
    if (line.inside <= 1 && 1 < line.inside + line.count) {
      if (host_first != nullptr) *host_first = line.outside + (1 - line.inside);
      return std::min<unsigned long>(line.inside + line.count - 1, 0xfffffffeul);
    }
  }
  return 0;
}

unsigned long HostIdOfRoot(const std::vector<IdMapLine>& map) {
  for (const IdMapLine& line : map) {
    if (line.inside == 0 && line.count > 0) return line.outside;
  }
  return 0;
}

// Reads the namespace's maps into g_ids (rootless).
void SettleFromMaps() {
  const std::vector<IdMapLine> uids = ReadIdMap("/proc/self/uid_map");
  const std::vector<IdMapLine> gids = ReadIdMap("/proc/self/gid_map");
  unsigned long first = 0;
  const unsigned long spare = std::min(SpareIds(uids, &first), SpareIds(gids, nullptr));
  g_ids.rootless = true;
  g_ids.spare = static_cast<unsigned int>(spare);
  g_ids.host_uid = static_cast<unsigned int>(HostIdOfRoot(uids));
  g_ids.host_first_spare_uid = static_cast<unsigned int>(first);
}

bool IsHostsOwnNamespace() {
  const std::vector<IdMapLine> uids = ReadIdMap("/proc/self/uid_map");
  return uids.size() == 1 && uids[0].inside == 0 && uids[0].outside == 0 &&
         uids[0].count == 4294967295ul;
}

struct Subordinate {
  unsigned long start = 0, count = 0;
};

// The first range of /etc/subuid or /etc/subgid ("name:start:count") for the user, by name or id.
Subordinate FindSubordinate(const char* file, const std::string& name, unsigned int id) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string who, start, count;
    if (!std::getline(fields, who, ':') || !std::getline(fields, start, ':') ||
        !std::getline(fields, count) || (who != name && who != std::to_string(id))) {
      continue;
    }
    char* end = nullptr;
    Subordinate range;
    range.start = std::strtoul(start.c_str(), &end, 10);
    if (end == start.c_str() || *end != '\0') continue;
    range.count = std::strtoul(count.c_str(), &end, 10);
    if (end == count.c_str() || *end != '\0' || range.count == 0) continue;
    return range;
  }
  return {};
}

std::string UserName(uid_t uid) {
  passwd entry{}, *found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return "";
  return entry.pw_name;
}

const char* FindHelper(const char* name) {
  static const char* const kDirs[] = {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"};
  static std::string found;
  for (const char* dir : kDirs) {
    found = std::string(dir) + name;
    if (::access(found.c_str(), X_OK) == 0) return found.c_str();
  }
  return nullptr;
}

bool RunAndWait(const std::vector<std::string>& argv) {
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool WriteText(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const bool written = fd >= 0 && wire::WriteAll(fd, text.data(), text.size());
  if (fd >= 0) ::close(fd);
  return written;
}

std::string NoNamespace() {
  return std::string("no user namespace for the simulator (unshare CLONE_NEWUSER): ") +
         std::strerror(errno) +
         "; as an ordinary user it needs unprivileged user namespaces (sysctl "
         "user.max_user_namespaces > 0, not forbidden by a container or seccomp), a "
         "single-threaded process and no chroot (the kernel refuses a chrooted process one), or "
         "run it as root";
}

// The namespace with 0 -> uid and 1..N -> the subordinate ranges, mapped by the set-id helpers
// from a child that stays in the host's namespace (set-id programs cannot gain their owner's
// ids in a namespace that maps none of them).
bool EnterWithSubordinateIds(const char* newuidmap, const char* newgidmap, const Subordinate& uids,
                             const Subordinate& gids, std::string* error) {
  const unsigned long count = std::min(uids.count, gids.count);
  const std::string pid = std::to_string(::getpid()), uid = std::to_string(::getuid());
  const auto map_args = [&pid, count](const char* helper, unsigned int own, unsigned long first) {
    return std::vector<std::string>{helper,
                                    pid,
                                    "0",
                                    std::to_string(own),
                                    "1",
                                    "1",
                                    std::to_string(first),
                                    std::to_string(count)};
  };
  const std::vector<std::string> uid_args = map_args(newuidmap, ::getuid(), uids.start);
  const std::vector<std::string> gid_args = map_args(newgidmap, ::getgid(), gids.start);
  int go[2];
  if (::pipe2(go, O_CLOEXEC) != 0) {
    *error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t helper = ::fork();
  if (helper == 0) {
    ::close(go[1]);
    char byte = 0;
    const bool told = wire::ReadAll(go[0], &byte, 1);
    ::_exit(told && RunAndWait(uid_args) && RunAndWait(gid_args) ? 0 : 1);
  }
  ::close(go[0]);
  if (helper < 0) {
    *error = std::string("cannot fork: ") + std::strerror(errno);
    ::close(go[1]);
    return false;
  }
  const bool unshared = ::unshare(CLONE_NEWUSER) == 0;
  if (!unshared) *error = NoNamespace();
  if (unshared) (void)wire::WriteAll(go[1], "m", 1);
  ::close(go[1]);  // without the byte the helper ends at once
  int status = 0;
  while (::waitpid(helper, &status, 0) < 0 && errno == EINTR) {
  }
  if (!unshared) return false;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = "cannot map the subordinate ids of uid " + uid + " with " + newuidmap + " and " +
             newgidmap + " (see their message above; check /etc/subuid and /etc/subgid)";
    return false;
  }
  return true;
}

// The namespace with 0 -> the user's own ids only, mapped by the process itself (which the
// kernel allows once setgroups is denied).
bool EnterWithOwnIds(std::string* error) {
  const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
  if (::unshare(CLONE_NEWUSER) != 0) {
    *error = NoNamespace();
    return false;
  }
  if (!WriteText("/proc/self/setgroups", "deny") ||
      !WriteText("/proc/self/uid_map", "0 " + uid + " 1\n") ||
      !WriteText("/proc/self/gid_map", "0 " + gid + " 1\n")) {
    *error = std::string("cannot map the user's own ids in the simulator's user namespace: ") +
             std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool PrepareSimulatorIds(std::string* error) {
  if (g_settled) return true;
  if (::geteuid() == 0) {
    if (!IsHostsOwnNamespace()) SettleFromMaps();
    g_settled = true;
    return true;
  }
  const uid_t uid = ::getuid();
  const std::string name = UserName(uid);
  const Subordinate uids = FindSubordinate("/etc/subuid", name, uid);
  const Subordinate gids = FindSubordinate("/etc/subgid", name, uid);
  std::string newuidmap, newgidmap;
  if (const char* found = FindHelper("newuidmap")) newuidmap = found;
  if (const char* found = FindHelper("newgidmap")) newgidmap = found;
  const bool subordinate =
      uids.count > 0 && gids.count > 0 && !newuidmap.empty() && !newgidmap.empty();
  const bool entered =
      subordinate ? EnterWithSubordinateIds(newuidmap.c_str(), newgidmap.c_str(), uids, gids, error)
                  : EnterWithOwnIds(error);
  if (!entered) return false;
  SettleFromMaps();
  g_ids.entered = true;
  g_settled = true;
  return true;
}

const SimulatorIds& CurrentSimulatorIds() { return g_ids; }

unsigned int DeviceIdRangeCount() {
  if (!g_ids.rootless) return wire::kDeviceIdRanges;
  return std::max(1u, g_ids.spare / wire::kDeviceIdCount);
}

DeviceIdRange DeviceIdRangeAt(unsigned int index) {
  if (!g_ids.rootless) {
    return {wire::kDeviceRootHostId + index * wire::kDeviceIdCount, wire::kDeviceIdCount};
  }
  if (g_ids.spare == 0) return {0, 1};
  return {1 + index * wire::kDeviceIdCount, std::min(wire::kDeviceIdCount, g_ids.spare)};
}

std::string DeviceIdRangeClaim(unsigned int index) {
  const std::string prefix = "qx-sim-device-ids-";
  if (!g_ids.rootless) return prefix + std::to_string(index);
  return prefix + "user-" + std::to_string(g_ids.host_uid) + "-" + std::to_string(index);
}

unsigned int HostUid(unsigned int id) {
  if (!g_ids.rootless) return id;
  return id == 0 ? g_ids.host_uid : g_ids.host_first_spare_uid + (id - 1);
}

std::string RootlessNotice(unsigned int device_root, const char* memory_kind,
                           const char* process_kind) {
  std::string line = "rootless simulator (uid " + std::to_string(g_ids.host_uid) + "): ";
  if (g_ids.spare == 0) {
    line +=
        "device root is the user's own uid and the device has no other ids (no "
        "/etc/subuid range, or no newuidmap)";
  } else {
    line += "device root is host uid " + std::to_string(HostUid(device_root)) +
            ", a subordinate id; " + std::to_string(DeviceIdRangeCount()) +
            " device(s) at once have ids of their own, more share them";
  }
  line += std::string("; memory limit: ") + memory_kind + ", process limit: " + process_kind;
  if (std::strcmp(memory_kind, "rlimit") == 0 || std::strcmp(process_kind, "rlimit") == 0) {
    line += " (per process: no delegated control group)";
  }
  return line;
}

}  // namespace qx::sim
