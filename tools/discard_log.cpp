// The upgrade log's writer for host programs that reuse the on-device reader (udtool, the
// benchmarks, the fuzz targets): the header parser writes to the upgrade log, and on a
// workstation that log must never be written, so this definition takes the place of the
// device's and drops the lines (udtool's info prints the same fields itself).
#include <string>

#include "utils/upgrader_utils.h"

int qx::upgrader::utils::LogToUpgradeLog(const std::string&) { return 0; }
