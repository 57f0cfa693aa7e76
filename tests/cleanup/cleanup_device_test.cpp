// The cleanup in simulated devices, through the probe program (cleanup_probe.cpp).
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cleanup/kv70_tables.h"
#include "cleanup/removal_tables.h"
#include "gtest/gtest.h"
#include "sim/host/device.h"
#include "sim/host/log_lines.h"
#include "sim/host/router_profile.h"

namespace qx::cleanup_test {
namespace {

using namespace upgrader::cleanup;  // the constant tables

constexpr std::uint64_t kKiB = 1024;

// The probe: $QX_CLEANUP_PROBE (one cross-built for the router, say) or this tree's, run behind
// the emulator $QX_PROBE_LAUNCHER, if set, with the words of $QX_PROBE_LAUNCHER_ARGS as options.
std::string Env(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

sim::DeviceFile File(const std::string& path, std::uint64_t size,
                     std::optional<std::int64_t> mtime = std::nullopt) {
  return {path, "", size, 0644, mtime};
}

// A device without services (nothing else writes while the cleanup runs), the probe inside.
std::unique_ptr<sim::Device> Create(sim::DeviceSpec spec) {
  spec.start_services = false;
  spec.binaries.push_back({Env("QX_CLEANUP_PROBE", QX_CLEANUP_PROBE), "/probe/cleanup_probe"});
  if (!Env("QX_PROBE_LAUNCHER").empty()) {
    spec.binaries.push_back({Env("QX_PROBE_LAUNCHER"), "/probe/launcher"});
  }
  std::string error;
  std::unique_ptr<sim::Device> device = sim::Device::Create(spec, &error);
  EXPECT_NE(nullptr, device) << error;
  return device;
}

// `wrapper`: the words of a program that runs the probe (strace injecting a fault, say).
sim::RunResult Probe(sim::Device& device, const std::vector<std::string>& commands,
                     const std::string& wrapper = "") {
  std::vector<std::string> argv;
  std::istringstream launcher(wrapper +
                              (Env("QX_PROBE_LAUNCHER").empty()
                                   ? ""
                                   : " /probe/launcher " + Env("QX_PROBE_LAUNCHER_ARGS")));
  for (std::string word; launcher >> word;) argv.push_back(word);
  argv.push_back("/probe/cleanup_probe");
  argv.insert(argv.end(), commands.begin(), commands.end());
  sim::RunResult result = device.Run(argv);
  EXPECT_TRUE(result.exited && result.exit_status == 0) << result.error << result.output;
  return result;
}

std::vector<std::string> LogMessages(const sim::Device& device) {
  std::string log;
  (void)device.ReadFile("/tmp/ramdisk/upgrade_log", log);
  return sim::router::LogLines(log);
}

// The kernel banner as the cleanup reads it: a listed release's banner keeps its own modules
// only (which banners name which release is the unit tier's table); an unreadable banner keeps
// them all and says so once per listed release.
TEST(KernelModulesTest, RemovesTheModulesOfEveryListedReleaseButTheRunningOne) {
  const std::string kRunning = std::string("/lib/modules/") + sim::router::kKernelRelease + "/";
  // Banner (none: no /proc/version), the directory that stays ("*" all), the line logged per row.
  const std::tuple<std::optional<std::string>, std::string, const char*> cases[] = {
      {sim::router::kKernelBanner, kRunning, ""},
      {"", "*", "Unsuccessful read from /proc/version"},
      {std::nullopt, "*", "Unable to open /proc/version"},
  };
  for (const auto& [banner, kept, failure] : cases) {
    SCOPED_TRACE(banner.value_or("none"));
    sim::DeviceSpec spec;
    spec.proc_version = banner ? sim::ProcVersion::kBanner : sim::ProcVersion::kAbsent;
    spec.kernel_banner = banner.value_or("");
    for (const KernelModules& row : kKernelModules) {
      spec.files.push_back(File(row.command + std::strlen("rm -rf ") + std::string("m.ko"), 9));
    }
    spec.files.push_back(File("/lib/modules/2.6.35.3-00300-g0a1b2c3/m.ko", 9));  // not listed
    std::unique_ptr<sim::Device> device = Create(spec);
    ASSERT_NE(nullptr, device);
    EXPECT_EQ("", Probe(*device, {"kernel"}).output);
    for (const KernelModules& row : kKernelModules) {
      const std::string directory = row.command + std::strlen("rm -rf ");
      EXPECT_EQ(kept == "*" || kept == directory, device->Exists(directory)) << directory;
    }
    EXPECT_TRUE(device->Exists("/lib/modules/2.6.35.3-00300-g0a1b2c3/m.ko"));
    const std::size_t lines = *failure == '\0' ? 0 : std::size(kKernelModules);
    EXPECT_EQ(std::vector<std::string>(lines, failure), LogMessages(*device));
  }
}

// Times name the files: the members (oldest first by index, whatever their times) have times
// below 10; a look-alike stays (which names are members is the unit tier's table). Without
// directory listings every index is tried, to the same end.
TEST(RotatedLogsTest, FindAndUnlinkConcernTheOldestMemberByIndexSkippingEverythingElse) {
  sim::DeviceSpec spec;
  spec.files = {
      File("/var/log/sys.log.50.gz", 1, 6),      File("/var/log/sys.log.7.gz", 1, 7),
      File("/var/log/sys.log.1.gz", 1, 3),       File("/var/log/messages.1.gz", 1, 2),
      File("/home/logs/log-00000.txt.gz", 1, 4), File("/home/logs/log-09999.txt.gz", 1, 1),
      File("/var/log/target-47", 1, 47),         File("/var/log/sys.log.07.gz", 1, 10)};
  spec.directories = {"/var/log/sys.log.49.gz", "/var/log/messages.50.gz",
                      "/home/logs/log-00001.txt.gz"};
  spec.symlinks = {{"/var/log/sys.log.48.gz", "/var/log/missing"},  // dangling: skipped
                   {"/var/log/sys.log.47.gz", "target-47"}};        // a member through its link
  for (const std::vector<std::string>& commands :
       std::vector<std::vector<std::string>>{{"drain"}, {"nofiles", "drain"}}) {
    SCOPED_TRACE(commands.front());
    std::unique_ptr<sim::Device> device = Create(spec);
    ASSERT_NE(nullptr, device);
    // Without a member the caller's time stays as it was (-1), and the unlink says so too.
    EXPECT_EQ("home: 4 1 -1\nmessages: 2 -1\nsyslog: 6 47 7 3 -1\n",
              Probe(*device, commands).output);
    for (const sim::DeviceFile& file : spec.files) {
      EXPECT_EQ(*file.mtime >= 10, device->Exists(file.path)) << file.path;
    }
    EXPECT_FALSE(device->Exists("/var/log/sys.log.47.gz"));  // the link went, not its target
  }
}

TEST(RotatedLogsTest, PassesRemoveOneMemberAtATimeOldestFirstUntilEnough) {
  // In the order the passes remove them: signed times, ties to home logs, messages, sys.log.
  const std::pair<const char*, std::int64_t> kPassOrder[] = {
      {"/var/log/sys.log.5.gz", -100},      {"/home/logs/log-00003.txt.gz", 300},
      {"/home/logs/log-00007.txt.gz", 100}, {"/home/logs/log-00100.txt.gz", 0},
      {"/var/log/messages.9.gz", 300},      {"/var/log/messages.2.gz", 300},
      {"/var/log/sys.log.1.gz", 300}};
  // Free space is measured after each member: n members' worth ends the passes after the n-th.
  // Last, the oldest home log cannot go: the passes end instead of choosing it forever.
  for (std::size_t n = 1; n <= std::size(kPassOrder) + 1; ++n) {
    SCOPED_TRACE(n);
    const bool stuck = n > std::size(kPassOrder);
    sim::DeviceSpec spec;
    for (const auto& [path, time] : kPassOrder) spec.files.push_back(File(path, 64 * kKiB, time));
    std::unique_ptr<sim::Device> device = Create(spec);
    ASSERT_NE(nullptr, device);
    const std::string ro =
        "mount -o bind /home/logs /home/logs && mount -o remount,bind,ro /home/logs";
    ASSERT_EQ(0, device->Run({"/bin/sh", "-c", stuck ? ro : "true"}).exit_status);
    EXPECT_TRUE(
        Probe(*device, {"old-logs", std::to_string((stuck ? 99 : n) * 64 * kKiB)}).trace.empty());
    const std::size_t removed = stuck ? 1 : n;
    for (std::size_t i = 0; i < std::size(kPassOrder); ++i) {
      EXPECT_EQ(i >= removed, device->Exists(kPassOrder[i].first)) << kPassOrder[i].first;
    }
  }
}

// An unlink that reports success but leaves the member (strace skips the call): the next pass
// chooses the member again and it goes then; the passes do not end early.
TEST(RotatedLogsTest, AMemberThatStaysAfterAReportedUnlinkIsChosenAgain) {
  sim::DeviceSpec spec;
  spec.files = {File("/var/log/messages.2.gz", 64 * kKiB, 100),
                File("/var/log/messages.1.gz", 64 * kKiB, 200)};
  spec.binaries.push_back({"/usr/bin/strace", "/usr/bin/strace"});
  std::unique_ptr<sim::Device> device = Create(spec);
  ASSERT_NE(nullptr, device);
  Probe(*device, {"old-logs", std::to_string(128 * kKiB)},
        "/usr/bin/strace -E ASAN_OPTIONS=detect_leaks=0 -o /dev/null -e trace=unlink -e "
        "inject=unlink:retval=0:when=1");
  EXPECT_FALSE(device->Exists("/var/log/messages.2.gz"));
  EXPECT_FALSE(device->Exists("/var/log/messages.1.gz"));
}

std::string KiB(std::int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%+" PRId64 "K", bytes / 1024);
  return text;
}

TEST(CleanupRunTest, StopsAtTheFirstStageThatFreesEnough) {
  // Each stage frees 1 MiB or more, stage 4 half of it per rotated log (no /home/logs at all).
  // The oversized sys.log lies on the ramdisk: its trimming frees nothing on "/".
  sim::DeviceSpec spec;
  spec.files = {File("/etc/dsl-3.61.img", 2048 * kKiB),  // static files
                File("/lib/modules/2.6.35.3-00108-g29117d2/net.ko", 1024 * kKiB),
                File("/var/log/sys.log.1.gz", 512 * kKiB, 1000),
                File("/var/log/messages.2.gz", 512 * kKiB, 2000),
                File("/usr/bin/minicom", 1024 * kKiB),  // extra files
                File("/tmp/ramdisk/sys.log", 10000001),
                File("/var/log/messages", 1024 * kKiB)};
  spec.symlinks = {{"/var/log/sys.log", "/tmp/ramdisk/sys.log"}};
  const std::string kStatic = "Clearing unused static files|FreeSpace: +2048K|";
  const std::string kModules = kStatic + "Clearing unused kernel modules|FreeSpace: +3072K|";
  const std::string kLogs = kModules + "Clearing logs files|FreeSpace: +4096K|";
  const std::string kExtra = kLogs + "Clearing extra files|FreeSpace: +5120K|";
  // KiB required, and the log after its opening lines; both relative to the starting free space.
  const std::pair<std::int64_t, std::string> kCases[] = {
      {-1024,
       "Clearing unused static files|Enough space created after clearing static files|"
       "FreeSpace: +2048K|Required: -1024K"},
      {2560, kStatic + "Clearing unused kernel modules|Enough space created after clearing "
                       "kernel modules|FreeSpace: +3072K|Required: +2560K"},
      {3584, kModules + "Clearing logs files|Enough space created after clearing old logs|"
                        "FreeSpace: +3584K|Required: +3584K"},  // one of the two rotated logs
      {4608, kLogs + "Clearing extra files|Enough space created after clearing extra files|"
                     "FreeSpace: +5120K|Required: +4608K"},
      {5632, kExtra + "Enough space created after clearing extra files|FreeSpace: +6144K|"
                      "Required: +5632K"},   // the system logs emptied
      {7168, kExtra + "FreeSpace: +6144K"},  // nothing helps
  };
  for (const auto& [more, expected] : kCases) {
    SCOPED_TRACE(more);
    std::unique_ptr<sim::Device> device = Create(spec);
    ASSERT_NE(nullptr, device);
    const auto start = static_cast<std::int64_t>(device->FreeSpace());
    EXPECT_EQ(more < 7168 ? "result=1 enough=1\n" : "result=1 enough=0\n",
              Probe(*device, {"perform", std::to_string(more * 1024)}).output);
    std::string log =
        "Beginning file system cleanup|FreeSpace: +0K|Required free space: " + KiB(more * 1024) +
        "|Clearing sys.log because too large. Size: 10000001|" + expected;
    std::string relative;
    for (std::string message : LogMessages(*device)) {
      for (const std::string prefix : {"FreeSpace: ", "Required free space: ", "Required: "}) {
        if (message.rfind(prefix, 0) == 0) {
          message = prefix + KiB(std::stoll(message.substr(prefix.size())) - start);
        }
      }
      relative += (relative.empty() ? "" : "|") + message;
    }
    EXPECT_EQ(log, relative);
  }
}

std::string Numbered(int i) {  // 99 bytes
  char line[100];
  std::snprintf(line, sizeof line, "line %05d%089d", i, 0);
  return line;
}

// One byte over its decimal limit, a log is trimmed after a line with its size; at the limit it
// is not. The upgrade log keeps its last 2000 lines, the last of them the one about itself.
TEST(CleanupRunTest, TrimsOnlyLogsAboveTheirDecimalLimits) {
  std::string log;  // 499,980 bytes: over its limit once the line about messages is in
  for (int i = 0; i < 5000; ++i) log += Numbered(i) + "\n";
  log.erase(log.size() - 21, 20);
  sim::DeviceSpec spec;
  spec.files = {File("/var/log/sys.log", 10000000),
                File("/var/log/messages", 10000001),
                {"/tmp/ramdisk/upgrade_log", log, {}, 0644, {}}};
  std::unique_ptr<sim::Device> device = Create(spec);
  ASSERT_NE(nullptr, device);
  EXPECT_EQ((std::vector<std::string>{
                "cat /dev/null > /var/log/messages",
                "tail -n 2000 /tmp/ramdisk/upgrade_log > /tmp/ramdisk/upgrade_log.tmp",
                "mv /tmp/ramdisk/upgrade_log.tmp /tmp/ramdisk/upgrade_log"}),
            Probe(*device, {"trim"}).trace);
  const std::vector<std::string> messages = LogMessages(*device);
  ASSERT_EQ(2000u, messages.size());
  EXPECT_EQ(Numbered(3002), messages[0]);
  EXPECT_EQ("Clearing messages because too large. Size: 10000001", messages[1998]);
  EXPECT_EQ(0u, messages[1999].rfind("Clearing upgrade_log because too large. Size: 5000", 0));
}

// Paths the router cannot run without, and files the upgrade itself needs.
bool Protected(const std::string& path) {
  std::istringstream kept(
      "/bin /sbin /etc /lib /lib/modules /lib/firmware /lib/pppd /usr /usr/bin /usr/sbin /usr/lib "
      "/usr/share /usr/local /usr/etc /var/log /home/logs /tmp/ramdisk/upgrade_log /web/config "
      "/proc /dev /bin/sh /bin/busybox /sbin/init /share");
  for (std::string vital; kept >> vital;) {
    if ((vital + "/").rfind(path + "/", 0) == 0) return true;  // the path or one above it
  }
  return false;
}

// Every path (directories with a trailing "/") but where the system or the probe writes.
std::set<std::string> Tree(const sim::Device& device) {
  std::set<std::string> tree;
  for (const auto& [path, st] : sim::DeviceTree(device, {"/run", "/probe"})) {
    tree.insert(S_ISDIR(st.st_mode) ? path + "/" : path);
  }
  return tree;
}

// Both lists run on a device holding every listed path: exactly the listed paths go, nothing
// else changes, and the shell removals run in order.
TEST(RemovalListsTest, ExactlyTheListedPathsGoAndRulesFireOnlyOnARegularNewerCopy) {
  std::vector<std::string> commands(std::begin(kStaticDirectoryCommands),
                                    std::end(kStaticDirectoryCommands));
  commands.insert(commands.end(), std::begin(kExtraDirectoryCommands),
                  std::end(kExtraDirectoryCommands));
  commands.push_back(kExtraEitherOf[0].command);  // fires below
  sim::DeviceSpec spec;
  std::set<std::string> removed;
  auto add = [&](const std::string& path, bool goes) {
    spec.files.push_back(File(path, 100));
    if (goes) removed.insert(path);
    EXPECT_FALSE(goes && Protected(path)) << path;
  };
  for (std::string command : commands) {
    // One plain absolute path: a blank, glob or shell character would remove more, or run more.
    ASSERT_EQ(0u, command.rfind("rm -rf /", 0)) << command;
    EXPECT_EQ(std::string::npos, command.find_first_of(" \t\n*?[]{}~$`\\\"';&|<>()", 7)) << command;
    command.erase(0, 7);
    if (command.back() == '/') command.pop_back();
    add(command + "/sub/file", true);
    removed.insert({command + "/", command + "/sub/"});
    EXPECT_FALSE(Protected(command)) << command;
  }
  for (const char* path : kStaticFiles) add(path, true);
  for (const char* path : kExtraFiles) add(path, true);
  // Newer copies that do not count: a directory, a dangling link. A link to a file counts.
  const std::set<std::string> kNotCounting = {"/usr/bin/openssl", "/usr/lib/libcurl.so.4.6.0",
                                              "/usr/lib/libcrypto.so.1.0.0"};
  spec.directories = {"/usr/bin/openssl", "/usr/lib/libnetsnmptrapd.so.40.0.0"};
  spec.symlinks = {{"/usr/lib/libcurl.so.4.6.0", "libcurl.so.gone"},
                   {"/usr/sbin/inadyn", "inadyn-2.9"}};
  add("/usr/sbin/inadyn-2.9", false);
  auto superseded = [&](const auto& rules) {
    for (const Superseded& rule : rules) {
      const bool counts = kNotCounting.count(rule.newer) == 0;
      if (counts && std::strcmp(rule.newer, "/usr/sbin/inadyn") != 0) add(rule.newer, false);
      for (const char* older : rule.older) add(older, counts);
    }
  };
  superseded(kStaticSuperseded);
  superseded(kExtraSuperseded);
  // net-snmp tiers: 40 present; 30 only; 35 only; no tested release; 40 as a directory (above).
  const std::tuple<const char*, std::vector<const char*>, std::vector<const char*>> kTiers[] = {
      {"libnetsnmpmibs", {"40.0.0", "40"}, {"35.0.0", "35", "30.0.3", "30", "15.1.3", "15"}},
      {"libnetsnmp", {"30.0.3", "35"}, {"15.1.3", "15"}},
      {"libnetsnmpagent", {"35.0.0", "40"}, {"30.0.3", "30", "15.1.3", "15"}},
      {"libnetsnmphelpers", {"30", "15.1.3", "15", "35"}, {}},
      {"libnetsnmptrapd", {"35", "30", "15"}, {}},
  };
  for (const auto& [base, staying, going] : kTiers) {
    const std::string lib = "/usr/lib/" + std::string(base) + ".so.";
    for (const char* release : staying) add(lib + release, false);
    for (const char* release : going) add(lib + release, true);
  }
  add("/lib/pppd/2.4.7/minconn.so", false);  // only the older plug-in: either one is enough
  std::unique_ptr<sim::Device> device = Create(spec);
  ASSERT_NE(nullptr, device);
  std::set<std::string> tree = Tree(*device);
  for (const std::string& path : removed) EXPECT_EQ(1u, tree.erase(path)) << path;
  EXPECT_EQ(commands, Probe(*device, {"static", "extra"}).trace);
  EXPECT_EQ(tree, Tree(*device));
}

}  // namespace
}  // namespace qx::cleanup_test
