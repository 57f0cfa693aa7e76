// The whole staged cleanup in a simulated device: each stage's success exit, the total
// failure, a root too large to measure in 32 bits, and the trimming of oversized logs.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/cleanup/device_fixture.h"

namespace qx::cleanup_test {
namespace {

// What each stage can free on the standard device below, in bytes.
constexpr std::uint64_t kStaticBytes = 2 * kMiB;       // one listed firmware image, one listed tree
constexpr std::uint64_t kModuleBytes = 1 * kMiB;       // the modules of a release not running
constexpr std::uint64_t kMemberBytes = 256 * kKiB;     // each of four rotated logs
constexpr std::uint64_t kExtraBytes = 1 * kMiB;        // one listed program
constexpr std::uint64_t kSystemLogBytes = 512 * kKiB;  // each of sys.log and messages

// The rotated logs, oldest modification time first (the order stage 4 takes them in).
const std::vector<std::string> kMembersOldestFirst = {
    "/home/logs/log-00000.txt.gz", "/var/log/messages.2.gz", "/var/log/sys.log.1.gz",
    "/home/logs/log-00001.txt.gz"};

sim::DeviceSpec StandardDevice(sim::DeviceSpec spec) {
  spec.files.push_back(SizedFile("/etc/dsl-3.61.img", kMiB));
  spec.files.push_back(SizedFile("/usr/share/gtk-doc/html/index.html", kMiB));
  spec.files.push_back(SizedFile("/lib/modules/2.6.35.3-00108-g29117d2/net.ko", kModuleBytes));
  spec.files.push_back(SizedFile("/lib/modules/2.6.35.3-00295-gbbbf593/net.ko", kMiB));
  const std::int64_t kTimes[] = {1000, 2000, 3000, 4000};
  for (std::size_t i = 0; i < kMembersOldestFirst.size(); ++i) {
    spec.files.push_back(SizedFile(kMembersOldestFirst[i], kMemberBytes, kTimes[i]));
  }
  spec.files.push_back(SizedFile("/usr/bin/minicom", kExtraBytes));
  spec.files.push_back(SizedFile("/var/log/sys.log", kSystemLogBytes));
  spec.files.push_back(SizedFile("/var/log/messages", kSystemLogBytes));
  return spec;
}

std::string Line(const char* text, std::uint64_t value) { return text + std::to_string(value); }

class CleanupRunTest : public DeviceTest {};

TEST_F(CleanupRunTest, StopsAtTheFirstStageThatFreesEnough) {
  // The free space gained once each stage is done.
  const std::uint64_t after[] = {
      kStaticBytes, kStaticBytes + kModuleBytes, kStaticBytes + kModuleBytes + 4 * kMemberBytes,
      kStaticBytes + kModuleBytes + 4 * kMemberBytes + kExtraBytes,
      kStaticBytes + kModuleBytes + 4 * kMemberBytes + kExtraBytes + 2 * kSystemLogBytes};
  const char* kOpening[] = {"Clearing unused static files", "Clearing unused kernel modules",
                            "Clearing logs files", "Clearing extra files", nullptr};
  const char* kSuccess[] = {"Enough space created after clearing static files",
                            "Enough space created after clearing kernel modules",
                            "Enough space created after clearing old logs",
                            "Enough space created after clearing extra files",
                            "Enough space created after clearing extra files"};
  struct Case {
    const char* name;
    std::int64_t more;  // required free space minus the free space at the start
    int last_stage;     // 0..4 index of the stage that succeeds; 5: none does
    std::size_t members_removed;
  };
  const Case kCases[] = {
      {"enough at the start", -static_cast<std::int64_t>(kMiB), 0, 0},
      {"static files, exactly", static_cast<std::int64_t>(after[0]), 0, 0},
      {"kernel modules", static_cast<std::int64_t>(after[0] + kModuleBytes / 2), 1, 0},
      {"old logs, two of four", static_cast<std::int64_t>(after[1] + 2 * kMemberBytes), 2, 2},
      {"extra files", static_cast<std::int64_t>(after[3] - kExtraBytes / 2), 3, 4},
      {"system logs", static_cast<std::int64_t>(after[4] - kSystemLogBytes), 4, 4},
      {"nothing helps", static_cast<std::int64_t>(after[4] + kMiB), 5, 4},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<sim::Device> device = Create(StandardDevice(BaseSpec()));
    ASSERT_NE(nullptr, device);
    const std::uint64_t start = device->FreeSpace();
    const std::uint64_t required = start + static_cast<std::uint64_t>(c.more);
    const sim::RunResult run = Probe(*device, {"perform", std::to_string(required)});
    const bool enough = c.last_stage < 5;
    EXPECT_EQ(Line("required=", required) + " result=1 enough=" + (enough ? "1" : "0") + "\n",
              run.output);

    std::vector<std::string> expected = {"Beginning file system cleanup",
                                         Line("FreeSpace: ", start),
                                         Line("Required free space: ", required)};
    std::vector<std::string> commands = kStaticCommands;
    for (int stage = 0; stage <= c.last_stage && stage < 5; ++stage) {
      if (kOpening[stage] != nullptr) expected.push_back(kOpening[stage]);
      if (stage == 1) {
        // The default banner runs the last listed release; every other one goes.
        for (std::size_t i = 0; i + 1 < kListedReleases.size(); ++i) {
          commands.push_back("rm -rf /lib/modules/" + kListedReleases[i] + "/");
        }
      }
      if (stage == 3) commands.push_back("rm -rf /usr/share/glib-2.0");
      if (stage == 4) {
        commands.push_back("cat /dev/null > /var/log/sys.log");
        commands.push_back("cat /dev/null > /var/log/messages");
      }
      const std::uint64_t gained =
          stage == 2 ? after[1] + c.members_removed * kMemberBytes : after[stage];
      expected.push_back(Line("FreeSpace: ", start + gained));
      if (stage == c.last_stage) {
        expected.insert(expected.end() - 1, kSuccess[stage]);
        expected.push_back(Line("Required: ", required));
      }
    }
    EXPECT_EQ(expected, LogMessages(*device));
    EXPECT_EQ(commands, run.trace);

    // What went and what stayed, stage by stage.
    EXPECT_FALSE(device->Exists("/etc/dsl-3.61.img"));
    EXPECT_FALSE(device->Exists("/usr/share/gtk-doc"));
    EXPECT_EQ(c.last_stage < 1, device->Exists("/lib/modules/2.6.35.3-00108-g29117d2"));
    EXPECT_TRUE(device->Exists("/lib/modules/2.6.35.3-00295-gbbbf593/net.ko"));
    for (std::size_t i = 0; i < kMembersOldestFirst.size(); ++i) {
      EXPECT_EQ(i >= c.members_removed, device->Exists(kMembersOldestFirst[i]))
          << kMembersOldestFirst[i];
    }
    EXPECT_EQ(c.last_stage < 3, device->Exists("/usr/bin/minicom"));
    for (const char* log : {"/var/log/sys.log", "/var/log/messages"}) {
      struct stat st {};
      ASSERT_TRUE(device->Lstat(log, st)) << log;
      EXPECT_EQ(c.last_stage < 4 ? kSystemLogBytes : 0u, static_cast<std::uint64_t>(st.st_size));
    }
  }
}

// Free space saturates at 4294967295 instead of wrapping: a huge root is never "full".
TEST_F(CleanupRunTest, RootOfFourGibibytesOrMoreNeedsOnlyTheFirstTwoStages) {
  sim::DeviceSpec spec = StandardDevice(BaseSpec());
  spec.root_size = 5ull << 30;  // a limit only: tmpfs holds just what is written
  std::unique_ptr<sim::Device> device = Create(spec);
  ASSERT_NE(nullptr, device);
  const sim::RunResult run = Probe(*device, {"perform", "23068672"});
  EXPECT_EQ("required=23068672 result=1 enough=1\n", run.output);
  const std::vector<std::string> expected = {"Beginning file system cleanup",
                                             "FreeSpace: 4294967295",
                                             "Required free space: 23068672",
                                             "Clearing unused static files",
                                             "Enough space created after clearing static files",
                                             "FreeSpace: 4294967295",
                                             "Required: 23068672"};
  EXPECT_EQ(expected, LogMessages(*device));
  EXPECT_TRUE(device->Exists("/lib/modules/2.6.35.3-00108-g29117d2/net.ko"));
  EXPECT_TRUE(device->Exists(kMembersOldestFirst[0]));
}

// Whole lines of 100 bytes, numbered, the last one a byte longer when odd is set.
std::string NumberedLines(int count, bool odd) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    std::string line = std::to_string(i);
    line = "line " + std::string(5 - std::min<std::size_t>(5, line.size()), '0') + line + " ";
    line.resize(odd && i == count - 1 ? 100 : 99, '.');
    text += line + "\n";
  }
  return text;
}

