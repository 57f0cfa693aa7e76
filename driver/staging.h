// The back half of an upgrade run: finding the upgrade file in the ramdisk, extracting its
// three members, re-creating the ramdisk with them and running the validator. main owns the
// reader and ends the run; these steps only report how far they got.
#ifndef QX_DRIVER_STAGING_H_
#define QX_DRIVER_STAGING_H_

#include <string>

#include "container/upgrade_file.h"

namespace qx::upgrader::driver {

// True when an entry of "/tmp/ramdisk/" begins with "ud" (the first such entry in directory
// order, whatever its type); path then receives its UpgradeFilePath. False when the directory
// cannot be opened or holds no such entry.
bool LocateUpgradeFile(std::string& path);

// Extracts inner files 2, 3 and 4 (validator, kernel image, file-system database) under /tmp/,
// in that order, stopping at the first failure; false then, with the reason in the reader's
// ErrorMessage(). Requires a reader whose ParseFile succeeded.
bool ExtractUpgradeMembers(qx::upgradeFile::UpgradeFile& upgrade_file);

// Deletes the upgrade file, re-creates /tmp/ramdisk/ as a fresh 25M tmpfs, carrying the upgrade
// log across, and moves the three members into it. Statuses are ignored: a failing step does not
// stop the sequence. Writes no log line (the log is outside the ramdisk for part of it).
void StageIntoFreshRamdisk(const std::string& upgrade_file_path);

// Runs the validator on the kernel image and the file-system database and returns the raw
// system() status. On status 0 the upgrade-started marker is removed.
int RunValidator();

}  // namespace qx::upgrader::driver

#endif  // QX_DRIVER_STAGING_H_
