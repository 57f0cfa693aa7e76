#include "driver/staging.h"

#include <dirent.h>
#include <unistd.h>

#include <cstring>

#include "driver/run_commands.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::driver {
namespace {

constexpr const char kUpgradeFilePrefix[] = "ud";
constexpr std::size_t kUpgradeFilePrefixChars = sizeof kUpgradeFilePrefix - 1;

struct Member {
  unsigned int index;  // inner file index in the upgrade file
  const char* extracted_to;
};

// Inner files 0 and 1 are walked and digest-checked but not used here.
constexpr Member kMembers[] = {
    {2, "/tmp/fs-validator"},
    {3, "/tmp/kernel_image"},
    {4, "/tmp/filesystem.db"},
};

// Re-creating the ramdisk, in order. The log leaves the ramdisk before the unmount and comes
// back into the new one; no line may be logged in between.
constexpr const char* const kRamdiskCommands[] = {
    "mv /tmp/ramdisk/upgrade_log /var/log/upgrade_log",
    "umount /tmp/ramdisk/",
    "mount -t tmpfs -o size=25M /tmp/ramdisk/",
    "mv /var/log/upgrade_log /tmp/ramdisk/upgrade_log",
    "mv /tmp/fs-validator /tmp/ramdisk/fs-validator",
    "mv /tmp/kernel_image /tmp/ramdisk/kernel_image",
    "mv /tmp/filesystem.db /tmp/ramdisk/filesystem.db",
};

constexpr const char kValidatorCommand[] =
    "/tmp/ramdisk/fs-validator /tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db";

}  // namespace

bool LocateUpgradeFile(std::string& path) {
  DIR* directory = ::opendir(kUpgradeDirectory);
  if (directory == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(directory)) {
    if (std::strncmp(entry->d_name, kUpgradeFilePrefix, kUpgradeFilePrefixChars) == 0) {
      path = UpgradeFilePath(entry->d_name);
      found = true;
      break;
    }
  }
  ::closedir(directory);
  return found;
}

bool ExtractUpgradeMembers(qx::upgradeFile::UpgradeFile& upgrade_file) {
  for (const Member& member : kMembers) {
    if (!upgrade_file.ExtractFile(member.index, member.extracted_to)) return false;
  }
  return true;
}

void StageIntoFreshRamdisk(const std::string& upgrade_file_path) {
  // The members are safe under /tmp/ now; the upgrade file is not needed again.
  (void)::unlink(upgrade_file_path.c_str());
  ::sync();
  for (const char* command : kRamdiskCommands) (void)utils::RunShellCommand(command);
  ::sync();
}

int RunValidator() {
  const int status = utils::RunShellCommand(kValidatorCommand);
  // The marker tells the next boot that an upgrade is under way; only a validated upgrade
  // clears it.
  if (status == 0) (void)utils::RunShellCommand(kUnmarkUpgradeStartedCommand);
  return status;
}

}  // namespace qx::upgrader::driver
