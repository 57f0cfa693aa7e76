// Runs with a private /tmp (tests/support/private_tmp_main.cpp) that vanishes with the process.
#include "utils/upgrader_utils.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

#include "gtest/gtest.h"
#include "sim/host/router_profile.h"

namespace qx::upgrader::utils {
namespace {

const std::string kDir = "/tmp/scratch/";

// Files are made, and modes read, by the shell's own tools rather than the code under test.
void Sh(const std::string& commands) {
  ASSERT_EQ(0, std::system(("cd " + kDir + " && " + commands).c_str())) << commands;
}

// The upgrade log with each entry's stamp written as "<stamp>".
std::string Log() {
  static const std::regex kStamp(R"(\d{7,8} \d{2}:\d{2}:\d{2} - )");
  std::ostringstream log;
  log << std::ifstream(qx::sim::router::kRamdiskLog).rdbuf();
  return std::regex_replace(log.str(), kStamp, "<stamp>");
}

class UtilsTest : public testing::Test {
 protected:
  void SetUp() override { Sh("rm -rf /tmp/ramdisk " + kDir + "* && mkdir /tmp/ramdisk"); }
  static void SetUpTestSuite() { std::filesystem::create_directory(kDir); }
};

TEST(LogStampTest, PadsEverythingButTheDay) {
  for (const auto& [time, stamp] : {std::pair{"2024-12-31 23:59:59", "20241231 23:59:59 - "},
                                    {"2025-01-01 00:00:00", "2025011 00:00:00 - "},
                                    {"2024-03-05 07:08:09", "2024035 07:08:09 - "}}) {
    std::tm t{};
    ASSERT_NE(nullptr, ::strptime(time, "%Y-%m-%d %H:%M:%S", &t));
    EXPECT_EQ(stamp, FormatLogStamp(t));
  }
}

// One stamp per entry, the message byte for byte (a second line stands without a stamp), a line
// feed; nothing is ever run by a shell.
TEST_F(UtilsTest, LogEntriesReachTheFileByteForByteAndRunNothing) {
  std::string expected;
  const int saved_in = ::dup(0);  // the log's own open then gets descriptor 0, a valid one
  ::close(0);
  for (const std::string message :
       {"Running cleanup", "quote \" '' back\\slash \\n end\\", "A\nB", "",
        "$(touch /tmp/p) `touch /tmp/p`; touch /tmp/p # | > /tmp/p ${HOME}"}) {
    EXPECT_EQ(0, LogToUpgradeLog(message));
    expected += "<stamp>" + message + "\n";
  }
  ::dup2(saved_in, 0);
  ::close(saved_in);
  EXPECT_EQ(expected, Log());
  EXPECT_FALSE(std::filesystem::exists("/tmp/p"));
  Sh("test $(stat -c %a /tmp/ramdisk/upgrade_log) = 644");
  Sh("mount -t tmpfs -o size=4k qx-full /tmp/ramdisk && head -c 4096 /dev/zero >/tmp/ramdisk/f");
  EXPECT_EQ(1, LogToUpgradeLog("lost"));  // a full file system: the failed write is final
  Sh("umount /tmp/ramdisk");
}

// What another user may plant at the log's path gets nothing, and the writer never waits for it.
TEST_F(UtilsTest, LogIsWrittenOnlyIntoAPrivateFile) {
  Sh("echo keep > canary && chown 65534 canary");
  // The planted object (made in /tmp/ramdisk) and whether the entry is written.
  const std::pair<const char*, bool> kPlanted[] = {
      {"ln -s /tmp/scratch/canary upgrade_log", false},
      {"ln /tmp/scratch/canary upgrade_log", false},
      {"mkfifo upgrade_log", false},
      {"echo x > upgrade_log && chown 65534 upgrade_log", false},
      {"echo x > upgrade_log && ln upgrade_log second", false},
      {"mkdir upgrade_log", false},
      {"echo x > upgrade_log", true},
  };
  for (const auto& [planted, written] : kPlanted) {
    SCOPED_TRACE(planted);
    Sh(std::string("cd /tmp/ramdisk && rm -rf /tmp/ramdisk/* && ") + planted);
    EXPECT_EQ(written ? 0 : 1, LogToUpgradeLog("entry"));
    Sh(written ? "grep -q entry /tmp/ramdisk/upgrade_log"
               : "test ! -f /tmp/ramdisk/upgrade_log || ! grep -q entry /tmp/ramdisk/upgrade_log");
  }
  Sh("test \"$(cat canary)\" = keep");
}

// Removing what stands at a path: a tree of another user with links out of it goes whole and
// nothing outside it is touched; only a private file stands the unsafe check.
TEST_F(UtilsTest, EntriesAreRemovedWithoutFollowingLinks) {
  Sh("mkdir -p tree/a/b/c outside && echo keep > outside/file && touch tree/a/b/c/f && "
     "ln -s ../../../outside tree/a/link && ln -s /tmp/scratch/outside/file tree/a/b/c/l && "
     "mkfifo tree/a/fifo && chown -R 65534 tree && chmod 0555 tree/a/b");
  EXPECT_TRUE(RemoveEntry(kDir + "tree"));
  EXPECT_TRUE(RemoveEntry(kDir + "tree")) << "absent is removed";
  Sh("test ! -e tree && test \"$(cat outside/file)\" = keep");

  // What stands at the path, and whether RemoveUnsafeEntry keeps it.
  const std::pair<const char*, bool> kEntries[] = {
      {"echo x > e", true},
      {"ln -s outside/file e", false},
      {"ln -s missing e", false},
      {"mkfifo e", false},
      {"mkdir -p e/d && touch e/d/f", false},
      {"echo x > e && chown 65534 e", false},
      {"echo x > e && ln e e2", false},
  };
  for (const auto& [entry, kept] : kEntries) {
    SCOPED_TRACE(entry);
    Sh(std::string("rm -rf e e2 && ") + entry);
    EXPECT_TRUE(RemoveUnsafeEntry(kDir + "e"));
    Sh(kept ? "test -f e" : "test ! -e e && test ! -L e");
  }
  Sh("test \"$(cat outside/file)\" = keep");
}

TEST_F(UtilsTest, FileQueriesFollowLinksTellKindsAndSaturateSizes) {
  // 4 GiB sparse: no memory used.
  Sh("printf 12345 >file && truncate -s 4G big && mkdir dir && mkfifo fifo && ln -s file link "
     "&& ln -s nowhere dangling && touch -d @1700000000 file big dir fifo");
  // Name, FileExists, DirectoryExists, FileSize (777: fails, value kept), time.
  const std::tuple<const char*, bool, bool, unsigned int, long> kCases[] = {
      {"file", true, false, 5, 1700000000},
      {"link", true, false, 5, 1700000000},
      {"big", true, false, 4294967295u, 1700000000},
      {"dir", false, true, 777, 1700000000},
      {"fifo", false, false, 777, 1700000000},
      {"dangling", false, false, 777, 0},
      {"missing", false, false, 777, 0}};
  for (const auto& [name, is_file, is_dir, size, modified] : kCases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(is_file, FileExists(kDir + name));
    EXPECT_EQ(is_dir, DirectoryExists(kDir + name));
    unsigned int got = 777;
    EXPECT_EQ(size != 777, FileSize(kDir + name, got));
    EXPECT_EQ(size, got);
    EXPECT_EQ(modified, FileModificationTime(kDir + name));
  }
}

// An empty tmpfs has its whole size free, and reserves nothing up front: 8 GiB costs no memory.
// 4294963200 bytes is the largest whole number of pages below 4 GiB: exact, not saturated.
TEST_F(UtilsTest, MountFreeSpaceIsExactSaturatesAndKeepsTheValueOnFailure) {
  unsigned int free_bytes = 0;
  for (const auto& [size, expected] : {std::pair{"size=1m", 1048576u},
                                       {"size=4294963200", 4294963200u},
                                       {"size=8g", 4294967295u}}) {
    Sh("mkdir -p fs && mount -t tmpfs -o " + std::string(size) + " qx-fs fs");
    EXPECT_TRUE(MountFreeSpace(kDir + "fs", free_bytes));
    EXPECT_EQ(expected, free_bytes);
    Sh("umount fs");
  }
  EXPECT_FALSE(MountFreeSpace(kDir + "missing", free_bytes));
  EXPECT_EQ(4294967295u, free_bytes);
}

// Permissions: the nine bits of the target (set-id bits ignored), explained in decimal. Links:
// the link itself (a dangling one counts), its whole content compared unresolved, however long.
// A failure is explained in the log only when asked for.
TEST_F(UtilsTest, PermissionAndLinkChecksExplainFailuresOnlyWhenAsked) {
  const std::string target = "/" + std::string(199, 'x');  // longer than a first read
  Sh("touch plain setuid && chmod 644 plain && ln -s plain link && ln -s " + target + " long");
  const std::string plain = kDir + "plain", link = kDir + "link", missing = kDir + "missing";
  EXPECT_TRUE(SetPermissions(kDir + "setuid", 04755));
  Sh("test $(stat -c %a setuid) = 4755");
  EXPECT_FALSE(SetPermissions(missing, 0644));

  EXPECT_FALSE(VerifyPermissions(plain, 0755, false));
  EXPECT_FALSE(VerifyPermissions(kDir + "setuid", 04755, false));
  EXPECT_FALSE(LinkExists(plain, false));
  EXPECT_FALSE(VerifyLink(kDir + "long", target.substr(0, 128), false));
  EXPECT_FALSE(VerifyLink(link, plain, false));
  EXPECT_EQ("", Log());
  EXPECT_TRUE(VerifyPermissions(plain, 0644, true));
  EXPECT_TRUE(VerifyPermissions(link, 0644, true));  // the target's bits
  EXPECT_TRUE(VerifyPermissions(kDir + "setuid", 0755, true));
  EXPECT_TRUE(LinkExists(kDir + "long", true));
  EXPECT_TRUE(VerifyLink(kDir + "long", target, true));
  EXPECT_TRUE(VerifyLink(link, "plain", true));
  EXPECT_FALSE(VerifyPermissions(plain, 0755, true));
  EXPECT_FALSE(VerifyPermissions(missing, 0644, true));
  EXPECT_FALSE(LinkExists(plain, true));
  EXPECT_FALSE(LinkExists(missing, true));
  EXPECT_FALSE(VerifyLink(link, "other", true));
  EXPECT_FALSE(VerifyLink(plain, "plain", true));
  EXPECT_FALSE(VerifyLink(missing, "plain", true));
  EXPECT_EQ("<stamp>Expected permissions 493\nActual permissions 420\n<stamp>Unable to stat " +
                missing + "\n<stamp>Link " + plain + " has mode 33188\n<stamp>Unable to lstat " +
                missing + "\n<stamp>Current Target is plain\nExpected Target is other\n" +
                "<stamp>Unable to read link from " + plain + "\n<stamp>Unable to read link from " +
                missing + "\n",
            Log());
}

}  // namespace
}  // namespace qx::upgrader::utils
