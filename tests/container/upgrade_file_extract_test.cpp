#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "container/upgrade_file.h"
#include "gtest/gtest.h"
#include "tests/container/test_support.h"

namespace {

using qx::test::Build;
using qx::test::ImageWithSizes;
using qx::test::ReadFile;
using qx::test::TempDir;
using qx::test::WriteFile;
using qx::upgradeFile::UpgradeFile;

class UpgradeFileExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::umask(022);
    image_ = ImageWithSizes({0, 1, 1024, 1025, 3000});
    path_ = dir_.File("ud-image.bin");
    WriteFile(path_, Build(image_));
    reader_ = UpgradeFile(path_);
    ASSERT_TRUE(reader_.ParseFile());
  }

  TempDir dir_;
  qx::udtool::UpgradeImage image_;
  std::string path_;
  UpgradeFile reader_;
};

TEST_F(UpgradeFileExtractTest, EveryIndexGivesItsExactBytes) {
  for (unsigned int index = 0; index < image_.files.size(); ++index) {
    SCOPED_TRACE(index);
    const std::string out = dir_.File("out" + std::to_string(index));
    ASSERT_TRUE(reader_.ExtractFile(index, out));
    EXPECT_EQ(image_.files[index].data, ReadFile(out));
    struct stat info {};
    ASSERT_EQ(0, ::stat(out.c_str(), &info));
    EXPECT_EQ(0755u, info.st_mode & 07777u);
  }
  EXPECT_EQ("", reader_.ErrorMessage());
}

TEST_F(UpgradeFileExtractTest, IndexBounds) {
  EXPECT_FALSE(reader_.ExtractFile(5, dir_.File("five")));
  EXPECT_EQ("Invalid offset", reader_.ErrorMessage());
  EXPECT_NE(0, ::access(dir_.File("five").c_str(), F_OK));  // nothing created
  ASSERT_TRUE(reader_.ExtractFile(1, dir_.File("one")));
  EXPECT_EQ("Invalid offset", reader_.ErrorMessage());  // a success keeps the latest failure

  UpgradeFile fresh(path_);
  for (unsigned int index : {0u, 2u, 4294967295u}) {
    SCOPED_TRACE(index);
    EXPECT_FALSE(fresh.ExtractFile(index, dir_.File("x")));
    EXPECT_EQ("Invalid offset", fresh.ErrorMessage());
  }
}

// Whatever stands at the extraction path is replaced, never written through: a hard link to a
// file elsewhere on the same file system, a symbolic link and a FIFO all keep or lose nothing.
TEST_F(UpgradeFileExtractTest, ReplacesWhatStandsAtThePathWithoutWritingThroughIt) {
  const std::string canary = dir_.File("canary");
  WriteFile(canary, "keep me");
  const std::string hard = dir_.File("hard"), soft = dir_.File("soft"), fifo = dir_.File("fifo");
  const std::string plain = dir_.File("plain");
  ASSERT_EQ(0, ::link(canary.c_str(), hard.c_str()));
  ASSERT_EQ(0, ::symlink(canary.c_str(), soft.c_str()));
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  WriteFile(plain, std::string(5000, 'z'));
  ASSERT_EQ(0, ::chmod(plain.c_str(), 0600));
  for (const std::string& out : {hard, soft, fifo, plain}) {
    SCOPED_TRACE(out);
    ASSERT_TRUE(reader_.ExtractFile(2, out));
    EXPECT_EQ(image_.files[2].data, ReadFile(out));
    struct stat info {};
    ASSERT_EQ(0, ::lstat(out.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0755u, info.st_mode & 07777u);
    EXPECT_EQ(1u, info.st_nlink);
  }
  EXPECT_EQ("keep me", ReadFile(canary));
  ASSERT_TRUE(reader_.ExtractFile(0, plain));  // zero data bytes: an empty file
  EXPECT_EQ("", ReadFile(plain));
}

TEST_F(UpgradeFileExtractTest, ExtractionPathFailures) {
  struct Case {
    std::string path;
    int error;
  };
  const Case kCases[] = {
      {dir_.File("no-such-dir/out"), ENOENT},
      {dir_.Path(), EEXIST},  // a directory cannot be unlinked, and is never opened
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.path);
    EXPECT_FALSE(reader_.ExtractFile(3, c.path));
    EXPECT_EQ("Couldn't open extraction file " + c.path + ": error: " + std::strerror(c.error),
              reader_.ErrorMessage());
  }
}

TEST_F(UpgradeFileExtractTest, UpgradeFileGoneOrChangedAfterTheParse) {
  const std::string out = dir_.File("out");
  const std::string bytes = ReadFile(path_);
  // Cut halfway through inner file 4 (3000 bytes): the copy keeps what it read.
  WriteFile(path_, bytes.substr(0, reader_.DataOffsets()[4] + 1500));
  EXPECT_FALSE(reader_.ExtractFile(4, out));
  EXPECT_EQ("Error reading internal file to extract", reader_.ErrorMessage());
  EXPECT_EQ(image_.files[4].data.substr(0, 1500), ReadFile(out));

  ASSERT_EQ(0, ::unlink(path_.c_str()));
  EXPECT_FALSE(reader_.ExtractFile(1, out));
  EXPECT_EQ("Couldn't open upgrade file " + path_ + ": error: No such file or directory",
            reader_.ErrorMessage());

  ASSERT_EQ(0, ::mkfifo(path_.c_str(), 0600));
  EXPECT_FALSE(reader_.ExtractFile(1, out));
  EXPECT_EQ("Unable to find internal file in " + path_ + ": error: " + std::strerror(ESPIPE),
            reader_.ErrorMessage());
}

// A write that fails (here at a file-size limit below the inner file's 3000 bytes) is reported
// with its own message, and the copy stops there.
TEST_F(UpgradeFileExtractTest, FailedWriteIsReported) {
  rlimit saved{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
  rlimit small = saved;
  small.rlim_cur = 2048;
  void (*const previous)(int) = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  const std::string out = dir_.File("out");
  const bool extracted = reader_.ExtractFile(4, out);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &saved));
  ::signal(SIGXFSZ, previous);
  EXPECT_FALSE(extracted);
  EXPECT_EQ("Unable to write extraction file " + out + ": error: " + std::strerror(EFBIG),
            reader_.ErrorMessage());
  EXPECT_EQ(image_.files[4].data.substr(0, 2048), ReadFile(out));
}

TEST_F(UpgradeFileExtractTest, ReparseWithANewPathExtractsFromIt) {
  const std::string second = dir_.File("ud-second.bin");
  const auto image = ImageWithSizes({7, 8});
  WriteFile(second, Build(image));
  ASSERT_TRUE(reader_.ParseFile(second));
  ASSERT_EQ(0, ::unlink(path_.c_str()));
  ASSERT_TRUE(reader_.ExtractFile(1, dir_.File("out")));
  EXPECT_EQ(image.files[1].data, ReadFile(dir_.File("out")));
}

}  // namespace
