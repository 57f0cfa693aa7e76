// Rotated logs in simulated devices: which files are members, which member is the oldest, and
// the stage-4 passes that remove them across the three series.
#include <string>
#include <vector>

#include "tests/cleanup/device_fixture.h"

namespace qx::cleanup_test {
namespace {

class RotatedLogsTest : public DeviceTest {};

// Each member's modification time names it, so the times reported tell which file was met.
TEST_F(RotatedLogsTest, FindsTheOldestMemberByIndexSkippingEverythingElse) {
  sim::DeviceSpec base = BaseSpec();
  base.files = {
      SizedFile("/var/log/sys.log.0.gz", 10, 10),   // index 0: never part of the series
      SizedFile("/var/log/sys.log.07.gz", 10, 11),  // a leading zero: not a member name
      SizedFile("/var/log/sys.log.51.gz", 10, 12),  // above the range
      SizedFile("/var/log/target-48", 10, 48),
      SizedFile("/var/log/sys.log.7.gz", 10, 7),
      SizedFile("/var/log/sys.log.3.gz", 10, 3),
      SizedFile("/var/log/messages.0.gz", 10, 20),
      SizedFile("/home/logs/log-0.txt.gz", 10, 30),
      SizedFile("/home/logs/log-10000.txt.gz", 10, 31),
      SizedFile("/home/logs/log-00001.txt.gz", 10, 5),
      SizedFile("/home/logs/log-09999.txt.gz", 10, 1),  // older, but the index decides
  };
  base.directories = {"/var/log/sys.log.50.gz", "/var/log/messages.1.gz",
                      "/home/logs/log-00000.txt.gz"};
  base.symlinks = {{"/var/log/sys.log.49.gz", "/var/log/missing"},  // dangling: skipped
                   {"/var/log/sys.log.48.gz", "target-48"}};        // a member through its link
  const std::vector<std::string> kDrained = {"home: 5 1", "messages:", "syslog: 48 7 3"};
  const std::vector<std::string> kStaying = {
      "/var/log/sys.log.0.gz",       "/var/log/sys.log.07.gz", "/var/log/sys.log.51.gz",
      "/var/log/target-48",          "/var/log/messages.0.gz", "/home/logs/log-0.txt.gz",
      "/home/logs/log-10000.txt.gz", "/var/log/sys.log.50.gz", "/var/log/messages.1.gz",
      "/home/logs/log-00000.txt.gz", "/var/log/sys.log.49.gz"};
  {
    std::unique_ptr<sim::Device> device = Create(base);
    ASSERT_NE(nullptr, device);
    const std::vector<std::string> lines = Lines(Probe(*device, {"find", "drain"}).output);
    ASSERT_EQ(6u, lines.size());
    // Without a member the caller's time stays as it was (-1).
    EXPECT_EQ((std::vector<std::string>{"home 1 5", "messages 0 -1", "syslog 1 48"}),
              std::vector<std::string>(lines.begin(), lines.begin() + 3));
    EXPECT_EQ(kDrained, std::vector<std::string>(lines.begin() + 3, lines.end()));
    for (const std::string& path : kStaying) EXPECT_TRUE(device->Exists(path)) << path;
    EXPECT_FALSE(device->Exists("/var/log/sys.log.48.gz"));  // the link went, not its target
    EXPECT_TRUE(LogMessages(*device).empty());
  }
}

// Members with chosen times, in the order the passes remove them: signed comparison, 0 a
// real time, ties to the home logs, then messages, then the system log.
const std::vector<std::string> kPassOrder = {
    "/var/log/sys.log.5.gz",        // -100: before the epoch is still oldest
    "/home/logs/log-00003.txt.gz",  // 300, tied with both other series: home logs first
    "/home/logs/log-00007.txt.gz",  // 100
    "/home/logs/log-00100.txt.gz",  // 0
    "/var/log/messages.9.gz",       // 300, tied with sys.log.1.gz: messages first
    "/var/log/messages.2.gz",       // 300
    "/var/log/sys.log.1.gz",        // 300
};
constexpr std::uint64_t kMemberBytes = 64 * kKiB;

sim::DeviceSpec PassDevice() {
  sim::DeviceSpec spec = BaseSpec();
  const std::int64_t kTimes[] = {-100, 300, 100, 0, 300, 300, 300};
  for (std::size_t i = 0; i < kPassOrder.size(); ++i) {
    spec.files.push_back(SizedFile(kPassOrder[i], kMemberBytes, kTimes[i]));
  }
  return spec;
}

TEST_F(RotatedLogsTest, PassesRemoveOneMemberAtATimeOldestFirstUntilEnough) {
  struct Case {
    const char* name;
    std::vector<std::string> commands;
    std::size_t removed;  // a prefix of kPassOrder
  };
  const std::string kUnreachable = "+" + std::to_string(kMiB);
  const Case kCases[] = {
      {"every member", {"old-logs", kUnreachable}, kPassOrder.size()},
      // Free space is measured after each member: exactly enough stops after the third.
      {"three members are enough", {"old-logs", "+" + std::to_string(3 * kMemberBytes)}, 3},
      // The oldest home log cannot go: the passes end instead of choosing it forever.
      {"unremovable member", {"ro", "/home/logs", "old-logs", kUnreachable}, 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<sim::Device> device = Create(PassDevice());
    ASSERT_NE(nullptr, device);
    const sim::RunResult run = Probe(*device, c.commands);
    for (std::size_t i = 0; i < kPassOrder.size(); ++i) {
      EXPECT_EQ(i >= c.removed, device->Exists(kPassOrder[i])) << kPassOrder[i];
    }
    EXPECT_TRUE(run.trace.empty());
  }
}

}  // namespace
}  // namespace qx::cleanup_test
