// udtool end to end: the built binary run by the shell in a scratch directory.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>

#include "gtest/gtest.h"
#include "tests/container/test_support.h"

namespace {

struct Result {
  int status;
  std::string out, err;
};

class UdtoolTest : public ::testing::Test {
 protected:
  // Runs a shell command line in the scratch directory, in the C locale, with udtool on the PATH.
  Result Sh(const std::string& command) {
    const std::string tools = std::filesystem::path(UDTOOL_PATH).parent_path();
    const int status = std::system(("cd " + dir_.path + " && export LC_ALL=C PATH=" + tools +
                                    ":$PATH && { " + command + "\n} >.stdout 2>.stderr")
                                       .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, qx::test::ReadFile(dir_.File(".stdout")),
            qx::test::ReadFile(dir_.File(".stderr"))};
  }

  // ud.bin from five inputs of 0, 1, 1024, 1025 and 3000 bytes, named a to e.
  void CreateSample() {
    const Result r = Sh(
        ": >a && printf x >b && seq 999 | head -c 1024 >c && seq 2 999 | head -c 1025 >d && seq 3 "
        "999 | head -c 3000 >e && udtool create -o ud.bin --upgrade-version 0x0102 --upgrade-name "
        "'KV70 upgrade' --release-name R7 --file-date 20240315 --upgrade-id 4000000000 "
        "--aux-text1 t1 --aux-word 9 a=empty b --aux1 7 --aux2 0xffffffff c=validator d=kernel "
        "e=filesystem.db");
    ASSERT_EQ(0, r.status) << r.err;
  }

  qx::test::TempDir dir_;
};

TEST_F(UdtoolTest, RoundTripCreateInfoExtract) {
  CreateSample();
  const Result info = Sh("udtool info ud.bin --json");
  ASSERT_EQ(0, info.status) << info.err;
  for (const char* expected :
       {"\"valid\": true", "\"error\": null", "\"version\": 258",
        "\"upgrade_name\": \"KV70 upgrade\"", "\"upgrade_id\": 4000000000",
        "\"total_data_size\": 5050", "\"auxiliary_text1\": \"t1\"", "\"auxiliary_word\": 9",
        "{\"index\": 2, \"name\": \"validator\", \"auxiliary_word1\": 7, "
        "\"auxiliary_word2\": 4294967295, \"data_size\": 1024, \"data_offset\": 513,",
        "{\"index\": 4, \"name\": \"filesystem.db\""}) {
    EXPECT_NE(std::string::npos, info.out.find(expected)) << expected << "\n" << info.out;
  }
  const Result text = Sh("udtool info ud.bin");
  EXPECT_EQ("OK\n", text.out.substr(text.out.size() - 3));
  EXPECT_EQ("ud.bin: OK\n", Sh("udtool verify ud.bin").out);
  EXPECT_EQ(
      "0 all/empty\n1 all/b\n2 all/validator\n3 all/kernel\n4 all/filesystem.db\nb\nempty\n"
      "filesystem.db\nkernel\nvalidator\n",
      Sh("udtool extract ud.bin 3 out && cmp d out && udtool extract ud.bin --all all && cmp "
         "e all/filesystem.db && ls all")
          .out);
  const Result r = Sh(
      "udtool extract ud.bin 5 out; echo $?; udtool extract ud.bin two out 2>/dev/null; echo $?");
  EXPECT_EQ("1\n2\n", r.out);
  EXPECT_EQ("udtool: extract: no inner file 5: ud.bin holds 5 (indices 0 to 4)\n", r.err);
}

TEST_F(UdtoolTest, DamagedFilesAreNamedPreciselyAndNothingIsExtracted) {
  CreateSample();
  const std::string good = qx::test::ReadFile(dir_.File("ud.bin"));
  // Inner file 3 ("kernel", 1025 bytes) has its header at 1537 and its data at 1665.
  const std::tuple<std::size_t, bool, std::string> kCases[] = {
      {1665 + 1000, false,
       "Inner header MD5 check failed (inner file 3 \"kernel\", header at offset 1537)"},
      {1537, false, "Unable to parse inner header (inner file 3, header at offset 1537)"},
      {1665 + 10, true,
       "Unable to read bytes (inner file 3 \"kernel\", header at offset 1537, file is 1675 bytes)"},
      {0, false, "Unable to parse header (Header identity failed)"},
  };
  for (const auto& [offset, cut, failure] : kCases) {
    std::string bytes = good.substr(0, cut ? offset : good.size());
    if (!cut) bytes[offset] = static_cast<char>(bytes[offset] ^ 0x10);
    qx::test::WriteFile(dir_.File("ud.bin"), bytes);
    const Result r =
        Sh("udtool verify ud.bin; echo $?; udtool info ud.bin >/dev/null; echo $?; "
           "udtool extract ud.bin 0 x; echo $?");
    EXPECT_EQ("1\n1\n1\n", r.out) << failure;
    EXPECT_EQ("ud.bin: FAILED: " + failure + "\nFAILED: " + failure +
                  "\nudtool: extract: ud.bin: FAILED: " + failure + "; nothing extracted\n",
              r.err);
  }
  EXPECT_EQ("a\nb\nc\nd\ne\nud.bin\n", Sh("ls").out);
}

TEST_F(UdtoolTest, CreateRefusesWhatTheFormatCannotHoldAndLeavesNothing) {
  ASSERT_EQ(0, Sh("printf x >small && truncate -s 4294967040 big").status);  // sparse
  const std::tuple<std::string, int, const char*> kCases[] = {
      {"--upgrade-name " + std::string(33, 'n') + " small", 1,
       "upgrade name is 33 bytes long; its field holds at most 32"},
      {"small=" + std::string(33, 'n'), 1, "name is 33 bytes long"},
      {"small big", 1, "makes the upgrade file larger than 4294967295 bytes"},
      {"--upgrade-version 65536 small", 2, "--upgrade-version takes a number"},
      {"--aux-word ' 1' small", 2, "--aux-word takes a number"},
      {"small --aux1 3", 2, "apply to nothing"},
  };
  for (const auto& [args, status, message] : kCases) {
    SCOPED_TRACE(message);
    const Result r = Sh("udtool create -o out.bin " + args);
    EXPECT_EQ(status, r.status);
    EXPECT_NE(std::string::npos, r.err.find(message)) << r.err;
    EXPECT_EQ("big\nsmall\n", Sh("ls").out);
  }
}

// Names that could leave the directory or clash are replaced; JSON escapes every byte outside
// printable ASCII, so each code point gives back one header byte.
TEST_F(UdtoolTest, UnsafeNamesAreReplacedAndTextsEscaped) {
  ASSERT_EQ(0, Sh("printf 1 >x && udtool create -o ud.bin --upgrade-name 'q\"b\\s\tt\xC3\xA9' "
                  "x=.. x=a/b x=same x=same x= && udtool extract ud.bin --all all")
                   .status);
  EXPECT_EQ("inner-file-0\ninner-file-1\ninner-file-3\ninner-file-4\nsame\n", Sh("ls all").out);
  EXPECT_NE(std::string::npos,
            Sh("udtool info ud.bin --json")
                .out.find("\"upgrade_name\": \"q\\\"b\\\\s\\u0009t\\u00c3\\u00a9\""));
}

}  // namespace
