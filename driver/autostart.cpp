#include "driver/autostart.h"

#include <unistd.h>

#include <cstdio>

#include "utils/upgrader_utils.h"

namespace {

struct AutoStartBinary {
  const char* path;
  const char* disabled;  // path + ".disabled": the name the device's start-up never runs
};

// In the order they are disabled and restored.
constexpr AutoStartBinary kAutoStartBinaries[] = {
    {"/sbin/qx_monitor", "/sbin/qx_monitor.disabled"},
    {"/usr/sbin/qxsshd", "/usr/sbin/qxsshd.disabled"},
    {"/sbin/nvlogger", "/sbin/nvlogger.disabled"},
};

}  // namespace

bool EnableAutoStartBinaries() {
  bool all_restored = true;
  for (const AutoStartBinary& binary : kAutoStartBinaries) {
    if (qx::upgrader::utils::FileExists(binary.path)) {
      (void)::unlink(binary.disabled);  // usually absent: nothing to delete is no failure
      continue;
    }
    // Each daemon on its own: a daemon dropped from the firmware (no binary, no disabled copy)
    // must not keep the SSH daemon and the others from coming back after the reboot.
    if (std::rename(binary.disabled, binary.path) != 0) all_restored = false;
  }
  return all_restored;
}

bool DisableAutoStartBinaries() {
  for (const AutoStartBinary& binary : kAutoStartBinaries) {
    if (std::rename(binary.path, binary.disabled) != 0) return false;
  }
  return true;
}
