// In a simulated device, calls EnableAutoStartBinaries ("enable") or DisableAutoStartBinaries
// ("disable") for each argument in order and prints "WORD=true" or "WORD=false". It touches the
// device's /sbin, so it refuses to run anywhere but in the simulator.
#include <cstdio>
#include <cstring>

#include "driver/autostart.h"
#include "sim/inside/device_guard.h"

int main(int argc, char** argv) {
  qx::sim::RefuseOutsideDevice("autostart_probe");
  for (int i = 1; i < argc; ++i) {
    const bool enable = std::strcmp(argv[i], "enable") == 0;
    if (!enable && std::strcmp(argv[i], "disable") != 0) return 2;
    const bool done = enable ? EnableAutoStartBinaries() : DisableAutoStartBinaries();
    std::printf("%s=%s\n", argv[i], done ? "true" : "false");
  }
  return 0;
}
