// The upgrader utilities: the upgrade log writer, small file-system queries by path, the
// permission and link checks, and the one place where a shell command is run.
//
// Every function is stateless and never throws. Out-parameters are written only when the
// function returns true; on false they keep the caller's value, so a caller that reads one
// afterwards presets it.
#ifndef QX_UTILS_UPGRADER_UTILS_H_
#define QX_UTILS_UPGRADER_UTILS_H_

#include <sys/stat.h>

#include <ctime>
#include <string>

namespace qx::upgrader::utils {

// Where the upgrade log lives while a run lasts. Part of the device's interface.
constexpr const char kUpgradeLogPath[] = "/tmp/ramdisk/upgrade_log";

// The time stamp that starts every log entry: year, month (two digits) and day (no leading
// zero) run together, then " HH:MM:SS - ". 1 January 2025 00:00:00 gives "2025011 00:00:00 - ".
std::string FormatLogStamp(const std::tm& local_time);

// Appends one entry (stamp, message, line feed) to kUpgradeLogPath with a single write and
// without a shell, so the message reaches the file byte for byte and can never run a command.
// Returns 0 when the whole entry was written and 1 otherwise. Never creates a directory: with
// /tmp/ramdisk missing nothing is written anywhere and 1 is returned. Writes only into a private
// file (IsPrivateFile): a link, FIFO, device or a file of another user at the path gets nothing,
// and the open never waits (O_NOFOLLOW | O_NONBLOCK), so nothing planted there is written
// through or can hold the run.
//
// Host programs that reuse on-device code (udtool, fuzzers, benchmarks) define their own
// LogToUpgradeLog (the definition here sits alone in upgrade_log.cpp, so the linker takes
// theirs), so they never write to a /tmp/ramdisk/upgrade_log on a workstation.
int LogToUpgradeLog(const std::string& message);

// The same entry appended to any file; LogToUpgradeLog is this with kUpgradeLogPath.
int AppendLogEntry(const std::string& log_path, const std::string& message);

// Runs one complete command line through the system shell (system()) and returns the raw
// status that system() gives back. The only place in the on-device code that runs a command.
// The form for a fixed text allocates nothing, so it still works when memory has run out.
int RunShellCommand(const std::string& command);
int RunShellCommand(const char* command);

// True when st (from lstat or fstat) is a regular file of root's with exactly one link: the only
// kind of file the run writes through a fixed path that other users could have reached.
bool IsPrivateFile(const struct stat& st);

// Removes whatever stands at path (an absolute path): a file, link, FIFO, socket or device, or a
// directory with everything beneath it, even one of another user that is being filled meanwhile.
// Never follows a symbolic link. True when nothing stands at path any more.
bool RemoveEntry(const std::string& path);

// Removes what stands at path unless it is a private file (IsPrivateFile, the path itself, not
// followed). True when path is then absent or a private file.
bool RemoveUnsafeEntry(const std::string& path);

// True when stat() of the path succeeds (symbolic links followed) and it is a regular file.
// False means missing, dangling, not a regular file, or could not be told.
bool FileExists(const std::string& path);

// True when stat() of the path succeeds and it is a directory.
bool DirectoryExists(const std::string& path);

// True when stat() succeeds and the path is a regular file; size then receives its size,
// saturated at 4294967295 for a file of 4 GiB or more.
bool FileSize(const std::string& path, unsigned int& size);

// The last modification time in seconds since the epoch, or 0 when stat() fails.
long FileModificationTime(const std::string& path);

// Flushes file-system buffers, then measures the space available to unprivileged users on the
// file system holding path. True on success; free_bytes then receives f_bavail * f_bsize,
// computed in 64 bits and saturated at 4294967295 so a large file system never reads as full.
bool MountFreeSpace(std::string path, unsigned int& free_bytes);

// chmod() of the path to mode; true on success.
bool SetPermissions(const std::string& path, unsigned int mode);

// True when stat() of the path succeeds and its nine permission bits equal mode (set-user-ID,
// set-group-ID and sticky bits are not compared, so a mode holding any of them never matches).
// With log true a negative answer is explained in the upgrade log.
bool VerifyPermissions(const std::string& path, unsigned int mode, bool log);

// True when lstat() of the path succeeds and the path itself is a symbolic link (a dangling
// link counts). With log true a negative answer is explained in the upgrade log.
bool LinkExists(const std::string& path, bool log);

// True when the whole content of the symbolic link equals target, byte for byte, without
// resolving it. With log true a negative answer is explained in the upgrade log.
bool VerifyLink(const std::string& link, const std::string& target, bool log);

}  // namespace qx::upgrader::utils

#endif  // QX_UTILS_UPGRADER_UTILS_H_
