#include "driver/staging.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "driver/run_commands.h"
#include "driver/run_guard.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::driver {
namespace {

constexpr const char kUpgradeFilePrefix[] = "ud";
constexpr std::size_t kUpgradeFilePrefixChars = sizeof kUpgradeFilePrefix - 1;

struct Member {
  unsigned int index;  // inner file index in the upgrade file
  const char* extracted_to;
  const char* staged_to;  // in the fresh ramdisk
};

// Inner files 0 and 1 are walked and digest-checked but not used here. The validator is run with
// the other two staged files as its arguments, in this order.
constexpr Member kMembers[] = {
    {2, "/tmp/fs-validator", "/tmp/ramdisk/fs-validator"},
    {3, "/tmp/kernel_image", "/tmp/ramdisk/kernel_image"},
    {4, "/tmp/filesystem.db", "/tmp/ramdisk/filesystem.db"},
};

constexpr const char kUnmountRamdiskCommand[] = "umount /tmp/ramdisk/";
constexpr const char kMountRamdiskCommand[] = "mount -t tmpfs -o size=25M /tmp/ramdisk/";
// The directory that holds the ramdisk's mount point, on the root file system.
constexpr const char kRamdiskParent[] = "/tmp/";

std::string MoveCommand(const Member& member) {
  return std::string("mv ") + member.extracted_to + " " + member.staged_to;
}

std::string ValidatorCommand() {
  std::string command;
  for (const Member& member : kMembers) {
    if (!command.empty()) command += ' ';
    command += member.staged_to;
  }
  return command;
}

// True when path is the root of a file system other than its parent's (a mount point).
bool IsMountedOver(const char* path, const char* parent) {
  struct stat mounted {
  }, below{};
  return ::stat(path, &mounted) == 0 && ::stat(parent, &below) == 0 &&
         mounted.st_dev != below.st_dev;
}

// Whatever stands at the member's extraction path goes, a link, FIFO or directory tree of
// another user included; nothing is followed. Logged when something was removed.
void RemoveStaleMember(const Member& member) {
  struct stat left {};
  if (::lstat(member.extracted_to, &left) != 0 || !utils::RemoveEntry(member.extracted_to)) return;
  (void)utils::LogToUpgradeLog(std::string(kRemovedStaleFilePrefix) + member.extracted_to);
}

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

void RemoveStaleMembers() {
  for (const Member& member : kMembers) RemoveStaleMember(member);
}

bool ExtractUpgradeMembers(qx::upgradeFile::UpgradeFile& upgrade_file) {
  for (const Member& member : kMembers) {
    // /tmp is open to every user: what was planted there during the cleanup goes too.
    RemoveStaleMember(member);
    if (!upgrade_file.ExtractFile(member.index, member.extracted_to)) return false;
  }
  return true;
}

bool StageIntoFreshRamdisk(const std::string& upgrade_file_path) {
  // The members are safe under /tmp/ now; the upgrade file is not needed again.
  (void)::unlink(upgrade_file_path.c_str());
  ::sync();
  // The log leaves the ramdisk before the unmount and comes back into the new one; no line may
  // be logged in between.
  (void)utils::RunShellCommand(kLogOutOfRamdiskCommand);
  (void)utils::RunShellCommand(kUnmountRamdiskCommand);
  (void)utils::RunShellCommand(kMountRamdiskCommand);
  // The fresh tmpfs is open to every user until it is closed again; whatever appeared in it
  // meanwhile at a path that the run writes or moves to is not the run's.
  CloseTheRamdisk();
  for (const Member& member : kMembers) (void)utils::RemoveUnsafeEntry(member.staged_to);
  const bool mounted = IsMountedOver(kUpgradeDirectory, kRamdiskParent);
  (void)utils::RunShellCommand(kLogIntoRamdiskCommand);
  if (!mounted) (void)utils::LogToUpgradeLog(kRamdiskNotRecreatedLine);
  for (const Member& member : kMembers) (void)utils::RunShellCommand(MoveCommand(member));
  ::sync();
  return mounted;
}

int RunValidator() {
  const int status = utils::RunShellCommand(ValidatorCommand());
  // The marker tells the next boot that an upgrade is under way; only a validated upgrade
  // clears it.
  if (status == 0) (void)utils::RunShellCommand(kUnmarkUpgradeStartedCommand);
  return status;
}

void RemoveStagedMembers() {
  for (const Member& member : kMembers) (void)::unlink(member.staged_to);
}

}  // namespace qx::upgrader::driver
