// The three rotated-log series, and finding and removing a series' oldest member.
//
// The members of a series are "<directory>/<prefix><index><suffix>" for the indexes of its
// range, the index written in plain decimal (width 0) or with exactly `width` digits, zero
// padded. Only the canonical spelling of an index names a member: "sys.log.07.gz" and
// "log-0.txt.gz" never do.
#ifndef QX_CLEANUP_ROTATED_LOGS_H_
#define QX_CLEANUP_ROTATED_LOGS_H_

#include <string>
#include <string_view>

namespace qx::upgrader::cleanup {

struct RotatedLogSeries {
  const char* directory;
  const char* prefix;
  const char* suffix;
  int first_index;
  int last_index;
  int width;               // 0: no leading zeros; otherwise exactly this many digits
  bool oldest_is_highest;  // scan order: last_index down to first_index, else upwards
};

// Device paths: the system logger and the home log rotation write these names.
inline constexpr RotatedLogSeries kSyslogSeries{"/var/log", "sys.log.", ".gz", 1, 50, 0, true};
inline constexpr RotatedLogSeries kMessagesSeries{"/var/log", "messages.", ".gz", 1, 50, 0, true};
inline constexpr RotatedLogSeries kHomeLogSeries{"/home/logs", "log-", ".txt.gz", 0,
                                                 9999,         5,      false};

// The member path of index (which must lie in the series' range).
std::string MemberPath(const RotatedLogSeries& series, int index);

// True when name (a directory entry, without the directory) is the member name of an index in
// the series' range; index then receives it.
bool ParseMemberIndex(const RotatedLogSeries& series, std::string_view name, int& index);

// True when the series has a member; path then receives the oldest one. The series' directory
// is listed once and only names of member form are tested, in scan order: the member that an
// existence test of every index would stop at, at a fraction of the lookups. A listing that
// fails for any reason but a missing directory falls back to testing every index.
bool FindOldestMember(const RotatedLogSeries& series, std::string& path);

enum class Unlinked {
  kNoMember,  // the series had no member
  kGone,      // the oldest member was removed
  kStayed,    // the oldest member is still there after its unlink (a read-only directory, say)
};

// Unlinks the oldest member of the series (a symbolic link itself, not its target). The one
// removal of a rotated log: the series' public unlink operation and the cleanup's passes both
// come here.
Unlinked UnlinkOldestMember(const RotatedLogSeries& series);

}  // namespace qx::upgrader::cleanup

#endif  // QX_CLEANUP_ROTATED_LOGS_H_
