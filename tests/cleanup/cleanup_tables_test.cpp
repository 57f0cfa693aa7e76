// Properties of the cleanup's constant tables and of the rotated-log name rules. Pure data and
// string functions: nothing here touches the file system.
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "cleanup/kv70_tables.h"
#include "cleanup/removal_tables.h"
#include "cleanup/rotated_logs.h"
#include "gtest/gtest.h"

namespace qx::upgrader::cleanup {
namespace {

constexpr const char kRmPrefix[] = "rm -rf ";

struct Listed {
  std::vector<std::string> removed;  // every path some action can delete
  std::vector<std::string> tested;   // every newer copy a rule tests
  std::vector<std::string> commands;
};

template <std::size_t C, std::size_t F, std::size_t S>
void Collect(const char* const (&commands)[C], const char* const (&files)[F],
             const Superseded (&superseded)[S], Listed& out) {
  out.commands.insert(out.commands.end(), std::begin(commands), std::end(commands));
  out.removed.insert(out.removed.end(), std::begin(files), std::end(files));
  for (const Superseded& rule : superseded) {
    out.tested.push_back(rule.newer);
    out.removed.insert(out.removed.end(), rule.older.begin(), rule.older.end());
  }
}

Listed CollectBoth() {
  Listed listed;
  Collect(kStaticDirectoryCommands, kStaticFiles, kStaticSuperseded, listed);
  Collect(kExtraDirectoryCommands, kExtraFiles, kExtraSuperseded, listed);
  for (const char* base : kNetSnmpBases) {
    for (const NetSnmpRelease& release : kNetSnmpReleases) {
      const std::string full = std::string("/usr/lib/") + base + ".so." + release.full;
      if (&release == &kNetSnmpReleases[0]) {
        listed.tested.push_back(full);  // the newest release is never removed
      } else {
        listed.removed.push_back(full);
        listed.removed.push_back(std::string("/usr/lib/") + base + ".so." + release.major);
      }
    }
  }
  for (const EitherOf& rule : kExtraEitherOf) {
    listed.tested.insert(listed.tested.end(), {rule.tested, rule.also_tested});
    listed.commands.push_back(rule.command);
  }
  for (const KernelModules& row : kKernelModules) listed.commands.push_back(row.command);
  for (const std::string& command : listed.commands) {
    listed.removed.push_back(command.substr(std::strlen(kRmPrefix)));
  }
  return listed;
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

TEST(RemovalTablesTest, EveryCommandIsOneRecursiveRemovalOfAPlainAbsolutePath) {
  for (const std::string& command : CollectBoth().commands) {
    SCOPED_TRACE(command);
    ASSERT_EQ(0u, command.rfind(kRmPrefix, 0));
    const std::string path = command.substr(std::strlen(kRmPrefix));
    // A blank, glob or shell character would remove more than the one path, or run something.
    EXPECT_EQ(std::string::npos, path.find_first_of(" \t\n*?[]{}~$`\\\"';&|<>()"));
  }
}

TEST(RemovalTablesTest, RemovedPathsAreAbsoluteDistinctAndBelowEveryProtectedPath) {
  // Directories the router cannot run without, and files the upgrade itself needs.
  // clang-format off
  const std::vector<std::string> kProtected = {
      "/", "/bin", "/sbin", "/etc", "/lib", "/lib/modules", "/lib/firmware", "/lib/pppd",
      "/usr", "/usr/bin", "/usr/sbin", "/usr/lib", "/usr/share", "/usr/local", "/usr/etc",
      "/var", "/var/log", "/var/log/upgrade_log", "/home", "/home/logs", "/tmp",
      "/tmp/ramdisk", "/tmp/ramdisk/upgrade_log", "/web", "/web/config", "/proc", "/sys",
      "/dev", "/bin/sh", "/bin/busybox", "/sbin/init", "/share"};
  // clang-format on
  const Listed listed = CollectBoth();
  std::set<std::string> seen;
  for (const std::string& raw : listed.removed) {
    SCOPED_TRACE(raw);
    const std::string path = WithoutTrailingSlash(raw);
    ASSERT_EQ('/', path.front());
    EXPECT_EQ(std::string::npos, path.find("//"));
    EXPECT_EQ(std::string::npos, path.find("/."));  // no ".", ".." or hidden names
    EXPECT_TRUE(seen.insert(path).second) << "listed twice";
    for (const std::string& kept : kProtected) {
      EXPECT_NE(kept, path);
      EXPECT_NE(0u, (kept + "/").rfind(path + "/", 0)) << "would remove " << kept;
    }
  }
}

TEST(RemovalTablesTest, TheNewestCopyOfAnythingIsNeverRemoved) {
  const Listed listed = CollectBoth();
  const std::set<std::string> removed(listed.removed.begin(), listed.removed.end());
  for (const std::string& path : listed.tested) {
    SCOPED_TRACE(path);
    EXPECT_EQ(0u, removed.count(path));
  }
}

// Each release's banner names its own row and no other: a bare "2.6.35.3" row would take the
// running suffixed kernel's modules for those of another release.
TEST(KernelTableTest, EachReleaseMatchesOnlyItsOwnRow) {
  ASSERT_EQ(15u, std::size(kKernelModules));
  EXPECT_STREQ("2.6.35.3 (", kKernelModules[0].match);
  for (const KernelModules& running : kKernelModules) {
    std::string release = running.match;
    if (release.size() > 2 && release.compare(release.size() - 2, 2, " (") == 0) {
      release.resize(release.size() - 2);
    }
    SCOPED_TRACE(release);
    EXPECT_EQ(std::string("rm -rf /lib/modules/") + release + "/", running.command);
    const std::string banner = "Linux version " + release + " (builder@qx-build) (gcc 4.4.4) #1";
    for (const KernelModules& row : kKernelModules) {
      EXPECT_EQ(&row == &running, banner.find(row.match) != std::string::npos) << row.match;
    }
  }
}

TEST(RotatedLogNamesTest, OnlyTheCanonicalSpellingOfAnIndexInRangeIsAMember) {
  struct Case {
    const RotatedLogSeries& series;
    const char* name;
    int index;  // -1: not a member
  };
  // clang-format off
  const Case kCases[] = {
      {kSyslogSeries, "sys.log.1.gz", 1},       {kSyslogSeries, "sys.log.50.gz", 50},
      {kSyslogSeries, "sys.log.7.gz", 7},       {kSyslogSeries, "sys.log.0.gz", -1},
      {kSyslogSeries, "sys.log.51.gz", -1},     {kSyslogSeries, "sys.log.07.gz", -1},
      {kSyslogSeries, "sys.log..gz", -1},       {kSyslogSeries, "sys.log.1.gz.1", -1},
      {kSyslogSeries, "sys.log.+1.gz", -1},     {kSyslogSeries, "sys.log.-1.gz", -1},
      {kSyslogSeries, "sys.log. 1.gz", -1},     {kSyslogSeries, "messages.1.gz", -1},
      {kSyslogSeries, "sys.log.99999999999999999999.gz", -1},
      {kMessagesSeries, "messages.50.gz", 50},  {kMessagesSeries, "messages.0.gz", -1},
      {kMessagesSeries, "sys.log.3.gz", -1},    {kHomeLogSeries, "log-00000.txt.gz", 0},
      {kHomeLogSeries, "log-09999.txt.gz", 9999}, {kHomeLogSeries, "log-10000.txt.gz", -1},
      {kHomeLogSeries, "log-0.txt.gz", -1},     {kHomeLogSeries, "log-0001.txt.gz", -1},
      {kHomeLogSeries, "log-000001.txt.gz", -1}, {kHomeLogSeries, "log-00001.txt", -1},
      {kHomeLogSeries, "log-0000a.txt.gz", -1},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    int index = -7;
    EXPECT_EQ(c.index >= 0, ParseMemberIndex(c.series, c.name, index));
    EXPECT_EQ(c.index >= 0 ? c.index : -7, index);
  }
}

TEST(RotatedLogNamesTest, EveryIndexInRangeSpellsAMemberThatParsesBack) {
  for (const RotatedLogSeries* series : {&kSyslogSeries, &kMessagesSeries, &kHomeLogSeries}) {
    for (int index = series->first_index; index <= series->last_index; ++index) {
      const std::string path = MemberPath(*series, index);
      const std::string directory = std::string(series->directory) + "/";
      ASSERT_EQ(0u, path.rfind(directory, 0)) << path;
      ASSERT_LE(path.size(), 27u) << path;
      int parsed = -1;
      ASSERT_TRUE(ParseMemberIndex(*series, path.substr(directory.size()), parsed)) << path;
      ASSERT_EQ(index, parsed);
    }
  }
  EXPECT_EQ("/var/log/sys.log.7.gz", MemberPath(kSyslogSeries, 7));
  EXPECT_EQ("/home/logs/log-00042.txt.gz", MemberPath(kHomeLogSeries, 42));
}

}  // namespace
}  // namespace qx::upgrader::cleanup