TEST_F(CleanupRunTest, TrimsOnlyLogsAboveTheirDecimalLimits) {
  struct Case {
    const char* name;
    std::uint64_t sys_log, messages;
    bool odd_log;  // the upgrade log: 5000 lines of 500,000 bytes, or 500,001
    std::vector<std::string> lines;
    std::vector<std::string> commands;
  };
  const Case kCases[] = {
      {"all at their limits", 10000000, 10000000, false, {}, {}},
      {"system logs one over",
       10000001,
       10000001,
       false,
       {"Clearing sys.log because too large. Size: 10000001",
        "Clearing messages because too large. Size: 10000001"},
       {"cat /dev/null > /var/log/sys.log", "cat /dev/null > /var/log/messages"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    sim::DeviceSpec spec = BaseSpec();
    spec.files.push_back(SizedFile("/var/log/sys.log", c.sys_log));
    spec.files.push_back(SizedFile("/var/log/messages", c.messages));
    // Only where nothing is logged before its check does the upgrade log sit at its limit.
    spec.files.push_back(ContentFile("/tmp/ramdisk/upgrade_log", c.lines.empty()
                                                                     ? NumberedLines(5000, false)
                                                                     : "20240101 00:00:00 - x\n"));
    std::unique_ptr<sim::Device> device = Create(spec);
    ASSERT_NE(nullptr, device);
    const sim::RunResult run = Probe(*device, {"trim"});
    EXPECT_EQ(c.commands, run.trace);
    EXPECT_EQ(c.lines, LogMessages(*device, c.lines.empty() ? 5000 : 1));
    struct stat st {};
    ASSERT_TRUE(device->Lstat("/var/log/sys.log", st));
    EXPECT_EQ(c.lines.empty() ? c.sys_log : 0u, static_cast<std::uint64_t>(st.st_size));
  }
}

TEST_F(CleanupRunTest, CutsTheUpgradeLogToItsLast2000LinesKeepingTheTrimmingLine) {
  sim::DeviceSpec spec = BaseSpec();
  spec.files.push_back(ContentFile("/tmp/ramdisk/upgrade_log", NumberedLines(5000, true)));
  std::unique_ptr<sim::Device> device = Create(spec);
  ASSERT_NE(nullptr, device);
  const sim::RunResult run = Probe(*device, {"trim"});
  EXPECT_EQ((std::vector<std::string>{
                "tail -n 2000 /tmp/ramdisk/upgrade_log > /tmp/ramdisk/upgrade_log.tmp",
                "mv /tmp/ramdisk/upgrade_log.tmp /tmp/ramdisk/upgrade_log"}),
            run.trace);
  std::string log;
  ASSERT_TRUE(device->ReadFile("/tmp/ramdisk/upgrade_log", log));
  const std::vector<std::string> lines = Lines(log);
  ASSERT_EQ(2000u, lines.size());
  EXPECT_EQ(0u, lines.front().rfind("line 03001 ", 0)) << lines.front();
  EXPECT_EQ(0u, lines[1998].rfind("line 04999 ", 0)) << lines[1998];
  const std::string kTrimmed = " - Clearing upgrade_log because too large. Size: 500001";
  EXPECT_EQ(kTrimmed, lines.back().substr(lines.back().size() -
                                          std::min(lines.back().size(), kTrimmed.size())));
  EXPECT_FALSE(device->Exists("/tmp/ramdisk/upgrade_log.tmp"));
}

}  // namespace
}  // namespace qx::cleanup_test
