// Fuzz targets reuse the on-device header parser, which writes to the upgrade log. On a
// workstation that log must never be written: this definition replaces the device's.
#include <string>

#include "utils/upgrader_utils.h"

int qx::upgrader::utils::LogToUpgradeLog(const std::string&) { return 0; }
