#include "container/upgrade_file_information.h"

#include <array>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/container/test_support.h"

namespace {

namespace format = qx::upgradeFile::format;
using qx::test::ClearLog;
using qx::test::LoggedLines;
using qx::upgradeFile::InnerFileInformation;
using qx::upgradeFile::UpgradeFileInformation;
using Header = std::array<unsigned char, format::kHeaderBytes>;
using Lines = std::vector<std::string>;

Header SampleUpgradeHeader() {
  qx::udtool::UpgradeHeaderFields fields;
  fields.version = 0x0102;
  fields.upgrade_name = "KV70 field upgrade";
  fields.release_name = "R7.1";
  fields.file_date = "20240315";
  fields.upgrade_id = 4000000000u;
  fields.auxiliary_text1 = "aux-one";
  fields.auxiliary_text2 = "aux-two!";
  fields.auxiliary_word = 0xA1B2C3D4u;
  return qx::udtool::EncodeUpgradeHeader(fields, 123456);
}

const Lines kSampleLines = {"Version 258", "Upgrade Name: KV70 field upgrade", "Release Name: R7.1",
                            "File Date: 20240315", "Upgrade ID: 4000000000"};

// Rewrites the header digest after the test changed the hashed bytes on purpose.
void Redigest(Header& header) {
  md5_state state;
  md5_init(&state);
  md5_append(&state, header.data(), static_cast<int>(format::kHashedHeaderBytes));
  md5_finish(&state, header.data() + format::kUpgradeDigest.offset);
}

class UpgradeFileInformationTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearLog(); }
};

TEST_F(UpgradeFileInformationTest, ParsesEveryFieldAndLogsFiveLines) {
  const Header header = SampleUpgradeHeader();
  std::vector<unsigned char> longer(header.begin(), header.end());
  longer.resize(300, 0xEE);  // bytes after the first 128 are ignored
  UpgradeFileInformation info;
  ASSERT_TRUE(info.ParseHeader(longer.data(), static_cast<unsigned int>(longer.size())));
  EXPECT_TRUE(info.Valid());
  EXPECT_EQ(0x0102, info.Version());
  EXPECT_EQ("KV70 field upgrade", info.UpgradeName());
  EXPECT_EQ("R7.1", info.ReleaseName());
  EXPECT_EQ("20240315", info.FileDate());
  EXPECT_EQ(4000000000u, info.UpgradeId());
  EXPECT_EQ("aux-one", info.AuxiliaryText1());
  EXPECT_EQ("aux-two!", info.AuxiliaryText2());
  EXPECT_EQ(0xA1B2C3D4u, info.AuxiliaryWord());
  EXPECT_EQ(123456u, info.FileSize());
  EXPECT_EQ(128u, info.HeaderSize());
  EXPECT_EQ(kSampleLines, LoggedLines());
  EXPECT_EQ("", info.ErrorMessage());
}

TEST_F(UpgradeFileInformationTest, ShortBufferFailsWithoutLogging) {
  const Header header = SampleUpgradeHeader();
  UpgradeFileInformation info;
  EXPECT_FALSE(info.ParseHeader(header.data(), 127));
  EXPECT_EQ("Buffer is smaller than header size", info.ErrorMessage());
  EXPECT_TRUE(LoggedLines().empty());
  EXPECT_EQ(0u, info.FileSize());
}

