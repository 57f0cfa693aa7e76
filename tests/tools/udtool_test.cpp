// udtool end to end: the built binary run on files in a scratch directory.
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/container/test_support.h"

namespace {

using qx::test::ReadFile;
using qx::test::TempDir;
using qx::test::WriteFile;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class UdtoolTest : public ::testing::Test {
 protected:
  Result Run(const std::vector<std::string>& args) {
    const std::string out = dir_.File(".stdout");
    const std::string err = dir_.File(".stderr");
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(out_fd, 1);
      ::dup2(err_fd, 2);
      std::vector<char*> argv = {const_cast<char*>(UDTOOL_PATH)};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      ::execv(UDTOOL_PATH, argv.data());
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    Result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
  }

  // Five host files of sizes 0, 1, 1024, 1025 and 3000 bytes, named a to e.
  std::vector<std::string> MakeInputs() {
    std::vector<std::string> paths;
    const std::size_t sizes[] = {0, 1, 1024, 1025, 3000};
    for (std::size_t i = 0; i < 5; ++i) {
      std::string data(sizes[i], '\0');
      for (std::size_t j = 0; j < data.size(); ++j) data[j] = static_cast<char>(j * 13 + i);
      paths.push_back(dir_.File(std::string(1, static_cast<char>('a' + i))));
      WriteFile(paths.back(), data);
    }
    return paths;
  }

  std::string CreateSample() {
    const std::vector<std::string> in = MakeInputs();
    const std::string out = dir_.File("ud-sample.bin");
    const Result r = Run({"create",
                          "-o",
                          out,
                          "--upgrade-version",
                          "0x0102",
                          "--upgrade-name",
                          "KV70 upgrade",
                          "--release-name",
                          "R7",
                          "--file-date",
                          "20240315",
                          "--upgrade-id",
                          "4000000000",
                          "--aux-text1",
                          "t1",
                          "--aux-word",
                          "9",
                          in[0] + "=empty",
                          in[1],
                          "--aux1",
                          "7",
                          "--aux2",
                          "0xffffffff",
                          in[2] + "=validator",
                          in[3] + "=kernel",
                          in[4] + "=filesystem.db"});
    EXPECT_EQ(0, r.status) << r.err;
    return out;
  }

  // Names in the scratch directory, dot files (the captured output) left out.
  std::vector<std::string> Listing(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    while (dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name != ".stdout" && name != ".stderr") {
        names.push_back(name);
      }
    }
    if (dir != nullptr) ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
};

TEST_F(UdtoolTest, RoundTripCreateInfoExtract) {
  const std::string file = CreateSample();
  const Result info = Run({"info", file, "--json"});
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
  const Result text = Run({"info", file});
  EXPECT_EQ(0, text.status);
  EXPECT_EQ("OK\n", text.out.substr(text.out.size() - 3));

  const std::vector<std::string> in = MakeInputs();
  for (int index = 0; index < 5; ++index) {
    SCOPED_TRACE(index);
    const std::string out = dir_.File("out" + std::to_string(index));
    EXPECT_EQ(0, Run({"extract", file, std::to_string(index), out}).status);
    EXPECT_EQ(ReadFile(in[static_cast<std::size_t>(index)]), ReadFile(out));
  }
  const Result all = Run({"extract", file, "--all", dir_.File("all")});
  ASSERT_EQ(0, all.status) << all.err;
  const std::vector<std::string> names = {"b", "empty", "filesystem.db", "kernel", "validator"};
  EXPECT_EQ(names, Listing(dir_.File("all")));
  EXPECT_EQ(ReadFile(in[3]), ReadFile(dir_.File("all/kernel")));
  EXPECT_EQ(file + ": OK\n", Run({"verify", file}).out);
}

TEST_F(UdtoolTest, DamagedFilesAreNamedPrecisely) {
  const std::string file = CreateSample();
  const std::string good = ReadFile(file);
  struct Case {
    const char* what;
    std::size_t offset;  // byte flipped; past the end: cut the file there instead
    std::size_t cut;
    std::string failure;
  };
  // Inner file 3 ("kernel", 1025 bytes) has its header at 1537 and its data at 1665.
  const Case kCases[] = {
      {"data byte", 1665 + 1000, 0,
       "Inner header MD5 check failed (inner file 3 \"kernel\", header at offset 1537)"},
      {"header digest", 120, 0, "Unable to parse header (Header MD5 check failed)"},
      {"identity", 0, 0, "Unable to parse header (Header identity failed)"},
      {"inner identity", 1537, 0,
       "Unable to parse inner header (inner file 3, header at offset 1537)"},
      {"cut in data", 0, 1665 + 10,
       "Unable to read bytes (inner file 3 \"kernel\", header at offset 1537, file is 1675 bytes)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::string bytes = good;
    if (c.cut != 0) {
      bytes.resize(c.cut);
    } else {
      bytes[c.offset] = static_cast<char>(bytes[c.offset] ^ 0x10);
    }
    WriteFile(file, bytes);
    const Result verify = Run({"verify", file});
    EXPECT_EQ(1, verify.status);
    EXPECT_EQ("", verify.out);
    EXPECT_EQ(file + ": FAILED: " + c.failure + "\n", verify.err);
    const Result info = Run({"info", file});
    EXPECT_EQ(1, info.status);
    EXPECT_EQ("FAILED: " + c.failure + "\n", info.err);
    const Result extract = Run({"extract", file, "0", dir_.File("x")});
    EXPECT_EQ(1, extract.status);
    EXPECT_NE(std::string::npos, extract.err.find("nothing extracted"));
  }
  const std::vector<std::string> untouched = {"a", "b", "c", "d", "e", "ud-sample.bin"};
  EXPECT_EQ(untouched, Listing(dir_.Path()));
}

TEST_F(UdtoolTest, CreateRefusesWhatTheFormatCannotHoldAndLeavesNothing) {
  const std::string big = dir_.File("big");
  const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(0, ::ftruncate(fd, 0xFFFFFF00LL));  // sparse: costs no space
  ::close(fd);
  WriteFile(dir_.File("small"), "x");
  const std::string out = dir_.File("out.bin");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const std::string small = dir_.File("small");
  const Case kCases[] = {
      {{"--upgrade-name", std::string(33, 'n'), small},
       1,
       "upgrade name is 33 bytes long; its field holds at most 32"},
      {{small + "=" + std::string(33, 'n')}, 1, "name is 33 bytes long"},
      {{small, big}, 1, "makes the upgrade file larger than 4294967295 bytes"},
      {{"--upgrade-version", "65536", small}, 2, "--upgrade-version takes a number"},
      {{dir_.File("missing")}, 1, "cannot read"},
      {{}, 2, "no inner files"},
      {{small, "--aux1", "3"}, 2, "apply to nothing"},
  };

  for (const Case& c : kCases) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> args = {"create", "-o", out};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Run(args);
    EXPECT_EQ(c.status, r.status);
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    EXPECT_EQ(std::vector<std::string>({"big", "small"}), Listing(dir_.Path()));
  }
}

TEST_F(UdtoolTest, EveryCommandHasHelpAndRejectsBadUsage) {
  for (const char* command : {"create", "info", "verify", "extract"}) {
    SCOPED_TRACE(command);
    const Result help = Run({command, "--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.find(std::string("usage: udtool ") + command));
    const Result bad = Run({command});
    EXPECT_EQ(2, bad.status);
    EXPECT_EQ("", bad.out);
    EXPECT_NE(std::string::npos, bad.err.find("--help"));
  }
  EXPECT_EQ(0, Run({"--help"}).status);
  EXPECT_EQ(2, Run({"frobnicate"}).status);
  EXPECT_EQ(2, Run({}).status);
}

TEST_F(UdtoolTest, ExtractChecksIndexAndReplacesLinksInsteadOfFollowing) {
  const std::string file = CreateSample();
  const Result r = Run({"extract", file, "5", dir_.File("out")});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("holds 5 (indices 0 to 4)"));
  EXPECT_EQ(2, Run({"extract", file, "two", dir_.File("out")}).status);

  WriteFile(dir_.File("precious"), "keep");
  ASSERT_EQ(0, ::symlink(dir_.File("precious").c_str(), dir_.File("link").c_str()));
  EXPECT_EQ(0, Run({"extract", file, "1", dir_.File("link")}).status);
  EXPECT_EQ("keep", ReadFile(dir_.File("precious")));
  EXPECT_EQ(ReadFile(dir_.File("b")), ReadFile(dir_.File("link")));
}

TEST_F(UdtoolTest, UnsafeOrRepeatedNamesAreReplacedInExtractAll) {
  WriteFile(dir_.File("x"), "1");
  const std::string file = dir_.File("ud-names.bin");
  ASSERT_EQ(0, Run({"create", "-o", file, dir_.File("x") + "=..", dir_.File("x") + "=a/b",
                    dir_.File("x") + "=same", dir_.File("x") + "=same", dir_.File("x") + "="})
                   .status);
  ASSERT_EQ(0, Run({"extract", file, "--all", dir_.File("all")}).status);
  const std::vector<std::string> names = {"inner-file-0", "inner-file-1", "inner-file-3",
                                          "inner-file-4", "same"};
  EXPECT_EQ(names, Listing(dir_.File("all")));
}

TEST_F(UdtoolTest, JsonEscapesEveryByteOutsidePrintableAscii) {
  WriteFile(dir_.File("x"), "1");
  const std::string file = dir_.File("ud-json.bin");
  ASSERT_EQ(
      0, Run({"create", "-o", file, "--upgrade-name", "q\"b\\s\tt\xC3\xA9", dir_.File("x") + "=n"})
             .status);
  const Result r = Run({"info", file, "--json"});
  EXPECT_NE(std::string::npos,
            r.out.find("\"upgrade_name\": \"q\\\"b\\\\s\\u0009t\\u00c3\\u00a9\""))
      << r.out;
}

}  // namespace
