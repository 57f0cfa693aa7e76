// In a simulated device, calls EnableAutoStartBinaries ("enable") or DisableAutoStartBinaries
// ("disable") for each argument in order and prints "WORD=true" or "WORD=false". It touches the
// device's /sbin, so it refuses to run anywhere but in the simulator.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "driver/autostart.h"
#include "sim/host/device.h"

int main(int argc, char** argv) {
  if (::access(qx::sim::kDeviceMarker, F_OK) != 0) {
    std::fprintf(stderr, "autostart_probe: refusing to run outside the device simulator\n");
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const bool enable = std::strcmp(argv[i], "enable") == 0;
    if (!enable && std::strcmp(argv[i], "disable") != 0) return 2;
    const bool done = enable ? EnableAutoStartBinaries() : DisableAutoStartBinaries();
    std::printf("%s=%s\n", argv[i], done ? "true" : "false");
  }
  return 0;
}
