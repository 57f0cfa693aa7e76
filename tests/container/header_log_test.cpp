// The header lines reach the real upgrade log. Runs with a private /tmp (qx_private_tmp_main),
// so /tmp/ramdisk/upgrade_log here is the test's own.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "container/upgrade_file.h"
#include "gtest/gtest.h"
#include "tests/container/test_support.h"
#include "utils/upgrader_utils.h"

namespace {

using qx::test::Build;
using qx::test::ReadFile;
using qx::test::WriteFile;

// The messages of the log's entries, each stamp ("... - ") taken off.
std::vector<std::string> LogMessages() {
  std::vector<std::string> messages;
  const std::string log = ReadFile(qx::upgrader::utils::kUpgradeLogPath);
  std::size_t start = 0;
  while (start < log.size()) {
    const std::size_t end = log.find('\n', start);
    const std::string line = log.substr(start, end - start);
    const std::size_t stamp_end = line.find(" - ");
    messages.push_back(stamp_end == std::string::npos ? "<no stamp> " + line
                                                      : line.substr(stamp_end + 3));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return messages;
}

class HeaderLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, ::access("/tmp/ramdisk", F_OK) == 0 ? 0 : ::mkdir("/tmp/ramdisk", 0755));
    ::unlink(qx::upgrader::utils::kUpgradeLogPath);
    image_ = qx::test::ImageWithSizes({4, 5});
    image_.header.version = 0x0102;
    image_.header.upgrade_name = "KV70 field upgrade";
    image_.header.file_date = "20240315";
    image_.header.upgrade_id = 4000000000u;
  }

  const std::string path_ = "/tmp/ramdisk/ud-upgrade.bin";
  qx::udtool::UpgradeImage image_;
};

TEST_F(HeaderLogTest, ValidFileLogsFiveHeaderLinesAndTheSize) {
  WriteFile(path_, Build(image_));
  qx::upgradeFile::UpgradeFile reader(path_);
  ASSERT_TRUE(reader.ParseFile());
  const std::vector<std::string> expected = {
      "Version 258",         "Upgrade Name: KV70 field upgrade", "Release Name: ",
      "File Date: 20240315", "Upgrade ID: 4000000000",           "Upgrade file size 9"};
  EXPECT_EQ(expected, LogMessages());
}

TEST_F(HeaderLogTest, DamagedHeaderLogsFiveLinesOnlyAndWrongIdentityNone) {
  image_.corrupt_header_digest = true;
  WriteFile(path_, Build(image_));
  qx::upgradeFile::UpgradeFile reader(path_);
  EXPECT_FALSE(reader.ParseFile());
  EXPECT_EQ("Unable to parse header", reader.ErrorMessage());
  EXPECT_EQ(5u, LogMessages().size());

  ::unlink(qx::upgrader::utils::kUpgradeLogPath);
  std::string bytes = Build(image_);
  bytes[0] = 'u';
  WriteFile(path_, bytes);
  EXPECT_FALSE(reader.ParseFile());
  EXPECT_TRUE(LogMessages().empty());
}

}  // namespace
