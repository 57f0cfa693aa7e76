// Runs with a private /tmp (tests/support/private_tmp_main.cpp): the upgrade log at its fixed
// path and every scratch file below live on a tmpfs that vanishes with the process.
#include "utils/upgrader_utils.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "gtest/gtest.h"

namespace qx::upgrader::utils {
namespace {

std::tm MakeTm(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << content;
  ASSERT_EQ(0, ::chmod(path.c_str(), mode)) << path;
}

// The upgrade log with the stamp taken off each entry's first line; a stamp must be there.
std::string LogWithoutStamps() {
  static const std::regex kStamp(R"(^\d{4}\d{2}\d{1,2} \d{2}:\d{2}:\d{2} - )");
  const std::string log = ReadAll(kUpgradeLogPath);
  std::string out;
  std::smatch match;
  std::string::size_type start = 0;
  while (start < log.size()) {
    std::string::size_type end = log.find('\n', start);
    end = end == std::string::npos ? log.size() : end + 1;
    std::string line = log.substr(start, end - start);
    if (std::regex_search(line, match, kStamp)) line = line.substr(match.length(0));
    out += line;
    start = end;
  }
  return out;
}

class UtilsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        0, std::system("rm -rf /tmp/ramdisk /tmp/scratch && mkdir -p /tmp/ramdisk /tmp/scratch"));
  }
  const std::string dir_ = "/tmp/scratch";
};

TEST(LogStampTest, PadsEverythingButTheDay) {
  struct Case {
    std::tm time;
    const char* stamp;
  };
  const Case kCases[] = {
      {MakeTm(2024, 12, 31, 23, 59, 59), "20241231 23:59:59 - "},
      {MakeTm(2025, 1, 1, 0, 0, 0), "2025011 00:00:00 - "},
      {MakeTm(2024, 3, 5, 7, 8, 9), "2024035 07:08:09 - "},
      {MakeTm(2024, 3, 15, 14, 5, 9), "20240315 14:05:09 - "},
      {MakeTm(2024, 6, 30, 12, 0, 60), "20240630 12:00:60 - "},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.stamp);
    EXPECT_EQ(c.stamp, FormatLogStamp(c.time));
  }
}

TEST_F(UtilsTest, LogEntriesReachTheFileByteForByteAndRunNothing) {
  const std::string kMessages[] = {
      "Running cleanup to allow for upgrade",
      "quote \" inside \"\" and 'single'",
      "$(touch /tmp/scratch/pwned1) and ${HOME} and $HOME",
      "`touch /tmp/scratch/pwned2`",
      "back\\slash \\n \\\\ end\\",
      "A\nB",
      "ends in a line feed\n",
      "",
      "; touch /tmp/scratch/pwned3 # | > /tmp/scratch/pwned4",
  };
  std::string expected;
  for (const std::string& message : kMessages) {
    EXPECT_EQ(0, LogToUpgradeLog(message));
    expected += message + "\n";
  }
  EXPECT_EQ(expected, LogWithoutStamps());
  for (const char* pwned : {"pwned1", "pwned2", "pwned3", "pwned4"}) {
    EXPECT_FALSE(FileExists(dir_ + "/" + pwned)) << pwned;
  }
}

TEST_F(UtilsTest, EntryIsStampMessageAndLineFeed) {
  ASSERT_EQ(0, LogToUpgradeLog(""));
  ASSERT_EQ(0, LogToUpgradeLog("A\nB"));
  const std::string log = ReadAll(kUpgradeLogPath);
  // An empty message leaves the stamp alone, trailing blank included; the second line of a
  // two-line message stands without a stamp.
  const std::regex kWhole(R"(\d{7,8} \d{2}:\d{2}:\d{2} - \n\d{7,8} \d{2}:\d{2}:\d{2} - A\nB\n)");
  EXPECT_TRUE(std::regex_match(log, kWhole)) << log;
  struct stat st {};
  ASSERT_EQ(0, ::stat(kUpgradeLogPath, &st));
  EXPECT_EQ(0644u, st.st_mode & 0777u);
}

TEST_F(UtilsTest, LogWithoutRamdiskWritesNothingAnywhere) {
  ASSERT_EQ(0, std::system("rm -rf /tmp/ramdisk"));
  EXPECT_EQ(1, LogToUpgradeLog("lost"));
  EXPECT_FALSE(DirectoryExists("/tmp/ramdisk"));
  EXPECT_FALSE(FileExists("/tmp/upgrade_log"));
}

