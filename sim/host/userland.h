// The host files a device is built from: busybox and its applet links, procps's pkill, the
// simulator's own /bin/sh wrapper and watchdog program, the static init, and the binaries a test
// asks for, each dynamic one with its loader and libraries (as ldd names them).
#ifndef QX_SIM_HOST_USERLAND_H_
#define QX_SIM_HOST_USERLAND_H_

#include <string>
#include <vector>

#include "sim/host/device.h"

namespace qx::sim {

struct HostCopy {
  std::string host_path;
  std::string device_path;
  unsigned int mode = 0755;
};

struct Userland {
  std::vector<HostCopy> copies;           // in order; a later copy to a path replaces one
  std::vector<std::string> applet_links;  // device paths that become links to /bin/busybox
  std::string init_path;                  // host path of the static init program
};

// Collects everything for spec; false with the reason in *error (a missing package, a binary
// that ldd cannot resolve). Results of busybox and ldd are cached for the process.
bool BuildUserland(const DeviceSpec& spec, Userland& userland, std::string* error);

// The loader and libraries of a dynamic host executable, as ldd prints them (none for a static
// one); false with the reason when ldd fails or names a library it cannot find.
bool SharedLibraries(const std::string& host_path, std::vector<std::string>& libraries,
                     std::string* error);

}  // namespace qx::sim

#endif  // QX_SIM_HOST_USERLAND_H_
