#include "sim/host/cgroup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qx::sim {
namespace {

struct CgroupMount {
  std::string type;  // "cgroup" (v1) or "cgroup2"
  std::string root;  // the hierarchy's directory shown at point
  std::string point;
  std::vector<std::string> options;  // super options: "rw", "memory", ...
};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

// mountinfo writes blanks, tabs, line feeds and backslashes in paths as \ooo.
std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string digits = text.substr(i + 1, 3);
      if (digits.size() == 3 &&
          std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::vector<CgroupMount> CgroupMounts() {
  std::vector<CgroupMount> mounts;
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> fields = Split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    const std::string& type = *(dash + 1);
    if (type != "cgroup" && type != "cgroup2") continue;
    mounts.push_back({type, Unescape(fields[3]), Unescape(fields[4]), Split(*(dash + 3), ',')});
  }
  return mounts;
}

bool Has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// The directory of a group at cgroup path path ("/a/b") seen through mount; empty when the
// mount does not show it.
std::string DirectoryOf(const CgroupMount& mount, const std::string& path) {
  std::string rest;
  if (mount.root == "/") {
    rest = path;
  } else if (path == mount.root || path.rfind(mount.root + "/", 0) == 0) {
    rest = path.substr(mount.root.size());
  } else {
    return {};
  }
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  return mount.point + rest;
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool WriteSetting(int dir_fd, const std::string& file, const std::string& value) {
  const int fd = ::openat(dir_fd, file.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written =
      ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
  ::close(fd);
  return written;
}

}  // namespace

const char* LimitKindName(LimitKind kind) {
  switch (kind) {
    case LimitKind::kCgroup2:
      return "cgroup v2";
    case LimitKind::kCgroup1:
      return "cgroup v1";
    case LimitKind::kRlimit:
      break;
  }
  return "rlimit";
}

DeviceCgroups::~DeviceCgroups() {
  for (const Group& group : groups_) {
    ::close(group.parent_fd);
    ::close(group.procs_fd);
  }
}

bool DeviceCgroups::MakeGroup(const std::string& parent, const std::string& name,
                              const std::vector<Setting>& settings) {
  Group group;
  group.name = name;
  group.parent_fd = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (group.parent_fd < 0) return false;
  if (::mkdirat(group.parent_fd, name.c_str(), 0755) != 0) {
    ::close(group.parent_fd);
    return false;
  }
  const int dir_fd = ::openat(group.parent_fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  bool ok = dir_fd >= 0;
  for (const Setting& setting : settings) {
    if (ok && !WriteSetting(dir_fd, setting.file, setting.value) && setting.required) ok = false;
  }
  if (ok) group.procs_fd = ::openat(dir_fd, "cgroup.procs", O_WRONLY | O_CLOEXEC);
  if (dir_fd >= 0) ::close(dir_fd);
  if (!ok || group.procs_fd < 0) {
    (void)::unlinkat(group.parent_fd, name.c_str(), AT_REMOVEDIR);
    ::close(group.parent_fd);
    return false;
  }
  groups_.push_back(group);
  return true;
}

void DeviceCgroups::Create(const DeviceLimits& limits, const std::string& name) {
  const std::vector<CgroupMount> mounts = CgroupMounts();
  std::string unified_path;
  std::vector<std::pair<std::vector<std::string>, std::string>> v1_paths;  // controllers, path
  std::ifstream in("/proc/self/cgroup");
  for (std::string line; std::getline(in, line);) {
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      unified_path = path;
    } else {
      v1_paths.emplace_back(Split(controllers, ','), path);
    }
  }
  const std::string memory = std::to_string(limits.memory_bytes);
  const std::string processes = std::to_string(limits.processes);

  // The unified hierarchy: a group beside ours (ours holds processes, so it cannot have
  // controllers for groups below it), or below the root, which may.
  if (!unified_path.empty()) {
    for (const CgroupMount& mount : mounts) {
      if (mount.type != "cgroup2") continue;
      const std::string parent =
          DirectoryOf(mount, unified_path == "/" ? unified_path : Parent(unified_path));
      if (parent.empty()) continue;
      const std::vector<std::string> enabled =
          Split(ReadLine(parent + "/cgroup.subtree_control"), ' ');
      if (!Has(enabled, "memory") || !Has(enabled, "pids")) continue;
      if (MakeGroup(parent, name,
                    {{"memory.max", memory, true},
                     {"memory.swap.max", "0", false},
                     {"pids.max", processes, true}})) {
        memory_ = processes_ = LimitKind::kCgroup2;
        return;
      }
    }
  }
  // v1: one group in each of the memory and pids hierarchies, below our own.
  for (const char* controller : {"memory", "pids"}) {
    const bool is_memory = std::strcmp(controller, "memory") == 0;
    for (const auto& [controllers, path] : v1_paths) {
      if (!Has(controllers, controller)) continue;
      for (const CgroupMount& mount : mounts) {
        if (mount.type != "cgroup" || !Has(mount.options, controller)) continue;
        const std::string own = DirectoryOf(mount, path);
        if (own.empty()) continue;
        // The swap limit must not be below the memory limit, so it comes second.
        const std::vector<Setting> settings =
            is_memory ? std::vector<Setting>{{"memory.limit_in_bytes", memory, true},
                                             {"memory.memsw.limit_in_bytes", memory, false}}
                      : std::vector<Setting>{{"pids.max", processes, true}};
        if (MakeGroup(own, name, settings)) {
          (is_memory ? memory_ : processes_) = LimitKind::kCgroup1;
          break;
        }
      }
    }
  }
}

bool DeviceCgroups::Join(std::string* error) const {
  for (const Group& group : groups_) {
    if (::write(group.procs_fd, "0", 1) != 1) {
      *error = "cannot join the device's control group " + group.name + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

void DeviceCgroups::Remove() {
  for (Group& group : groups_) {
    for (int tries = 0; tries < 1000; ++tries) {
      if (::unlinkat(group.parent_fd, group.name.c_str(), AT_REMOVEDIR) == 0 || errno != EBUSY) {
        break;
      }
      const timespec pause{0, 2000000};
      ::nanosleep(&pause, nullptr);
    }
    ::close(group.parent_fd);
    ::close(group.procs_fd);
  }
  groups_.clear();
}

}  // namespace qx::sim
