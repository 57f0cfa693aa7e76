// The two header records, then the reader that walks and extracts whole upgrade files.
#include "container/upgrade_file.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"
#include "tests/container/test_support.h"
#include "tools/upgrade_file_writer.h"
#include "utils/upgrader_utils.h"

static std::vector<std::string> g_logged;  // what the reader logged

// Takes the place of the device's log writer: the device path is never written.
int qx::upgrader::utils::LogToUpgradeLog(const std::string& message) {
  g_logged.push_back(message);
  return 0;
}

namespace {

using qx::test::ReadFile;
using qx::test::WriteFile;
using qx::upgradeFile::InnerFileInformation;
using qx::upgradeFile::UpgradeFile;
using qx::upgradeFile::UpgradeFileInformation;

// Inner files "f0", "f1", ... of these sizes, bytes differing per file and position.
qx::udtool::UpgradeImage ImageWithSizes(const std::vector<std::size_t>& sizes) {
  qx::udtool::UpgradeImage image;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    std::string data(sizes[i], '\0');
    for (std::size_t j = 0; j < data.size(); ++j) data[j] = static_cast<char>(i * 31 + j * 7);
    image.files.push_back(qx::udtool::InnerFileSpec::FromData("f" + std::to_string(i), data));
  }
  return image;
}

std::string Build(const qx::udtool::UpgradeImage& image) {
  std::string bytes, error;
  EXPECT_TRUE(qx::udtool::BuildUpgradeFile(image, bytes, error)) << error;
  return bytes;
}

std::string Pad(std::string text, std::size_t size) {
  text.resize(size, '\0');
  return text;
}

// Both headers written out byte by byte, independently of the writer and of the reader's
// layout table. The upgrade header's digest, the MD5 of its first 112 bytes, is OpenSSL's.
const std::string kUpgradeHeader =
    std::string("\x55\xDE\xAD\xBE\xEF\x55\x01\x02", 8) +
    Pad(std::string("KV70 field upgrade\0old", 22), 32) + Pad("R7.1", 16) + "20240315" +
    std::string("\xEE\x6B\x28\x00", 4) + Pad("aux-one", 8) + "aux-two!" +
    std::string("\xA1\xB2\xC3\xD4\x00\x01\xE2\x40", 8) + std::string(20, '\0') +
    "\x0e\xfc\x99\xf6\x0e\xbd\xdb\x0f\x4f\xde\x67\xf6\x8e\x9c\x51\x75";
// Any digest will do here: only the reader compares it with the data's.
const std::string kInnerHeader = "\xF1\xE2\xD3\xC4\x01\x02\x03\x04\xFF\xFF\xFF\xFF" +
                                 std::string("\x00\xAB\xCD\xEF", 4) +
                                 Pad(std::string("kernel\0pad", 10), 32) + std::string(64, '\0') +
                                 "\xA0\xA1\xA2\xA3\xA4\xA5\xA6\xA7\xA8\xA9\xAA\xAB\xAC\xAD\xAE\xAF";

template <typename Record>
bool Parse(Record& record, const std::string& bytes) {
  g_logged.clear();
  return record.ParseHeader(reinterpret_cast<const unsigned char*>(bytes.data()), 128);
}

