#include "sim/host/userland.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

extern char** environ;

namespace qx::sim {
namespace {

constexpr const char kHostBusybox[] = "/bin/busybox";  // Debian's busybox-static
constexpr const char kHostPkill[] = "/usr/bin/pkill";  // procps

#ifndef QX_SIM_INIT_PATH
#define QX_SIM_INIT_PATH ""
#endif
#ifndef QX_SIM_SHELL_PATH
#define QX_SIM_SHELL_PATH ""
#endif

// Where an installed device-sim finds its helpers, relative to its own directory
// (PREFIX/bin/device-sim, PREFIX/lib/qx-upgrade-tools/qx_sim_init).
constexpr const char kInstalledHelperDir[] = "/../lib/qx-upgrade-tools/";

// The helper programs: the environment's choice, else the installed copy beside the running
// program, else the one built with this library. The installed copy comes first, so that an
// installed device-sim never picks up the helpers of a build tree that happens to exist.
std::string HelperPath(const char* variable, const char* built, const char* name) {
  const char* value = std::getenv(variable);
  if (value != nullptr && *value != '\0') return value;
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    std::string dir(self, static_cast<std::size_t>(length));
    const std::size_t slash = dir.rfind('/');
    dir.resize(slash == std::string::npos ? 0 : slash);
    std::string installed = dir + kInstalledHelperDir + name;
    if (::access(installed.c_str(), X_OK) == 0) return installed;
  }
  return built;
}

// Runs argv (no shell) and returns what it wrote to standard output and standard error.
bool Capture(const std::vector<std::string>& argv, std::string& output, int& status) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
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
  output.clear();
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  if (spawned != 0) return false;
  return ::waitpid(pid, &status, 0) == pid;
}

std::string CacheKey(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return path + '\n' + std::to_string(st.st_size) + '\n' + std::to_string(st.st_mtim.tv_sec) + '.' +
         std::to_string(st.st_mtim.tv_nsec);
}

std::mutex cache_mutex;
std::map<std::string, std::vector<std::string>> library_cache;
std::vector<std::string> applet_cache;

bool BusyboxApplets(std::vector<std::string>& links, std::string* error) {
  std::lock_guard<std::mutex> lock(cache_mutex);
  if (applet_cache.empty()) {
    std::string output;
    int status = 0;
    if (!Capture({kHostBusybox, "--list-full"}, output, status) || status != 0) {
      *error = std::string("cannot list the applets of ") + kHostBusybox +
               " (is busybox-static installed?)";
      return false;
    }
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty()) applet_cache.push_back("/" + line);
    }
    std::sort(applet_cache.begin(), applet_cache.end());  // by directory: one lookup each
  }
  links = applet_cache;
  return true;
}

}  // namespace

bool SharedLibraries(const std::string& host_path, std::vector<std::string>& libraries,
                     std::string* error) {
  const std::string key = CacheKey(host_path);
  if (key.empty()) {
    *error = "cannot find host file " + host_path;
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(cache_mutex);
    const auto hit = library_cache.find(key);
    if (hit != library_cache.end()) {
      libraries = hit->second;
      return true;
    }
  }
  std::string output;
  int status = 0;
  if (!Capture({"/usr/bin/ldd", host_path}, output, status)) {
    *error = "cannot run ldd on " + host_path;
    return false;
  }
  std::vector<std::string> found;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("not a dynamic executable") != std::string::npos ||
        line.find("statically linked") != std::string::npos) {
      break;
    }
    if (line.find("=> not found") != std::string::npos) {
      *error = host_path + " needs a library that is not installed:" + line;
      return false;
    }
    const std::size_t arrow = line.find("=> ");
    std::size_t start = arrow != std::string::npos ? arrow + 3 : line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] != '/') continue;  // e.g. linux-vdso.so.1
    const std::size_t end = line.find(" (", start);
    found.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
  }
  if (found.empty() && WIFEXITED(status) && WEXITSTATUS(status) != 0 &&
      output.find("not a dynamic executable") == std::string::npos) {
    *error = "ldd cannot read " + host_path + ": " + output;
    return false;
  }
  std::lock_guard<std::mutex> lock(cache_mutex);
  library_cache[key] = found;
  libraries = std::move(found);
  return true;
}

bool BuildUserland(const DeviceSpec& spec, Userland& userland, std::string* error) {
  userland = Userland{};
  userland.init_path = HelperPath("QX_SIM_INIT", QX_SIM_INIT_PATH, "qx_sim_init");
  const std::string shell = HelperPath("QX_SIM_SHELL", QX_SIM_SHELL_PATH, "qx_sim_shell");
  for (const std::string& helper : {userland.init_path, shell}) {
    if (helper.empty() || ::access(helper.c_str(), X_OK) != 0) {
      *error = "simulator helper program not found: \"" + helper + "\"";
      return false;
    }
  }
  if (!BusyboxApplets(userland.applet_links, error)) return false;
  userland.copies.push_back({kHostBusybox, "/bin/busybox", 0755});
  userland.copies.push_back({shell, "/bin/sh", 0755});
  userland.copies.push_back({shell, Device::kWatchdogProgram, 0755});

  std::set<std::string> libraries;
  auto add_binary = [&](const std::string& host_path, const std::string& device_path) {
    std::vector<std::string> needed;
    if (!SharedLibraries(host_path, needed, error)) return false;
    userland.copies.push_back({host_path, device_path, 0755});
    for (const std::string& library : needed) {
      if (libraries.insert(library).second) userland.copies.push_back({library, library, 0755});
    }
    return true;
  };
  if (::access(kHostPkill, X_OK) != 0) {
    *error = std::string("cannot find ") + kHostPkill + " (is procps installed?)";
    return false;
  }
  if (!add_binary(kHostPkill, kHostPkill)) return false;
  for (const HostBinary& binary : spec.binaries) {
    if (!add_binary(binary.host_path, binary.device_path)) return false;
  }
  return true;
}

}  // namespace qx::sim
