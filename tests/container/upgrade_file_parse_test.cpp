#include <sys/stat.h>

#include <string>
#include <vector>

#include "container/upgrade_file.h"
#include "gtest/gtest.h"
#include "tests/container/test_support.h"

namespace {

namespace format = qx::upgradeFile::format;
using qx::test::Build;
using qx::test::ImageWithSizes;
using qx::test::TempDir;
using qx::test::WriteFile;
using qx::upgradeFile::UpgradeFile;

class UpgradeFileParseTest : public ::testing::Test {
 protected:
  void SetUp() override { qx::test::ClearLog(); }

  // Writes bytes to a scratch file and parses it with a new reader.
  bool Parse(const std::string& bytes, UpgradeFile& reader) {
    const std::string path = dir_.File("ud-test.bin");
    WriteFile(path, bytes);
    return reader.ParseFile(path);
  }

  TempDir dir_;
};

TEST_F(UpgradeFileParseTest, RecordsOffsetsAndHeadersAndLogsTheSize) {
  UpgradeFile reader;
  ASSERT_TRUE(Parse(Build(ImageWithSizes({0, 1024, 1025, 1, 10})), reader));
  EXPECT_TRUE(reader.Valid());
  EXPECT_EQ("", reader.ErrorMessage());
  // Data offset of k: 128 + 128 * (k + 1) + the data sizes before it.
  const std::vector<std::uint32_t> expected = {256, 384, 1536, 2689, 2818};
  EXPECT_EQ(expected, reader.DataOffsets());
  ASSERT_EQ(5u, reader.InnerFiles().size());
  EXPECT_EQ(1025u, reader.InnerFiles()[2].FileSize());
  EXPECT_EQ("f2", reader.InnerFiles()[2].Information().Name());
  ASSERT_EQ(6u, qx::test::LoggedLines().size());
  EXPECT_EQ("Upgrade file size 2060", qx::test::LoggedLines()[5]);
}

TEST_F(UpgradeFileParseTest, PathChoice) {
  UpgradeFile without_path;
  EXPECT_FALSE(without_path.ParseFile());
  EXPECT_EQ("No file specified", without_path.ErrorMessage());

  const std::string missing = dir_.File("missing");
  UpgradeFile reader(missing);
  EXPECT_FALSE(reader.ParseFile());
  EXPECT_EQ("Couldn't open file " + missing + ": error: No such file or directory",
            reader.ErrorMessage());

  // A new path replaces the stored one for good, even when the walk then fails.
  const std::string other = dir_.File("other");
  WriteFile(other, "short");
  EXPECT_FALSE(reader.ParseFile(other));
  EXPECT_EQ(other, reader.Path());
  EXPECT_EQ("Unable to read header bytes", reader.ErrorMessage());
}

// Cutting a file at any length fails with the message of the piece that was cut, and keeps
// the inner files completed before the cut.
TEST_F(UpgradeFileParseTest, TruncationAtEveryLengthNamesThePieceCut) {
  const std::vector<std::size_t> sizes = {3, 0, 1030};
  const std::string bytes = Build(ImageWithSizes(sizes));
  std::vector<std::size_t> starts;  // start of each inner file header
  std::size_t offset = 128;
  for (std::size_t size : sizes) {
    starts.push_back(offset);
    offset += 128 + size;
  }
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    SCOPED_TRACE(length);
    std::string expected = "Unable to read header bytes";
    std::size_t completed = 0;
    for (std::size_t k = 0; k < starts.size(); ++k) {
      if (length < starts[k]) break;
      completed = k;
      expected =
          length < starts[k] + 128 ? "Unable to read inner file header" : "Unable to read bytes";
    }
    if (length < 128) completed = 0;
    UpgradeFile reader;
    EXPECT_FALSE(Parse(bytes.substr(0, length), reader));
    EXPECT_EQ(expected, reader.ErrorMessage());
    EXPECT_EQ(completed, reader.InnerFiles().size());
    EXPECT_EQ(completed, reader.DataOffsets().size());
    EXPECT_FALSE(reader.Valid());
  }
}