// The reader's cut and flipped-byte walk below checks the order of the header checks; here the
// fields, and the upgrade header's own digest, which covers every byte before it.
TEST(HeaderRecordTest, ParsesEveryField) {
  UpgradeFileInformation info;
  ASSERT_TRUE(Parse(info, kUpgradeHeader));
  EXPECT_EQ(0x0102, info.Version());
  EXPECT_EQ("KV70 field upgrade", info.UpgradeName());  // cut at its first NUL
  EXPECT_EQ("R7.1", info.ReleaseName());
  EXPECT_EQ("20240315", info.FileDate());  // fills its field
  EXPECT_EQ(4000000000u, info.UpgradeId());
  EXPECT_EQ("aux-one", info.AuxiliaryText1());
  EXPECT_EQ("aux-two!", info.AuxiliaryText2());
  EXPECT_EQ(0xA1B2C3D4u, info.AuxiliaryWord());
  EXPECT_EQ(123456u, info.FileSize());
  std::string damaged = kUpgradeHeader;
  damaged[111] = 'x';  // reserved
  EXPECT_FALSE(Parse(info, damaged));
  EXPECT_EQ("Header MD5 check failed", info.ErrorMessage());

  InnerFileInformation inner;
  ASSERT_TRUE(Parse(inner, kInnerHeader));
  EXPECT_EQ(0x01020304u, inner.AuxiliaryWord1());
  EXPECT_EQ(0xFFFFFFFFu, inner.AuxiliaryWord2());
  EXPECT_EQ(0x00ABCDEFu, inner.FileSize());
  EXPECT_EQ("kernel", inner.Name());
  // The digest compared is the stored one: 16 bytes, and only those.
  std::string digest = kInnerHeader.substr(112) + "\x55";
  auto* bytes = reinterpret_cast<unsigned char*>(digest.data());
  EXPECT_TRUE(inner.ValidateMD5Hash(bytes, 17));
  EXPECT_FALSE(inner.ValidateMD5Hash(bytes, 15));
}

class UpgradeFileTest : public ::testing::Test {
 protected:
  bool Parse(const std::string& bytes, UpgradeFile& reader) {
    g_logged.clear();
    WriteFile(path_, bytes);
    return reader.ParseFile(path_);
  }

  qx::test::TempDir dir_;
  const std::string path_ = dir_.File("ud-test.bin");
};

TEST_F(UpgradeFileTest, RecordsOffsetsAndHeadersThenParsesAgainFromNothing) {
  UpgradeFile reader;
  EXPECT_FALSE(reader.ParseFile());
  EXPECT_EQ("No file specified", reader.ErrorMessage());
  const std::string fifo = dir_.File("fifo");  // must fail at once, not block the run
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  EXPECT_FALSE(reader.ParseFile(fifo));
  EXPECT_EQ("Unable to read header bytes", reader.ErrorMessage());

  ASSERT_TRUE(Parse(Build(ImageWithSizes({0, 1024, 1025, 1, 10})), reader));  // the new path
  EXPECT_TRUE(reader.Valid());
  // Data offset of k: 128 + 128 * (k + 1) + the data sizes before it.
  EXPECT_EQ((std::vector<std::uint32_t>{256, 384, 1536, 2689, 2818}), reader.DataOffsets());
  ASSERT_EQ(5u, reader.InnerFiles().size());
  EXPECT_EQ(1025u, reader.InnerFiles()[2].FileSize());
  EXPECT_EQ("f2", reader.InnerFiles()[2].Information().Name());
  ASSERT_EQ(6u, g_logged.size());  // after the header's own five
  EXPECT_EQ("Upgrade file size 2060", g_logged[5]);

  // Nothing of a success survives a parse, of the stored path, that cannot open the file.
  ASSERT_EQ(0, ::unlink(path_.c_str()));
  EXPECT_FALSE(reader.ParseFile());
  EXPECT_EQ("Couldn't open file " + path_ + ": error: No such file or directory",
            reader.ErrorMessage());
  EXPECT_FALSE(reader.Valid());
  EXPECT_FALSE(reader.Header().Valid());
  EXPECT_TRUE(reader.InnerFiles().empty());
  EXPECT_TRUE(reader.DataOffsets().empty());
}

