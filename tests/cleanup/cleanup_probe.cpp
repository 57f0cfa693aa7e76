// Runs pieces of the cleanup inside a simulated device, prints what they returned and, at the
// end, whether they left descriptors open (stdin is closed first, so open() may hand out 0).
// Commands: trim | kernel | static | extra (the steps themselves); perform REQ ("result=B
// enough=B"); old-logs REQ (the rotated-log passes); drain (per series, find then unlink until
// the find fails, the time preset to -1: "<series>: T ... -1", "!" when the unlink disagreed);
// nofiles (no descriptor can be opened any more). REQ: bytes beyond the free space measured now.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>

#include "cleanup/cleanup_kv70.h"
#include "cleanup/cleanup_stages.h"
#include "cleanup/cleanup_utils.h"
#include "cleanup/removal_lists.h"
#include "sim/inside/device_guard.h"
#include "utils/upgrader_utils.h"

namespace {

namespace cleanup = qx::upgrader::cleanup;
namespace cu = qx::upgrader::cleanup::utils;

// Bounded, so that a member that never goes shows up as repeated times instead of a hang.
void Drain() {
  const std::tuple<const char*, bool (*)(long&), bool (*)()> kSeries[] = {
      {"home", cu::FindEarliestHomeLogTime, cu::UnlinkEarliestHomeLogFile},
      {"messages", cu::FindEarliestVarLogMessageTime, cu::UnlinkEarliestVarLogMessage},
      {"syslog", cu::FindEarliestVarLogSyslogTime, cu::UnlinkEarliestVarLogSyslogTime}};
  for (const auto& [name, find, unlink] : kSeries) {
    std::printf("%s:", name);
    for (int round = 0; round < 100; ++round) {
      long time = -1;
      const bool found = find(time);
      std::printf(" %ld%s", time, found == unlink() ? "" : "!");
      if (!found) break;
    }
    std::printf("\n");
  }
}

rlimit g_files{};  // the limit before nofiles, restored at the end

void NoFiles() {
  const rlimit none = {0, g_files.rlim_max};
  if (::setrlimit(RLIMIT_NOFILE, &none) != 0) std::exit(4);
}

}  // namespace

int main(int argc, char** argv) {
  qx::sim::RefuseOutsideDevice("cleanup_probe");  // every command deletes device files
  ::close(STDIN_FILENO);
  if (::getrlimit(RLIMIT_NOFILE, &g_files) != 0) return 4;
  const std::map<std::string, void (*)()> kSteps = {{"trim", cleanup::TrimOversizedLogs},
                                                    {"kernel", cleanup::ClearKernelModules},
                                                    {"static", cleanup::ClearStaticFiles},
                                                    {"extra", cleanup::ClearExtraFiles},
                                                    {"drain", Drain},
                                                    {"nofiles", NoFiles}};
  for (int i = 1; i < argc; ++i) {
    const std::string command = argv[i];
    if (kSteps.count(command) != 0) {
      kSteps.at(command)();
      continue;
    }
    unsigned int free_bytes = 0;
    if (!qx::upgrader::utils::MountFreeSpace("/", free_bytes)) return 3;
    const long extra = std::strtol(++i < argc ? argv[i] : "", nullptr, 10);
    cleanup::CleanupKV70 strategy(free_bytes + static_cast<unsigned int>(extra));
    bool enough = false;
    if (command == "old-logs") {
      cleanup::ClearOldLogs(strategy);
    } else if (command == "perform") {
      const bool result = strategy.PerformCleanup(enough);
      std::printf("result=%d enough=%d\n", result, enough);
    } else {
      std::fprintf(stderr, "cleanup_probe: bad command %s\n", command.c_str());
      return 2;
    }
  }
  // Whatever the cleanup opened is closed again: the lowest free descriptor is still 0.
  if (::setrlimit(RLIMIT_NOFILE, &g_files) != 0 || ::dup(STDOUT_FILENO) != 0) {
    std::printf("descriptors left open\n");
  }
  return 0;
}
