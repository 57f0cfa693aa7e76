// The rotated-log operations and the kernel version check of the staged cleanup.
//
// Rotated logs: three series of numbered compressed logs (rotated_logs.h describes them). A
// member is a path of the series' form, with an index in range, that names a regular file after
// following symbolic links. The oldest member is the first met in the series' scan order
// (highest index for the two /var/log series, lowest for the home logs): the index decides, the
// members' times are never compared with one another. A find and the unlink of the same series,
// called with nothing removed in between, concern the same member. Nothing here is logged.
#ifndef QX_CLEANUP_CLEANUP_UTILS_H_
#define QX_CLEANUP_CLEANUP_UTILS_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace qx::upgrader::cleanup::utils {

// True when the series has a member; time then receives the oldest member's modification time
// (seconds since the epoch). On false time keeps the caller's value.
bool FindEarliestVarLogSyslogTime(long& time);   // /var/log/sys.log.<1..50>.gz
bool FindEarliestVarLogMessageTime(long& time);  // /var/log/messages.<1..50>.gz
bool FindEarliestHomeLogTime(long& time);        // /home/logs/log-<00000..09999>.txt.gz

// Unlinks the oldest member of the series (a symbolic link itself, not its target). True when
// the series had a member, whether or not the unlink succeeded: a member that cannot be removed
// stays and is met again by the next call.
bool UnlinkEarliestVarLogSyslogTime();
bool UnlinkEarliestVarLogMessage();
bool UnlinkEarliestHomeLogFile();

// Only the head of a kernel banner takes part in a version match: the release sits near its
// start, and one short read is all the kernel is asked for.
inline constexpr std::size_t kKernelBannerHeadBytes = 128;

// True when version occurs in the banner's head: its first kKernelBannerHeadBytes bytes, ending
// early at the first NUL among them. A case-sensitive substring search, so an empty version
// always matches.
bool BannerNamesVersion(std::string_view banner, std::string_view version);

// Reads the running kernel's banner from /proc/version (one read of at most
// kKernelBannerHeadBytes bytes) and sets matches to BannerNamesVersion(banner, version).
// Returns false, leaving matches alone, when the banner could not be read; one line ("Unable to
// open /proc/version" or "Unsuccessful read from /proc/version") has then been written to the
// upgrade log. A false result says nothing about the version.
bool MatchesKernelVersion(const std::string& version, bool& matches);

}  // namespace qx::upgrader::cleanup::utils

#endif  // QX_CLEANUP_CLEANUP_UTILS_H_
