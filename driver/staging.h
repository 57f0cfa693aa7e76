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

// Removes whatever an earlier run (an E6 exit, or a run cut short during extraction) or another
// user left at the three extraction paths under /tmp/, a directory tree included, logging
// "Removed stale file PATH" for each one removed, so that the cleanup never counts those bytes
// as used space and no planted directory can fail every later extraction.
void RemoveStaleMembers();

// Extracts inner files 2, 3 and 4 (validator, kernel image, file-system database) under /tmp/,
// in that order, stopping at the first failure; false then, with the reason in the reader's
// ErrorMessage(). Whatever appeared at an extraction path since RemoveStaleMembers goes first,
// logged the same way. Requires a reader whose ParseFile succeeded.
bool ExtractUpgradeMembers(qx::upgradeFile::UpgradeFile& upgrade_file);

// Deletes the upgrade file, re-creates /tmp/ramdisk/ as a fresh 25M tmpfs, carrying the upgrade
// log across, and moves the three members into it. Statuses are ignored: a failing step does not
// stop the sequence. The fresh ramdisk is closed to other users at once (CloseTheRamdisk), and
// whatever they planted at a staging path in between is removed. Returns whether /tmp/ramdisk/ is a
// file system of its own after the mount command; when it is not, logs "Unable to re-create the
// ramdisk" once the log is back in place (the members then sit in a plain directory of the root
// file system).
bool StageIntoFreshRamdisk(const std::string& upgrade_file_path);

// Runs the validator on the kernel image and the file-system database and returns the raw
// system() status. On status 0 the upgrade-started marker is removed.
int RunValidator();

// Unlinks the three staged members from /tmp/ramdisk/. Used when the ramdisk could not be
// re-created: a tmpfs mounted there at the next boot would hide them on the root file system.
void RemoveStagedMembers();

}  // namespace qx::upgrader::driver

#endif  // QX_DRIVER_STAGING_H_
