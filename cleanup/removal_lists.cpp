#include "cleanup/removal_lists.h"

#include <unistd.h>

#include <iterator>

#include "cleanup/removal_tables.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::cleanup {
namespace {

// Results ignored throughout on purpose: a path that is already gone, or cannot go, must not
// keep the rest of the list from freeing space.
void Unlink(const char* path) { (void)::unlink(path); }

void RunSupersededRule(const std::string& tested, const std::vector<std::string>& removed) {
  if (!upgrader::utils::FileExists(tested)) return;
  for (const std::string& path : removed) Unlink(path.c_str());
}

void RunEntry(const RemovalEntry& entry) {
  switch (entry.how) {
    case Removal::kShell:
      (void)upgrader::utils::RunShellCommand(entry.text);
      return;
    case Removal::kUnlink:
      Unlink(entry.text);
      return;
    case Removal::kSuperseded:
      if (!upgrader::utils::FileExists(entry.text)) return;
      for (const char* path : entry.more) {
        if (path != nullptr) Unlink(path);
      }
      return;
    case Removal::kEitherOf:
      if (upgrader::utils::FileExists(entry.text) || upgrader::utils::FileExists(entry.more[0])) {
        (void)upgrader::utils::RunShellCommand(entry.more[1]);
      }
      return;
    case Removal::kNetSnmp:
      for (const SupersededRule& rule : NetSnmpRules()) {
        RunSupersededRule(rule.tested, rule.removed);
      }
      return;
  }
}

template <std::size_t N>
void RunList(const RemovalEntry (&list)[N]) {
  for (const RemovalEntry& entry : list) RunEntry(entry);
}

std::string NetSnmpPath(const char* base, const char* release) {
  return std::string("/usr/lib/") + base + ".so." + release;
}

}  // namespace

std::vector<SupersededRule> NetSnmpRules() {
  std::vector<SupersededRule> rules;
  for (const char* base : kNetSnmpBases) {
    for (std::size_t tier = 0; tier < kNetSnmpTiers; ++tier) {
      SupersededRule rule{NetSnmpPath(base, kNetSnmpReleases[tier].full), {}};
      for (std::size_t older = tier + 1; older < std::size(kNetSnmpReleases); ++older) {
        rule.removed.push_back(NetSnmpPath(base, kNetSnmpReleases[older].full));
        rule.removed.push_back(NetSnmpPath(base, kNetSnmpReleases[older].major));
      }
      rules.push_back(std::move(rule));
    }
  }
  return rules;
}

void ClearStaticFiles() { RunList(kStaticRemovals); }

void ClearExtraFiles() { RunList(kExtraRemovals); }

}  // namespace qx::upgrader::cleanup
