// The cleanup's name matching: which directory entries are rotated-log members, and which
// release a kernel banner names.
#include <string>
#include <string_view>

#include "cleanup/cleanup_utils.h"
#include "cleanup/kv70_tables.h"
#include "cleanup/rotated_logs.h"
#include "gtest/gtest.h"

namespace qx::upgrader::cleanup {
namespace {

TEST(ParseMemberIndexTest, OnlyTheCanonicalSpellingOfAnIndexInRangeIsAMember) {
  struct Row {
    const RotatedLogSeries& series;
    const char* name;
    bool member;
    int index;
  };
  const Row kRows[] = {
      {kSyslogSeries, "sys.log.1.gz", true, 1},
      {kSyslogSeries, "sys.log.50.gz", true, 50},
      {kHomeLogSeries, "log-00000.txt.gz", true, 0},
      {kHomeLogSeries, "log-09999.txt.gz", true, 9999},
      {kSyslogSeries, "sys.log.0.gz", false, 0},  // out of range
      {kSyslogSeries, "sys.log.51.gz", false, 0},
      {kHomeLogSeries, "log-10000.txt.gz", false, 0},
      {kSyslogSeries, "sys.log.07.gz", false, 0},  // not canonical
      {kHomeLogSeries, "log-0.txt.gz", false, 0},
      {kHomeLogSeries, "log-0001.txt.gz", false, 0},
      {kSyslogSeries, "sys.log..gz", false, 0},  // not digits
      {kSyslogSeries, "sys.log.+1.gz", false, 0},
      {kSyslogSeries, "sys.log.99999999999.gz", false, 0},  // beyond int
      {kSyslogSeries, "sys.log.1.gz.1", false, 0},          // prefix or suffix wrong
      {kSyslogSeries, "messages.1.gz", false, 0},
  };
  for (const Row& row : kRows) {
    int index = -7;
    EXPECT_EQ(row.member, ParseMemberIndex(row.series, row.name, index)) << row.name;
    EXPECT_EQ(row.member ? row.index : -7, index) << row.name;  // untouched when no member
  }
}

// A banner whose tail starts at byte `at`.
std::string At(std::size_t at, const std::string& tail) {
  return "Linux version " + std::string(at - 14, '#') + tail;
}

TEST(BannerNamesVersionTest, SearchesTheHeadUpToItsFirstNul) {
  struct Row {
    std::string banner;
    const char* version;
    bool names;
  };
  const Row kRows[] = {
      {"Linux version 2.6.35.3 (builder@qx-build) #1\n", "2.6.35.3 (", true},
      {"Linux version 2.6.35.3-00295-gbbbf593 (builder@qx-build) #1\n", "2.6.35.3 (", false},
      {"Linux version 2.6.35.3-00295-gbbbf593 (b@h)", "2.6.35.3-00295-gbbbf593", true},
      {"Linux version 2.6.35.3-00295-gbbbf593 (b@h)", "2.6.35.3-00295-gBBBF593", false},
      {"Linux version 2.6.35.3-00295-gbbbf59", "2.6.35.3-00295-gbbbf593", false},
      {"x", "", true},  // an empty version is in every banner
      {"", "", true},
      {"", "2", false},
      {std::string("Linux\0version 2.6.35.3 (", 24), "2.6.35.3 (", false},
      {std::string("Linux version 2.6.35.3 (\0", 25), "2.6.35.3 (", true},
      {At(105, "2.6.35.3-00295-gbbbf593"), "2.6.35.3-00295-gbbbf593", true},  // ends at 128
      {At(106, "2.6.35.3-00295-gbbbf593"), "2.6.35.3-00295-gbbbf593", false},
      {At(128, "2.6.35.3 ("), "2.6.35.3 (", false},
  };
  for (const Row& row : kRows) {
    EXPECT_EQ(row.names, utils::BannerNamesVersion(row.banner, row.version))
        << row.version << " in " << row.banner.size() << " bytes: " << row.banner;
  }
}

// Each shipped release's banner names that release alone, so the running kernel's modules are
// the only ones kept (a bare "2.6.35.3" would be found in every suffixed banner).
TEST(BannerNamesVersionTest, EveryShippedReleaseNamesOnlyItself) {
  for (const KernelModules& running : kKernelModules) {
    const std::string directory = running.command + std::string_view("rm -rf ").size();
    const std::string release = directory.substr(13, directory.size() - 14);  // /lib/modules/R/
    const std::string banner = "Linux version " + release + " (builder@qx-build) (gcc) #1\n";
    for (const KernelModules& row : kKernelModules) {
      EXPECT_EQ(&row == &running, utils::BannerNamesVersion(banner, row.match))
          << row.match << " in " << banner;
    }
  }
}

}  // namespace
}  // namespace qx::upgrader::cleanup
