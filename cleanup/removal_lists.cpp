#include "cleanup/removal_lists.h"

#include <unistd.h>

#include <cstdio>

#include "cleanup/removal_tables.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::cleanup {
namespace {

// Results ignored throughout on purpose: a path that is already gone, or cannot go, must not
// keep the rest of the list from freeing space.
template <std::size_t N>
void RunCommands(const char* const (&commands)[N]) {
  for (const char* command : commands) (void)qx::upgrader::utils::RunShellCommand(command);
}

template <std::size_t N>
void UnlinkFiles(const char* const (&paths)[N]) {
  for (const char* path : paths) (void)::unlink(path);
}

template <std::size_t N>
void RemoveSuperseded(const Superseded (&rules)[N]) {
  for (const Superseded& rule : rules) {
    if (!qx::upgrader::utils::FileExists(rule.newer)) continue;
    for (const char* path : rule.older) (void)::unlink(path);
  }
}

template <std::size_t N>
void RunEitherOf(const EitherOf (&rules)[N]) {
  for (const EitherOf& rule : rules) {
    if (qx::upgrader::utils::FileExists(rule.tested) ||
        qx::upgrader::utils::FileExists(rule.also_tested)) {
      (void)qx::upgrader::utils::RunShellCommand(rule.command);
    }
  }
}

// "/usr/lib/<base>.so.<release>"; the longest is well inside the buffer.
struct NetSnmpPath {
  NetSnmpPath(const char* base, const char* release) {
    (void)std::snprintf(text, sizeof text, "/usr/lib/%s.so.%s", base, release);
  }
  char text[64];
};

// Base by base, tier by tier: a present release supersedes every older one, each going with the
// name that carries only its major version.
void RemoveSupersededNetSnmp() {
  constexpr std::size_t kReleases = sizeof kNetSnmpReleases / sizeof kNetSnmpReleases[0];
  for (const char* base : kNetSnmpBases) {
    for (std::size_t tier = 0; tier < kNetSnmpTiers; ++tier) {
      if (!qx::upgrader::utils::FileExists(NetSnmpPath(base, kNetSnmpReleases[tier].full).text)) {
        continue;
      }
      for (std::size_t older = tier + 1; older < kReleases; ++older) {
        (void)::unlink(NetSnmpPath(base, kNetSnmpReleases[older].full).text);
        (void)::unlink(NetSnmpPath(base, kNetSnmpReleases[older].major).text);
      }
    }
  }
}

}  // namespace

void ClearStaticFiles() {
  RunCommands(kStaticDirectoryCommands);
  UnlinkFiles(kStaticFiles);
  RemoveSuperseded(kStaticSuperseded);
}

void ClearExtraFiles() {
  RunCommands(kExtraDirectoryCommands);
  UnlinkFiles(kExtraFiles);
  RemoveSuperseded(kExtraSuperseded);
  RemoveSupersededNetSnmp();
  RunEitherOf(kExtraEitherOf);
}

}  // namespace qx::upgrader::cleanup