TEST_F(UpgradeFileInformationTest, WrongIdentityFailsWithoutLoggingOrParsing) {
  struct Case {
    const char* what;
    std::size_t offset;
    std::vector<unsigned char> bytes;
  };
  const std::vector<Case> kCases = {
      {"lower-case u first", 0, {'u'}},
      {"lower-case u last", 5, {'u'}},
      {"byte-swapped middle", 1, {0xEF, 0xBE, 0xAD, 0xDE}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ClearLog();
    Header header = SampleUpgradeHeader();
    std::copy(c.bytes.begin(), c.bytes.end(), header.begin() + static_cast<long>(c.offset));
    Redigest(header);  // only the identity is wrong
    UpgradeFileInformation info;
    EXPECT_FALSE(info.ParseHeader(header.data(), 128));
    EXPECT_EQ("Header identity failed", info.ErrorMessage());
    EXPECT_TRUE(LoggedLines().empty());
    EXPECT_EQ("", info.UpgradeName());
    EXPECT_EQ(0u, info.FileSize());
  }
}

TEST_F(UpgradeFileInformationTest, AnyChangedByteAfterTheIdentityFailsTheDigestAfterLogging) {
  for (std::size_t offset = 6; offset < format::kHeaderBytes; ++offset) {
    SCOPED_TRACE(offset);
    ClearLog();
    Header header = SampleUpgradeHeader();
    header[offset] ^= 0x20;
    UpgradeFileInformation info;
    EXPECT_FALSE(info.ParseHeader(header.data(), 128));
    EXPECT_EQ("Header MD5 check failed", info.ErrorMessage());
    EXPECT_EQ(5u, LoggedLines().size());
    EXPECT_FALSE(info.Valid());
  }
}

TEST_F(UpgradeFileInformationTest, DigestFailureKeepsParsedFieldsAndEarlierValidFlag) {
  UpgradeFileInformation info;
  Header header = SampleUpgradeHeader();
  ASSERT_TRUE(info.ParseHeader(header.data(), 128));
  header[format::kUpgradeReserved.offset] = 1;  // uninterpreted, yet covered by the digest
  EXPECT_FALSE(info.ParseHeader(header.data(), 128));
  EXPECT_EQ("Header MD5 check failed", info.ErrorMessage());
  EXPECT_TRUE(info.Valid());
  EXPECT_EQ(123456u, info.FileSize());
  // A later success does not clear the earlier message.
  EXPECT_TRUE(info.ParseHeader(SampleUpgradeHeader().data(), 128));
  EXPECT_EQ("Header MD5 check failed", info.ErrorMessage());
}

TEST_F(UpgradeFileInformationTest, TextsEndAtTheirFirstNulOrFillTheirField) {
  struct Case {
    const char* what;
    std::string upgrade_name;
    std::string release_name;
    std::string expected_name;
    Lines expected_lines;  // lines 1 and 2 (upgrade and release name)
  };
  const std::vector<Case> kCases = {
      {"full field",
       std::string(32, 'N'),
       "R",
       std::string(32, 'N'),
       {"Upgrade Name: " + std::string(32, 'N'), "Release Name: R"}},
      {"NUL at byte 3",
       std::string("abc\0hidden", 10),
       "",
       "abc",
       {"Upgrade Name: abc", "Release Name: "}},
      {"blanks kept",
       "  spaced  ",
       "\xC3\xA9t\xC3\xA9",
       "  spaced  ",
       {"Upgrade Name:   spaced  ", "Release Name: \xC3\xA9t\xC3\xA9"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ClearLog();
    qx::udtool::UpgradeHeaderFields fields;
    fields.upgrade_name = c.upgrade_name;
    fields.release_name = c.release_name;
    const Header header = qx::udtool::EncodeUpgradeHeader(fields, 0);
    UpgradeFileInformation info;
    ASSERT_TRUE(info.ParseHeader(header.data(), 128));
    EXPECT_EQ(c.expected_name, info.UpgradeName());
    const Lines expected = {"Version 0", c.expected_lines[0], c.expected_lines[1],
                            "File Date: ", "Upgrade ID: 0"};
    EXPECT_EQ(expected, LoggedLines());
  }
}

Header SampleInnerHeader() {
  auto spec = qx::udtool::InnerFileSpec::FromData(std::string("kernel\0pad", 10), "");
  spec.auxiliary_word1 = 0x01020304u;
  spec.auxiliary_word2 = 0xFFFFFFFFu;
  Header header = qx::udtool::EncodeInnerHeader(spec, 0x00ABCDEFu);
  for (unsigned int i = 0; i < format::kDigestBytes; ++i) {
    header[format::kInnerDigest.offset + i] = static_cast<unsigned char>(0xA0 + i);
  }
  return header;
}

TEST(InnerFileInformationTest, ParsesFieldsWithoutLoggingOrRejectsWithoutChanging) {
  ClearLog();
  const Header good = SampleInnerHeader();
  InnerFileInformation info;
  EXPECT_FALSE(info.ParseHeader(good.data(), 127));
  EXPECT_EQ("Buffer is smaller than header size", info.ErrorMessage());
  for (std::size_t offset = 0; offset < format::kInnerIdentity.size; ++offset) {
    SCOPED_TRACE(offset);
    Header header = good;
    header[offset] ^= 0x01;
    EXPECT_FALSE(info.ParseHeader(header.data(), 128));
    EXPECT_EQ("Internal file header identity failed", info.ErrorMessage());
    EXPECT_EQ(0u, info.FileSize());
  }
  ASSERT_TRUE(info.ParseHeader(good.data(), 128));
  EXPECT_EQ(0x01020304u, info.AuxiliaryWord1());
  EXPECT_EQ(0xFFFFFFFFu, info.AuxiliaryWord2());
  EXPECT_EQ(0x00ABCDEFu, info.FileSize());
  EXPECT_EQ("kernel", info.Name());  // cut at its first NUL
  EXPECT_TRUE(LoggedLines().empty());
}

TEST(InnerFileInformationTest, ValidateMD5HashNeedsSixteenMatchingBytes) {
  InnerFileInformation info;
  const Header header = SampleInnerHeader();
  ASSERT_TRUE(info.ParseHeader(header.data(), 128));
  unsigned char digest[20];
  std::copy(header.begin() + format::kInnerDigest.offset, header.end(), digest);
  digest[16] = digest[17] = digest[18] = digest[19] = 0x55;  // beyond the 16 compared bytes
  EXPECT_TRUE(info.ValidateMD5Hash(digest, 16));
  EXPECT_TRUE(info.ValidateMD5Hash(digest, 20));
  EXPECT_FALSE(info.ValidateMD5Hash(digest, 15));
  for (unsigned int i = 0; i < 16; ++i) {
    SCOPED_TRACE(i);
    digest[i] ^= 0x80;
    EXPECT_FALSE(info.ValidateMD5Hash(digest, 16));
    digest[i] ^= 0x80;
  }
}

}  // namespace