// Cut anywhere, a file fails naming the piece cut and keeps the inner files completed before it.
// A flipped bit anywhere is caught by the check the message names; the upgrade header checks
// its identity (bytes 0 to 5) first, then logs five lines (and no size) before its digest.
TEST_F(UpgradeFileTest, EveryCutAndEveryFlippedByteIsCaughtByTheRightCheck) {
  const std::vector<std::size_t> sizes = {3, 0, 1030};
  const std::string bytes = Build(ImageWithSizes(sizes));
  for (std::size_t offset = 0; offset < bytes.size(); ++offset) {
    SCOPED_TRACE(offset);
    std::string cut = "Unable to read header bytes";
    std::size_t completed = 0, in_inner = 0;  // offset from the start of its inner file
    for (std::size_t k = 0, start = 128; k < sizes.size() && offset >= start; ++k) {
      completed = k;
      in_inner = offset - start;
      cut = in_inner < 128 ? "Unable to read inner file header" : "Unable to read bytes";
      start += 128 + sizes[k];
    }
    UpgradeFile reader;
    EXPECT_FALSE(Parse(bytes.substr(0, offset), reader));
    EXPECT_EQ(cut, reader.ErrorMessage());
    EXPECT_EQ(completed, reader.InnerFiles().size());
    EXPECT_EQ(completed, reader.DataOffsets().size());
    EXPECT_FALSE(reader.Valid());

    std::string damaged = bytes;
    damaged[offset] = static_cast<char>(damaged[offset] ^ 0x04);
    EXPECT_FALSE(Parse(damaged, reader));
    if (offset < 128) {
      EXPECT_EQ("Unable to parse header", reader.ErrorMessage());
      EXPECT_EQ(offset < 6 ? 0u : 5u, g_logged.size());
    } else if (in_inner < 12 || in_inner >= 16) {  // a changed data size moves what follows
      EXPECT_EQ(in_inner < 4 ? "Unable to parse inner header" : "Inner header MD5 check failed",
                reader.ErrorMessage());
    }
  }
}

// Data sizes of count inner files: all empty but the last, of one byte.
std::vector<std::size_t> Ending(std::size_t count) {
  std::vector<std::size_t> sizes(count, 0);
  sizes.back() = 1;
  return sizes;
}

// Data sizes are summed in 64 bits: 0x100 + 0xFFFFFF10 would wrap to the total 0x10 in 32, and
// data that a 32-bit offset cannot find again is refused before any read.
TEST_F(UpgradeFileTest, StopsExactlyWhereTheDataSizesMeetTheTotal) {
  // Data sizes, the second one's declared size (0: its own), declared total, bytes after the
  // last inner file, message ("": valid), inner files recorded.
  const std::tuple<std::vector<std::size_t>, std::uint32_t, std::uint32_t, std::size_t, std::string,
                   std::size_t>
      kCases[] = {
          {{10, 20}, 0, 30, 300, "", 2},  // the bytes after the total are never read
          {{10, 20}, 0, 10, 0, "", 1},
          {{10, 20}, 0, 25, 0, "Unable to read inner file header", 2},
          {{10, 20}, 0, 25, 128, "Unable to parse inner header", 2},
          {{0, 5}, 0, 0, 0, "", 1},
          {{0x100, 0x10}, 0xFFFFFF10u, 0x10, 0, "Inner file runs past 4 GiB", 1},
          // At most 1024 inner files are walked: empty ones, then one byte that meets the total.
          {Ending(1024), 0, 1, 0, "", 1024},
          {Ending(1025), 0, 1, 0, "More than 1024 inner files", 1024},
      };
  for (const auto& [sizes, second, total, trailing, message, inner_files] : kCases) {
    SCOPED_TRACE(message + " " + std::to_string(total));
    auto image = ImageWithSizes(sizes);
    if (second != 0) image.files[1].declared_data_size = second;
    image.declared_total_data_size = total;
    image.trailing_bytes = std::string(trailing, 'j');
    UpgradeFile reader;
    EXPECT_EQ(message.empty(), Parse(Build(image), reader));
    EXPECT_EQ(message.empty(), reader.Valid());
    EXPECT_EQ(message, reader.ErrorMessage());
    EXPECT_EQ(inner_files, reader.InnerFiles().size());
  }
}

class UpgradeFileExtractTest : public UpgradeFileTest {
 protected:
  void SetUp() override {
    ::umask(022);
    ASSERT_TRUE(Parse(Build(image_), reader_));
  }

