// For test programs that run inside a simulated device and act on fixed device paths
// (/sbin, /var/log, /tmp/ramdisk, ...): they must never run on a workstation. Link the library
// qx_device_test_main (a GoogleTest main() that checks this first) or call RefuseOutsideDevice()
// at the top of main().
#ifndef QX_SIM_INSIDE_DEVICE_GUARD_H_
#define QX_SIM_INSIDE_DEVICE_GUARD_H_

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "sim/host/device.h"

namespace qx::sim {

// True when the marker file that only the simulator creates is present in the root.
inline bool RunningInDevice() {
  struct stat st {};
  return ::lstat(kDeviceMarker, &st) == 0 && S_ISREG(st.st_mode);
}

// Exits with status 2 and says why on standard error unless RunningInDevice().
inline void RefuseOutsideDevice(const char* program) {
  if (RunningInDevice()) return;
  std::fprintf(stderr,
               "%s: refusing to run: this test acts on fixed device paths and runs only inside "
               "the device simulator (%s is missing); use ctest or `device-sim run`\n",
               program != nullptr ? program : "test", kDeviceMarker);
  std::exit(2);
}

}  // namespace qx::sim

#endif  // QX_SIM_INSIDE_DEVICE_GUARD_H_