TEST_F(UtilsTest, LogIntoUnwritablePlaceFails) {
  ASSERT_EQ(0, ::mkdir((std::string(kUpgradeLogPath)).c_str(), 0755));  // a directory in its way
  EXPECT_EQ(1, LogToUpgradeLog("lost"));
}

TEST_F(UtilsTest, FileQueriesFollowLinksAndTellKinds) {
  WriteFile(dir_ + "/file", "12345");
  WriteFile(dir_ + "/empty", "");
  ASSERT_EQ(0, ::mkdir((dir_ + "/dir").c_str(), 0755));
  ASSERT_EQ(0, ::symlink("file", (dir_ + "/link").c_str()));
  ASSERT_EQ(0, ::symlink("dir", (dir_ + "/dirlink").c_str()));
  ASSERT_EQ(0, ::symlink("nowhere", (dir_ + "/dangling").c_str()));
  ASSERT_EQ(0, ::mkfifo((dir_ + "/fifo").c_str(), 0644));

  struct Case {
    const char* name;
    bool is_file, is_dir;
    int size;  // -1: FileSize fails
  };
  const Case kCases[] = {
      {"file", true, false, 5},      {"empty", true, false, 0},    {"dir", false, true, -1},
      {"link", true, false, 5},      {"dirlink", false, true, -1}, {"dangling", false, false, -1},
      {"missing", false, false, -1}, {"fifo", false, false, -1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_ + "/" + c.name;
    EXPECT_EQ(c.is_file, FileExists(path));
    EXPECT_EQ(c.is_dir, DirectoryExists(path));
    unsigned int size = 777;  // must stay as it is when FileSize fails
    EXPECT_EQ(c.size >= 0, FileSize(path, size));
    EXPECT_EQ(c.size >= 0 ? static_cast<unsigned int>(c.size) : 777u, size);
  }
}

TEST_F(UtilsTest, FileSizeSaturatesAtFourGibibytes) {
  // Sparse files: their sizes cost no memory on the private tmpfs.
  struct Case {
    const char* name;
    off_t bytes;
    unsigned int size;
  };
  const Case kCases[] = {{"below", 4294967295LL, 4294967295u},
                         {"at", 4294967296LL, 4294967295u},
                         {"above", 4294967296LL + 10000001LL, 4294967295u}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_ + "/" + c.name;
    WriteFile(path, "");
    ASSERT_EQ(0, ::truncate(path.c_str(), c.bytes));
    unsigned int size = 0;
    EXPECT_TRUE(FileSize(path, size));
    EXPECT_EQ(c.size, size);
  }
}

TEST_F(UtilsTest, ModificationTimeOrZero) {
  const std::string path = dir_ + "/file";
  WriteFile(path, "x");
  const struct timeval times[2] = {{1234567890, 0}, {1700000000, 0}};
  ASSERT_EQ(0, ::utimes(path.c_str(), times));
  EXPECT_EQ(1700000000L, FileModificationTime(path));
  EXPECT_EQ(0L, FileModificationTime(dir_ + "/missing"));
}

TEST_F(UtilsTest, MountFreeSpaceMatchesStatvfsAndKeepsValueOnFailure) {
  struct statvfs vfs {};
  ASSERT_EQ(0, ::statvfs("/tmp", &vfs));
  unsigned int free_bytes = 0;
  ASSERT_TRUE(MountFreeSpace("/tmp", free_bytes));
  EXPECT_EQ(vfs.f_bavail * vfs.f_bsize, free_bytes);

  unsigned int kept = 4242;
  EXPECT_FALSE(MountFreeSpace(dir_ + "/missing", kept));
  EXPECT_EQ(4242u, kept);
}

TEST_F(UtilsTest, MountFreeSpaceSaturatesAtFourGibibytes) {
  // tmpfs reserves nothing up front, so a large one costs no memory.
  const std::string mount_point = dir_ + "/big";
  ASSERT_EQ(0, ::mkdir(mount_point.c_str(), 0755));
  ASSERT_EQ(0, ::mount("qx-big", mount_point.c_str(), "tmpfs", 0, "size=8g"));
  unsigned int free_bytes = 0;
  EXPECT_TRUE(MountFreeSpace(mount_point, free_bytes));
  EXPECT_EQ(4294967295u, free_bytes);
  ASSERT_EQ(0, ::umount(mount_point.c_str()));
}

TEST_F(UtilsTest, SetPermissionsChangesMode) {
  const std::string path = dir_ + "/file";
  WriteFile(path, "x");
  EXPECT_TRUE(SetPermissions(path, 04711));
  struct stat st {};
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(04711u, st.st_mode & 07777u);
  EXPECT_FALSE(SetPermissions(dir_ + "/missing", 0644));
}

TEST_F(UtilsTest, VerifyPermissionsComparesNineBitsAndExplainsInDecimal) {
  const std::string plain = dir_ + "/plain";
  const std::string setuid = dir_ + "/setuid";
  WriteFile(plain, "x", 0644);
  WriteFile(setuid, "x", 04755);
  ASSERT_EQ(0, ::symlink("plain", (dir_ + "/link").c_str()));

  EXPECT_FALSE(VerifyPermissions(plain, 0755, false));
  EXPECT_EQ("", ReadAll(kUpgradeLogPath));  // log false: silence

  EXPECT_FALSE(VerifyPermissions(plain, 0755, true));
  EXPECT_EQ("Expected permissions 493\nActual permissions 420\n", LogWithoutStamps());

  EXPECT_TRUE(VerifyPermissions(plain, 0644, true));
  EXPECT_TRUE(VerifyPermissions(dir_ + "/link", 0644, true));  // the target's bits
  EXPECT_TRUE(VerifyPermissions(setuid, 0755, true));
  EXPECT_FALSE(VerifyPermissions(setuid, 04755, false));
  EXPECT_FALSE(VerifyPermissions(dir_ + "/missing", 0644, true));
  EXPECT_EQ(
      "Expected permissions 493\nActual permissions 420\nUnable to stat " + dir_ + "/missing\n",
      LogWithoutStamps());
}

TEST_F(UtilsTest, LinkExistsLooksAtTheLinkItself) {
  const std::string file = dir_ + "/file";
  WriteFile(file, "x", 0644);
  ASSERT_EQ(0, ::symlink("nowhere", (dir_ + "/dangling").c_str()));
  ASSERT_EQ(0, ::symlink("file", (dir_ + "/link").c_str()));

  EXPECT_TRUE(LinkExists(dir_ + "/dangling", true));
  EXPECT_TRUE(LinkExists(dir_ + "/link", true));
  EXPECT_FALSE(LinkExists(file, false));
  EXPECT_EQ("", ReadAll(kUpgradeLogPath));
  EXPECT_FALSE(LinkExists(file, true));
  EXPECT_FALSE(LinkExists(dir_ + "/missing", true));
  EXPECT_EQ("Link " + file + " has mode 33188\nUnable to lstat " + dir_ + "/missing\n",
            LogWithoutStamps());
}

TEST_F(UtilsTest, VerifyLinkComparesTheWholeContent) {
  const std::string long_target = "/" + std::string(69, 'x');  // 70 bytes
  ASSERT_EQ(70u, long_target.size());
  ASSERT_EQ(0, ::symlink(long_target.c_str(), (dir_ + "/long").c_str()));
  ASSERT_EQ(0, ::symlink("file", (dir_ + "/relative").c_str()));
  WriteFile(dir_ + "/file", "x");

  EXPECT_TRUE(VerifyLink(dir_ + "/long", long_target, true));
  EXPECT_FALSE(VerifyLink(dir_ + "/long", long_target.substr(0, 64), false));
  EXPECT_TRUE(VerifyLink(dir_ + "/relative", "file", true));
  EXPECT_FALSE(VerifyLink(dir_ + "/relative", dir_ + "/file", false));  // not resolved
  EXPECT_EQ("", ReadAll(kUpgradeLogPath));

  EXPECT_FALSE(VerifyLink(dir_ + "/relative", "other", true));
  EXPECT_FALSE(VerifyLink(dir_ + "/file", "file", true));
  EXPECT_FALSE(VerifyLink(dir_ + "/missing", "file", true));
  EXPECT_EQ(
      "Current Target is file\nExpected Target is other\n"
      "Unable to read link from " +
          dir_ +
          "/file\n"
          "Unable to read link from " +
          dir_ + "/missing\n",
      LogWithoutStamps());
}

}  // namespace
}  // namespace qx::upgrader::utils
