// udtool reuses the on-device reader, whose header parser writes to the upgrade log. On a
// workstation that log must never be written: this definition takes the place of the device's
// and drops the lines (info prints the same fields itself).
#include <string>

#include "utils/upgrader_utils.h"

int qx::upgrader::utils::LogToUpgradeLog(const std::string&) { return 0; }
