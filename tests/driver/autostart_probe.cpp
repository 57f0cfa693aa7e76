// Runs EnableAutoStartBinaries and DisableAutoStartBinaries inside a simulated device, where
// /sbin and /usr/sbin are the device's own: "autostart_probe enable disable ..." calls them in
// the order given and prints one "NAME=true" or "NAME=false" line per call. It touches real
// device paths, so it refuses to run anywhere but in the simulator.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "driver/autostart.h"
#include "sim/device.h"

int main(int argc, char** argv) {
  if (::access(qx::sim::kDeviceMarker, F_OK) != 0) {
    std::fprintf(stderr,
                 "autostart_probe: refusing to run outside the device simulator (%s missing)\n",
                 qx::sim::kDeviceMarker);
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    bool result = false;
    if (std::strcmp(argv[i], "enable") == 0) {
      result = EnableAutoStartBinaries();
    } else if (std::strcmp(argv[i], "disable") == 0) {
      result = DisableAutoStartBinaries();
    } else {
      std::fprintf(stderr, "autostart_probe: unknown call %s (enable or disable)\n", argv[i]);
      return 2;
    }
    std::printf("%s=%s\n", argv[i], result ? "true" : "false");
  }
  return 0;
}
