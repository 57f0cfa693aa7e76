// Kernel version matching and the removal of the module directories of releases not running,
// in simulated devices with chosen /proc/version banners.
#include <string>
#include <vector>

#include "tests/cleanup/device_fixture.h"

namespace qx::cleanup_test {
namespace {

constexpr const char kUnlisted[] = "2.6.35.3-00300-g0a1b2c3";

std::string Banner(const std::string& release) {
  return "Linux version " + release +
         " (builder@qx-build) (gcc version 4.4.4 (GCC) ) #1 PREEMPT Tue Mar 5 10:00:00 UTC 2024\n";
}

class KernelModulesTest : public DeviceTest {};

TEST_F(KernelModulesTest, RemovesTheModulesOfEveryListedReleaseButTheRunningOne) {
  struct Case {
    const char* name;
    sim::ProcVersion proc;
    std::string banner;
    std::string kept;      // the listed release whose modules stay ("" none, "*" all)
    const char* log_line;  // logged once per row when the banner cannot be read
  };
  const Case kCases[] = {
      {"bare release", sim::ProcVersion::kBanner, Banner("2.6.35.3"), "2.6.35.3", nullptr},
      {"suffixed release", sim::ProcVersion::kBanner, Banner("2.6.35.3-00295-gbbbf593"),
       "2.6.35.3-00295-gbbbf593", nullptr},
      {"unlisted release", sim::ProcVersion::kBanner, Banner(kUnlisted), "", nullptr},
      {"no /proc/version", sim::ProcVersion::kAbsent, "", "*", "Unable to open /proc/version"},
      {"unreadable /proc/version", sim::ProcVersion::kUnreadable, "", "*", nullptr},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    sim::DeviceSpec spec = BaseSpec();
    spec.proc_version = c.proc;
    spec.kernel_banner = c.banner;
    for (const std::string& release : kListedReleases) {
      spec.files.push_back(SizedFile("/lib/modules/" + release + "/kernel/net.ko", 4096));
    }
    spec.files.push_back(SizedFile(std::string("/lib/modules/") + kUnlisted + "/net.ko", 4096));
    std::unique_ptr<sim::Device> device = Create(spec);
    ASSERT_NE(nullptr, device);
    const sim::RunResult run = Probe(*device, {"kernel"});

    std::vector<std::string> commands;
    for (const std::string& release : kListedReleases) {
      const bool kept = c.kept == "*" || c.kept == release;
      if (!kept) commands.push_back("rm -rf /lib/modules/" + release + "/");
      EXPECT_EQ(kept, device->Exists("/lib/modules/" + release + "/kernel/net.ko")) << release;
    }
    EXPECT_EQ(commands, run.trace);
    EXPECT_TRUE(device->Exists(std::string("/lib/modules/") + kUnlisted + "/net.ko"));

    const std::vector<std::string> messages = LogMessages(*device);
    if (c.kept != "*") {
      EXPECT_TRUE(messages.empty());
      continue;
    }
    // One line per row; an unreadable file may fail at the open or at the read.
    ASSERT_EQ(15u, messages.size());
    const std::string line = c.log_line != nullptr ? c.log_line : messages.front();
    EXPECT_TRUE(line == "Unable to open /proc/version" ||
                line == "Unsuccessful read from /proc/version")
        << line;
    EXPECT_EQ(std::vector<std::string>(15, line), messages);
  }
}

TEST_F(KernelModulesTest, MatchesCaseSensitiveSubstringsOfTheFirst128BytesOnly) {
  std::string banner = "Linux version 2.6.35.3-00108-g29117d2 (builder@qx-build) ";
  banner.resize(120, '#');
  banner +=
      "MARK5678"
      "NINE (gcc version 4.4.4) #1\n";  // MARK5678 ends at byte 128
  sim::DeviceSpec spec = BaseSpec();
  spec.kernel_banner = banner;
  std::unique_ptr<sim::Device> device = Create(spec);
  ASSERT_NE(nullptr, device);
  struct Case {
    const char* text;
    bool matches;
  };
  const Case kCases[] = {
      {"2.6.35.3-00108-g29117d2", true},
      {"2.6.35.3 (", false},
      {"2.6.35.3", true},
      {"2.6.35.3-00108-G29117D2", false},
      {"linux version", false},
      {"", true},
      {"MARK5678", true},
      {"MARK5678N", false},
      {"NINE", false},
  };
  std::vector<std::string> commands;
  for (const Case& c : kCases) commands.insert(commands.end(), {"match", c.text});
  const std::vector<std::string> lines = Lines(Probe(*device, commands).output);
  ASSERT_EQ(std::size(kCases), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(kCases[i].text);
    EXPECT_EQ(kCases[i].matches ? "match=1 1 1" : "match=1 0 0", lines[i]);
  }
  EXPECT_TRUE(LogMessages(*device).empty());
}

TEST_F(KernelModulesTest, LeavesTheFlagAloneWhenTheBannerCannotBeRead) {
  sim::DeviceSpec spec = BaseSpec();
  spec.proc_version = sim::ProcVersion::kAbsent;
  std::unique_ptr<sim::Device> device = Create(spec);
  ASSERT_NE(nullptr, device);
  EXPECT_EQ("match=0 0 1\n", Probe(*device, {"match", "2.6.35.3"}).output);
  EXPECT_EQ(std::vector<std::string>(2, "Unable to open /proc/version"), LogMessages(*device));
}

}  // namespace
}  // namespace qx::cleanup_test
