#include "tests/support/upgrader_install.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "sim/host/router_profile.h"

namespace qx::test {
namespace {

using qx::sim::router::kUpgrader;
using qx::sim::router::kUpgraderLauncher;

std::string FromEnvironment(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

}  // namespace

std::string LauncherHostPath() { return FromEnvironment("QX_UPGRADER_LAUNCHER", ""); }

void AddUpgrader(qx::sim::DeviceSpec& spec) {
  spec.binaries.push_back({FromEnvironment("QX_UPGRADER", QX_DEFAULT_UPGRADER), kUpgrader});
  if (!LauncherHostPath().empty()) spec.binaries.push_back({LauncherHostPath(), kUpgraderLauncher});
}

std::vector<std::string> UpgraderArgv(const std::vector<std::string>& args) {
  std::vector<std::string> argv;
  if (!LauncherHostPath().empty()) {
    argv.push_back(kUpgraderLauncher);
    std::istringstream options(FromEnvironment("QX_UPGRADER_LAUNCHER_ARGS", ""));
    for (std::string word; options >> word;) argv.push_back(word);
  }
  argv.push_back(kUpgrader);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

void KeepRunOutput(const std::string& run_name, const std::string& output) {
  const std::string path = FromEnvironment("QX_UPGRADER_OUTPUT", "");
  if (path.empty()) return;
  std::string text = "=== run: " + run_name + "\n" + output;
  if (text.back() != '\n') text += '\n';
  // One write in append mode: parallel test processes never interleave their runs.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const bool written =
      fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) ::close(fd);
  if (!written) std::fprintf(stderr, "cannot append the run's output to %s\n", path.c_str());
}

}  // namespace qx::test