  const qx::udtool::UpgradeImage image_ = ImageWithSizes({0, 1, 1024, 1025, 3000});
  UpgradeFile reader_;
};

// Each index gives its bytes in a new file of mode 0755: a larger file of another mode, a hard
// link, a symbolic link and a FIFO at the path are replaced, never written through.
TEST_F(UpgradeFileExtractTest, EveryIndexGivesItsBytesInANewFileNeverWrittenThroughALink) {
  const std::string canary = dir_.File("canary");
  WriteFile(canary, "keep me");
  WriteFile(dir_.File("0"), std::string(5000, 'z'));
  ASSERT_EQ(0, ::chmod(dir_.File("0").c_str(), 0600));
  ASSERT_EQ(0, ::link(canary.c_str(), dir_.File("1").c_str()));
  ASSERT_EQ(0, ::symlink(canary.c_str(), dir_.File("2").c_str()));
  ASSERT_EQ(0, ::mkfifo(dir_.File("3").c_str(), 0600));
  for (unsigned int index = 0; index < 5; ++index) {  // nothing stands at "4"
    SCOPED_TRACE(index);
    const std::string out = dir_.File(std::to_string(index));
    ASSERT_TRUE(reader_.ExtractFile(index, out));
    EXPECT_EQ(image_.files[index].data, ReadFile(out));
    struct stat info {};
    ASSERT_EQ(0, ::lstat(out.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0755u, info.st_mode & 07777u);
    EXPECT_EQ(1u, info.st_nlink);
  }
  EXPECT_EQ("keep me", ReadFile(canary));
  EXPECT_EQ("", reader_.ErrorMessage());
  EXPECT_FALSE(reader_.ExtractFile(5, dir_.File("5")));
  EXPECT_EQ("Invalid offset", reader_.ErrorMessage());
}

// Started with its standard descriptors closed (as from a daemon), the reader's own opens get
// descriptors 0 and 1: valid ones.
TEST_F(UpgradeFileExtractTest, WorksOnDescriptorsZeroAndOne) {
  const int saved_in = ::dup(0), saved_out = ::dup(1);
  ASSERT_TRUE(saved_in > 1 && saved_out > 1);
  ::close(0);
  ::close(1);
  UpgradeFile reader;
  const bool parsed = reader.ParseFile(path_);
  const bool extracted = parsed && reader.ExtractFile(2, dir_.File("2"));
  ::dup2(saved_in, 0);
  ::dup2(saved_out, 1);
  ::close(saved_in);
  ::close(saved_out);
  EXPECT_TRUE(parsed && extracted) << reader.ErrorMessage();
  EXPECT_EQ(image_.files[2].data, ReadFile(dir_.File("2")));
}

// A write that fails (here at a file-size limit below the inner file's 3000 bytes) and a read
// that fails (the file cut halfway through inner file 4) both keep what was copied.
TEST_F(UpgradeFileExtractTest, FailuresNameTheFileAndTheCause) {
  const std::string out = dir_.File("out");
  ASSERT_EQ(0, ::mkdir(out.c_str(), 0755));  // a directory in the way stays
  EXPECT_FALSE(reader_.ExtractFile(3, out));
  EXPECT_EQ("Couldn't open extraction file " + out + ": error: File exists",
            reader_.ErrorMessage());
  ASSERT_EQ(0, ::rmdir(out.c_str()));
  rlimit saved{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
  rlimit small = saved;
  small.rlim_cur = 2048;
  void (*const previous)(int) = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  const bool extracted = reader_.ExtractFile(4, out);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &saved));
  ::signal(SIGXFSZ, previous);
  EXPECT_FALSE(extracted);
  EXPECT_EQ("Unable to write extraction file " + out + ": error: " + std::strerror(EFBIG),
            reader_.ErrorMessage());
  EXPECT_EQ(image_.files[4].data.substr(0, 2048), ReadFile(out));

  WriteFile(path_, ReadFile(path_).substr(0, 2818 + 1500));  // inner file 4's data is at 2818
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

}  // namespace
