// Runs pieces of the cleanup inside a simulated device and prints what they returned, one line
// per result, for the host-side tests to compare. Arguments are a sequence of commands:
//   ro DIR               bind DIR read-only onto itself (unlinks in it then fail)
//   perform REQ          CleanupKV70(REQ).PerformCleanup  -> "required=R result=B enough=B"
//   trim | kernel        the log trimming step / the kernel module step
//   match TEXT           MatchesKernelVersion, flag preset false, then true -> "match=B B B"
//   drain                per series: find and unlink until no member -> "<series>: t t ..."
//   old-logs REQ         the rotated-log passes
//   find                 the three finds with the time preset to -1 -> "<series> B T"
//   static | extra       the removal lists
// REQ is a byte count, or "+N" for the free space measured now plus N.
// Refuses to run outside the simulator: every command deletes device files.
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cleanup/cleanup_kv70.h"
#include "cleanup/cleanup_stages.h"
#include "cleanup/cleanup_utils.h"
#include "cleanup/removal_lists.h"
#include "utils/upgrader_utils.h"

namespace {

namespace cleanup = qx::upgrader::cleanup;
namespace cu = qx::upgrader::cleanup::utils;

unsigned int ParseRequired(const std::string& text) {
  if (!text.empty() && text[0] == '+') {
    unsigned int free_bytes = 0;
    if (!qx::upgrader::utils::MountFreeSpace("/", free_bytes)) std::exit(3);
    return free_bytes + static_cast<unsigned int>(std::strtoul(text.c_str() + 1, nullptr, 10));
  }
  return static_cast<unsigned int>(std::strtoul(text.c_str(), nullptr, 10));
}

struct Series {
  const char* name;
  bool (*find)(long&);
  bool (*unlink)();
};
const Series kSeries[] = {
    {"home", cu::FindEarliestHomeLogTime, cu::UnlinkEarliestHomeLogFile},
    {"messages", cu::FindEarliestVarLogMessageTime, cu::UnlinkEarliestVarLogMessage},
    {"syslog", cu::FindEarliestVarLogSyslogTime, cu::UnlinkEarliestVarLogSyslogTime},
};

// Each series drained on its own. Bounded, so an unremovable member shows up as a repeated time
// instead of a hang.
void Drain() {
  for (const Series& s : kSeries) {
    std::string line = std::string(s.name) + ":";
    for (int round = 0; round < 100; ++round) {
      long time = -1;
      if (!s.find(time)) break;
      line += " " + std::to_string(time);
      s.unlink();
    }
    std::printf("%s\n", line.c_str());
  }
}

bool ReadOnly(const std::string& dir) {
  return ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         ::mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (::access("/.qx-device-sim", F_OK) != 0) {
    std::fprintf(stderr, "cleanup_probe: refusing to run outside the device simulator\n");
    return 2;
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& command = args[i];
    const bool has_arg = i + 1 < args.size();
    if (command == "ro" && has_arg) {
      if (!ReadOnly(args[++i])) return 4;
    } else if (command == "perform" && has_arg) {
      cleanup::CleanupKV70 strategy(ParseRequired(args[++i]));
      bool enough = false;
      const bool result = strategy.PerformCleanup(enough);
      std::printf("required=%u result=%d enough=%d\n", strategy.FreeSpaceRequired(), result,
                  enough);
    } else if (command == "trim") {
      cleanup::TrimOversizedLogs();
    } else if (command == "kernel") {
      cleanup::ClearKernelModules();
    } else if (command == "match" && has_arg) {
      const std::string& text = args[++i];
      bool unset = false, set = true;
      const bool first = cu::MatchesKernelVersion(text, unset);
      const bool second = cu::MatchesKernelVersion(text, set);
      std::printf("match=%d %d %d\n", first && second, unset, set);
    } else if (command == "drain") {
      Drain();
    } else if (command == "old-logs" && has_arg) {
      cleanup::CleanupKV70 strategy(ParseRequired(args[++i]));
      cleanup::ClearOldLogs(strategy);
    } else if (command == "find") {
      for (const Series& s : kSeries) {
        long time = -1;
        const bool found = s.find(time);
        std::printf("%s %d %ld\n", s.name, found, time);
      }
    } else if (command == "static") {
      cleanup::ClearStaticFiles();
    } else if (command == "extra") {
      cleanup::ClearExtraFiles();
    } else {
      std::fprintf(stderr, "cleanup_probe: bad command %s\n", command.c_str());
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
