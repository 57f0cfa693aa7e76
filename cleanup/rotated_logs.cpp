#include "cleanup/rotated_logs.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <vector>

#include "cleanup/cleanup_utils.h"
#include "utils/upgrader_utils.h"

namespace qx::upgrader::cleanup {
namespace {

// No index of any series needs more digits; longer digit runs are never members.
constexpr std::size_t kMaxIndexDigits = 5;

std::string FormatIndex(const RotatedLogSeries& series, int index) {
  char digits[16];
  const int length = std::snprintf(digits, sizeof digits, "%0*d", series.width, index);
  if (length <= 0) return std::string();
  return std::string(digits, static_cast<std::size_t>(length));
}

bool ScanByIndex(const RotatedLogSeries& series, std::string& path) {
  const int step = series.oldest_is_highest ? -1 : 1;
  const int first = series.oldest_is_highest ? series.last_index : series.first_index;
  const int count = series.last_index - series.first_index + 1;
  for (int i = 0, index = first; i < count; ++i, index += step) {
    std::string candidate = MemberPath(series, index);
    if (qx::upgrader::utils::FileExists(candidate)) {
      path = std::move(candidate);
      return true;
    }
  }
  return false;
}

enum class Listing { kDone, kNoDirectory, kFailed };

// Collects the indexes of the member-form names in the series' directory.
Listing ListMemberIndexes(const RotatedLogSeries& series, std::vector<int>& indexes) {
  DIR* dir = ::opendir(series.directory);
  if (dir == nullptr) {
    // Without the directory no member path can exist either; any other failure is unknown.
    return errno == ENOENT || errno == ENOTDIR ? Listing::kNoDirectory : Listing::kFailed;
  }
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    int index = 0;
    if (ParseMemberIndex(series, entry->d_name, index)) indexes.push_back(index);
    errno = 0;
  }
  const bool complete = errno == 0;
  ::closedir(dir);
  return complete ? Listing::kDone : Listing::kFailed;
}

// Tests only the listed names, in scan order: the first regular file (links followed) is the
// member that the index probe would also stop at, since every index it passes before that one
// is unlisted (no such name) or fails the same test.
bool ScanByListing(const RotatedLogSeries& series, std::string& path) {
  std::vector<int> indexes;
  switch (ListMemberIndexes(series, indexes)) {
    case Listing::kNoDirectory:
      return false;
    case Listing::kFailed:
      return ScanByIndex(series, path);  // an incomplete listing must not hide a member
    case Listing::kDone:
      break;
  }
  if (series.oldest_is_highest) {
    std::sort(indexes.begin(), indexes.end(), [](int a, int b) { return a > b; });
  } else {
    std::sort(indexes.begin(), indexes.end());
  }
  for (const int index : indexes) {
    std::string candidate = MemberPath(series, index);
    if (qx::upgrader::utils::FileExists(candidate)) {
      path = std::move(candidate);
      return true;
    }
  }
  return false;
}

bool FindEarliestTime(const RotatedLogSeries& series, long& time) {
  std::string path;
  if (!FindOldestMember(series, path)) return false;
  time = qx::upgrader::utils::FileModificationTime(path);
  return true;
}

}  // namespace

std::string MemberPath(const RotatedLogSeries& series, int index) {
  return std::string(series.directory) + "/" + series.prefix + FormatIndex(series, index) +
         series.suffix;
}

bool ParseMemberIndex(const RotatedLogSeries& series, std::string_view name, int& index) {
  const std::string_view prefix(series.prefix);
  const std::string_view suffix(series.suffix);
  if (name.size() <= prefix.size() + suffix.size()) return false;
  if (name.substr(0, prefix.size()) != prefix) return false;
  if (name.substr(name.size() - suffix.size()) != suffix) return false;
  const std::string_view digits =
      name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (digits.size() > kMaxIndexDigits) return false;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  int value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (value < series.first_index || value > series.last_index) return false;
  // Only the spelling that the series' format gives: no extra or missing leading zeros.
  if (FormatIndex(series, value) != digits) return false;
  index = value;
  return true;
}

bool FindOldestMember(const RotatedLogSeries& series, std::string& path) {
  return ScanByListing(series, path);
}

Unlinked UnlinkOldestMember(const RotatedLogSeries& series) {
  std::string path;
  if (!FindOldestMember(series, path)) return Unlinked::kNoMember;
  if (::unlink(path.c_str()) == 0 || !qx::upgrader::utils::FileExists(path)) return Unlinked::kGone;
  return Unlinked::kStayed;
}

namespace utils {

bool FindEarliestVarLogSyslogTime(long& time) { return FindEarliestTime(kSyslogSeries, time); }
bool FindEarliestVarLogMessageTime(long& time) { return FindEarliestTime(kMessagesSeries, time); }
bool FindEarliestHomeLogTime(long& time) { return FindEarliestTime(kHomeLogSeries, time); }

// True whenever the series had a member, removed or not: one that stays is met again next time.
bool UnlinkEarliestVarLogSyslogTime() {
  return UnlinkOldestMember(kSyslogSeries) != Unlinked::kNoMember;
}
bool UnlinkEarliestVarLogMessage() {
  return UnlinkOldestMember(kMessagesSeries) != Unlinked::kNoMember;
}
bool UnlinkEarliestHomeLogFile() {
  return UnlinkOldestMember(kHomeLogSeries) != Unlinked::kNoMember;
}

}  // namespace utils
}  // namespace qx::upgrader::cleanup