// One flipped bit anywhere is caught, and the message says which check caught it.
TEST_F(UpgradeFileParseTest, EveryFlippedByteIsCaughtByTheRightCheck) {
  const std::string bytes = Build(ImageWithSizes({5, 40}));
  const std::size_t second = 128 + 128 + 5;
  for (std::size_t offset = 0; offset < bytes.size(); ++offset) {
    SCOPED_TRACE(offset);
    std::string damaged = bytes;
    damaged[offset] = static_cast<char>(damaged[offset] ^ 0x04);
    const std::size_t in_header = offset < second ? offset - 128 : offset - second;
    const bool size_field = offset >= 128 && in_header >= format::kDataSize.offset &&
                            in_header < format::kDataSize.offset + format::kDataSize.size;
    std::string expected = "Inner header MD5 check failed";
    if (offset < 128) {
      expected = "Unable to parse header";
    } else if (in_header < format::kInnerIdentity.size) {
      expected = "Unable to parse inner header";
    }
    UpgradeFile reader;
    EXPECT_FALSE(Parse(damaged, reader));
    // A changed size moves every later boundary: any failure will do.
    if (!size_field) {
      EXPECT_EQ(expected, reader.ErrorMessage());
    }
  }
}

TEST_F(UpgradeFileParseTest, StopsExactlyWhereTheDataSizesMeetTheTotal) {
  struct Case {
    const char* what;
    std::vector<std::size_t> sizes;
    std::uint32_t declared_total;
    std::string trailing;
    bool valid;
    std::string message;
    std::size_t inner_files;
  };
  const std::vector<Case> kCases = {
      {"trailing bytes are never read", {10, 20}, 30, std::string(300, 'x'), true, "", 2},
      {"total met early", {10, 20}, 10, "", true, "", 1},
      {"overshoot to the end", {10, 20}, 25, "", false, "Unable to read inner file header", 2},
      {"overshoot into junk",
       {10, 20},
       25,
       std::string(128, 'j'),
       false,
       "Unable to parse inner header",
       2},
      {"header only, total 0", {}, 0, "", false, "Unable to read inner file header", 0},
      {"empty first file meets total 0", {0, 5}, 0, "", true, "", 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    auto image = ImageWithSizes(c.sizes);
    image.declared_total_data_size = c.declared_total;
    image.trailing_bytes = c.trailing;
    std::string bytes;
    if (c.sizes.empty()) {
      const auto header = qx::udtool::EncodeUpgradeHeader(image.header, 0);
      bytes.assign(header.begin(), header.end());
    } else {
      bytes = Build(image);
    }
    UpgradeFile reader;
    EXPECT_EQ(c.valid, Parse(bytes, reader));
    EXPECT_EQ(c.valid, reader.Valid());
    EXPECT_EQ(c.message, reader.ErrorMessage());
    EXPECT_EQ(c.inner_files, reader.InnerFiles().size());
  }
}

TEST_F(UpgradeFileParseTest, DataSizesAreSummedWithoutWrapping) {
  // 0x100 + 0xFFFFFF10 wraps to 0x10 in 32 bits, so 32-bit sums would meet the total here;
  // such data could never be found again by a 32-bit offset, and is refused before any read.
  auto image = ImageWithSizes({0x100, 0x10});
  image.files[1].declared_data_size = 0xFFFFFF10u;
  image.declared_total_data_size = 0x10;
  UpgradeFile reader;
  EXPECT_FALSE(Parse(Build(image), reader));
  EXPECT_EQ("Inner file runs past 4 GiB", reader.ErrorMessage());
  EXPECT_EQ(1u, reader.InnerFiles().size());
}

TEST_F(UpgradeFileParseTest, ASecondParseStartsFromNothing) {
  UpgradeFile reader;
  ASSERT_TRUE(Parse(Build(ImageWithSizes({1, 2, 3})), reader));
  auto damaged = ImageWithSizes({1, 2});
  damaged.files[0].corrupt_digest = true;
  EXPECT_FALSE(Parse(Build(damaged), reader));
  EXPECT_FALSE(reader.Valid());
  EXPECT_TRUE(reader.InnerFiles().empty());
  EXPECT_TRUE(reader.DataOffsets().empty());
  EXPECT_FALSE(reader.ExtractFile(0, dir_.File("out")));
  EXPECT_EQ("Invalid offset", reader.ErrorMessage());

  EXPECT_FALSE(Parse("not an upgrade file at all", reader));
  EXPECT_FALSE(reader.Header().Valid());
  EXPECT_EQ(0u, reader.Header().FileSize());
}

// A FIFO must fail at once instead of blocking the run; a directory cannot be read either.
TEST_F(UpgradeFileParseTest, FifoAndDirectoryFailWithTheReadMessage) {
  const std::string fifo = dir_.File("ud-fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  for (const std::string& path : {fifo, dir_.Path()}) {
    SCOPED_TRACE(path);
    UpgradeFile reader(path);
    EXPECT_FALSE(reader.ParseFile());
    EXPECT_EQ("Unable to read header bytes", reader.ErrorMessage());
  }
}

}  // namespace
