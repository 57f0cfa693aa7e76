// udtool end to end: the built binary run by the shell in a scratch directory.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>

#include "gtest/gtest.h"
#include "tests/container/test_support.h"
#include "tools/upgrade_file_writer.h"

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

  // ud.bin from five inputs of 0, 1, 1024, 1025 and 3000 bytes, named a to e; c, inner file 2,
  // is a script, as the router's validator must be.
  void CreateSample() {
    const Result r =
        Sh(": >a && printf x >b && { echo '#!/bin/sh'; seq 999; } | head -c 1024 >c && "
           "seq 2 999 | head -c 1025 >d && seq 3 999 | head -c 3000 >e && udtool create -o ud.bin "
           "--upgrade-version 0x0102 --upgrade-name 'KV70 upgrade' --release-name R7 --file-date "
           "20240315 --upgrade-id 4000000000 --aux-text1 t1 --aux-word 9 a=empty b --aux1 7 --aux2 "
           "0xffffffff c=validator d=kernel e=filesystem.db");
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
  // The payload MD5 is what md5sum says of the source; the record digest covers the header too.
  const std::string c_md5 = Sh("md5sum c").out.substr(0, 32);
  EXPECT_NE(std::string::npos, info.out.find("\"payload_md5\": \"" + c_md5 + "\"")) << c_md5;
  EXPECT_NE(std::string::npos, info.out.find("\"trailing_bytes\": 0\n")) << info.out;
  const Result text = Sh("udtool info ud.bin");
  EXPECT_NE(std::string::npos, text.out.find(" " + c_md5 + "\n3 ")) << text.out;
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

// Bad inputs, by command: each is refused with its cause on standard error and its status, and
// leaves the scratch directory as it was (no temporary file, no output, the input unchanged).
TEST_F(UdtoolTest, BadInputsAreRefusedWithTheirCauseAndChangeNothing) {
  CreateSample();
  ASSERT_EQ(0, Sh("printf 1 >x && mkfifo fifo && mkdir dir full pipes && : >full/kernel && "
                  "mkfifo pipes/validator && "
                  "udtool create -o two.bin a b && udtool create -o noexec.bin a b e d c && "
                  "ln ud.bin hard && cp ud.bin ud.orig")
                   .status);
  // The cause (the start of standard error) and the status of each.
  const std::tuple<const char*, int, const char*> kCases[] = {
      {"create -o new.bin dir/", 2, "udtool create: 'dir/' gives an empty inner file name\n"},
      {"create -o new.bin x=../../etc/evil", 2, "udtool create: inner file name '../../etc/evil'"},
      {"create -o new.bin x=..", 2, "udtool create: inner file name '..' holds '/' or '..'\n"},
      {"create -o ud.bin x", 1, "udtool: create: ud.bin exists; give --force to overwrite it;"},
      {"create -f -o x x", 1, "udtool: create: cannot write x: it is the input file (same"},
      {"create -o new.bin fifo", 1, "udtool: create: cannot read fifo: not a regular file (FIFO)"},
      {"create -o new.bin x a=empty", 1,
       "udtool: create: inner file 1 (empty) is empty and follows the last inner file with data"},
      {"create -o dir x", 1, "udtool: create: cannot write dir: is a directory; nothing written\n"},
      {"create x -o", 2, "udtool create: option '-o' needs a value\n"},
      {"info /dev/null", 1, "udtool: info: cannot read /dev/null: not a regular file (character"},
      {"verify two.bin", 3, "two.bin: REFUSED: the router refuses it: Unable to extract files"},
      {"verify noexec.bin", 3, "noexec.bin: REFUSED: the router cannot run its validator: inner"},
      {"info --json=yes ud.bin", 2, "udtool info: option '--json' takes no value\nusage: udtool"},
      {"verify -q ud.bin", 2, "udtool verify: unknown option '-q'\nusage: udtool verify FILE\n"},
      {"extract -f ud.bin 3 hard", 1, "udtool: extract: cannot write hard: it is the input file"},
      {"extract ud.bin --all full", 1, "udtool: extract: full/kernel exists; give --force to"},
      {"extract ud.bin --all pipes", 1,
       "udtool: extract: cannot write pipes/validator: it exists and is not a regular file;"},
      {"extract ud.bin dir", 2, "udtool extract: give FILE INDEX OUT or --all FILE DIR\n"},
      {"--bogus", 2, "udtool: unknown option '--bogus'\nusage: udtool COMMAND [ARGS]"},
  };
  const std::string before = Sh("ls -a . full pipes").out;
  for (const auto& [command, status, message] : kCases) {
    SCOPED_TRACE(command);
    const Result r = Sh(std::string("udtool ") + command);
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(message, r.err.substr(0, std::string(message).size()));
    EXPECT_EQ(before, Sh("ls -a . full pipes").out);
    EXPECT_EQ(0, Sh("cmp ud.bin ud.orig && test \"$(cat x)\" = 1").status);
    Sh("cp ud.orig ud.bin && printf 1 >x");
  }
}

// Pipes and standard streams on both sides; outputs that are not regular files are written in
// place and stay what they were.
TEST_F(UdtoolTest, StreamsAndDevicesAreReadAndWrittenInPlace) {
  CreateSample();
  EXPECT_EQ("-: OK\n", Sh("cat ud.bin | udtool verify -").out);
  EXPECT_NE(std::string::npos, Sh("mkdir dir; udtool info --json dir")
                                   .out.find("\"error\": \"cannot read dir: is a directory\""));
  const Result warned = Sh("{ cat ud.bin; printf junk; } >t.bin && udtool verify t.bin");
  EXPECT_EQ("t.bin: OK\n", warned.out);
  EXPECT_EQ(
      "udtool: verify: t.bin: warning: 4 bytes after the last inner file (no digest covers them; "
      "the router never reads them)\n",
      warned.err);
  // Each succeeds only with the right bytes in the right place. Into a link to this process's
  // standard output (as /dev/stdout is) and a FIFO; to a pipe (the digests first), create writes
  // the file that it writes to a regular file.
  for (const char* command :
       {"cat ud.bin | udtool extract - 3 - | cmp - d",
        "mkfifo in && { timeout 20 cat ud.bin >in & } && udtool extract in 4 out && cmp out e",
        "ln -s /proc/self/fd/1 so && udtool extract ud.bin 3 so | cmp - d && test -L so",
        "mkfifo f && { timeout 20 cat f >got & } && udtool extract ud.bin 3 f && wait && cmp got d "
        "&& test -p f",
        "udtool create -o s.bin a b c d e && udtool create -o - a b c d e | cmp - s.bin"}) {
    EXPECT_EQ(0, Sh(command).status) << command;
  }
}

// "--option=value", "--" before an operand that starts with a dash, bundled short options.
TEST_F(UdtoolTest, OptionsFollowTheCommonConventions) {
  CreateSample();
  const Result r = Sh(
      "printf x >-dash && udtool create --output=o.bin --upgrade-name=N1 -- -dash && udtool info "
      "--json o.bin | grep -o 'N1\\|\"-dash\"' && udtool extract -fa ud.bin all | wc -l && "
      "udtool extract -af ud.bin all | wc -l");
  EXPECT_EQ("N1\n\"-dash\"\n5\n5\n", r.out);
  EXPECT_EQ("", r.err);
}

// Temporary files go with the run that a signal ends; a failed extraction of every inner file
// leaves none of them, and its error names the output, not the temporary file.
TEST_F(UdtoolTest, InterruptedOrFailedRunsLeaveNothing) {
  CreateSample();
  const std::string kWaitForTemporary =
      " & p=$!; for i in $(seq 1000); do ls -a . | grep -q '^\\.udtool-' && break; sleep 0.01; "
      "done; kill -";
  ASSERT_EQ(0, Sh("truncate -s 128M big").status);  // sparse
  const std::string before = Sh("ls -a").out;
  for (const char* signal : {"INT", "TERM", "HUP"}) {
    EXPECT_EQ(0, Sh("udtool create -o big.bin a b c d big" + kWaitForTemporary + signal +
                    " $p; wait $p; test $? -gt 128")
                     .status);
    EXPECT_EQ(before, Sh("ls -a").out) << signal;
  }
  ASSERT_EQ(0, Sh("udtool create -o big.bin a b c d big").status);
  EXPECT_EQ(0, Sh("udtool extract big.bin --all all" + kWaitForTemporary +
                  "INT $p; wait $p; test $? -gt 128")
                   .status);
  const Result full = Sh("(trap '' XFSZ; ulimit -f 4; exec udtool extract ud.bin --all all)");
  EXPECT_EQ(1, full.status);
  EXPECT_NE(std::string::npos, full.err.find(": cannot write all/")) << full.err;
  EXPECT_NE(std::string::npos, full.err.find("File too large; nothing extracted")) << full.err;
  EXPECT_EQ(before + "big.bin\n", Sh("ls -a | grep -v '^big.bin$'; echo big.bin").out);
}

// On a terminal, a run longer than a second shows how far it got.
TEST_F(UdtoolTest, LongRunsShowProgressOnATerminal) {
  CreateSample();
  if (Sh("command -v script").status != 0) GTEST_SKIP() << "no script(1) for a terminal";
  if (Sh("test -c /dev/ptmx && test -d /dev/pts && script -qec true /dev/null").status != 0)
    GTEST_SKIP() << "no pseudo-terminals (/dev/pts not mounted)";
  const Result r =
      Sh("script -qec '{ head -c 100 ud.bin; sleep 2; tail -c +101 ud.bin; } | udtool verify -' "
         "/dev/null");
  EXPECT_NE(std::string::npos, r.out.find("\rudtool: verify: read -: 0 MiB")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("-: OK")) << r.out;
}

// Names that could leave the directory or clash are replaced (files from elsewhere may hold
// them, although create refuses them); JSON escapes every byte outside printable ASCII, so each
// code point gives back one header byte.
TEST_F(UdtoolTest, UnsafeNamesAreReplacedAndTextsEscaped) {
  qx::udtool::UpgradeImage image;
  image.header.upgrade_name = "q\"b\\s\tt\xC3\xA9";
  for (const char* name : {"..", "a/b", "same", "same", "", "."}) {
    image.files.push_back(qx::udtool::InnerFileSpec::FromData(name, "1"));
  }
  std::string bytes, error;
  ASSERT_TRUE(qx::udtool::BuildUpgradeFile(image, bytes, error)) << error;
  qx::test::WriteFile(dir_.File("ud.bin"), bytes);
  ASSERT_EQ(0, Sh("udtool extract ud.bin --all all").status);
  EXPECT_EQ("inner-file-0\ninner-file-1\ninner-file-3\ninner-file-4\ninner-file-5\nsame\n",
            Sh("ls all").out);
  EXPECT_NE(std::string::npos,
            Sh("udtool info ud.bin --json")
                .out.find("\"upgrade_name\": \"q\\\"b\\\\s\\u0009t\\u00c3\\u00a9\""));
}

}  // namespace
