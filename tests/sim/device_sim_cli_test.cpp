// device-sim as an engineer uses it: its command lines, what `upgrade` refuses, and what its
// report shows of a run. Every case runs the real device-sim binary.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "sim/host/router_profile.h"
#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

struct SplitOutcome {
  int status = -1;  // -1: did not exit (killed by the 30 s alarm: it hung)
  std::string out;
  std::string err;
};

// device-sim with its standard output and error kept apart.
SplitOutcome RunSim(std::vector<std::string> args) {
  args.insert(args.begin(), QX_DEVICE_SIM_PATH);
  const int err = ::memfd_create("err", 0);
  const ProgramOutcome run = RunProgram(args, [&] {
    ::dup2(err, 2);
    ::alarm(30);
  });
  std::string text;
  char buffer[4096];
  ::lseek(err, 0, SEEK_SET);
  for (ssize_t n; (n = ::read(err, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(err);
  return {run.status, run.output, text};
}

// An upgrade file in the private /tmp whose validator is the shell script given.
std::string UpgradeFile(const std::string& name, const std::string& validator) {
  std::ofstream("/tmp/fs-validator") << "#!/bin/sh\n" << validator;
  return UpgradeFileWith(name, "/tmp/fs-validator", "kernel", "database");
}

// Bad inputs are refused at once with status 2, nothing on standard output and one line naming
// the cause on standard error, before any device is made; --help and --version answer on
// standard output, and `run` leaves COMMAND's own options alone, with or without "--".
TEST(CommandLineTest, AnswersOnTheRightStreamWithTheRightStatus) {
  EnterPrivateTmp();
  ASSERT_EQ(0, ::mkdir("/tmp/ud-dir", 0755));
  ASSERT_EQ(0, ::mkfifo("/tmp/ud-fifo", 0644));
  const std::string f = UpgradeFile("cli", "exit 0\n");
  const struct {
    std::vector<std::string> args;
    int status;
    const char* out;  // expected in standard output ("" for none at all)
    const char* err;  // expected in standard error ("" for none at all)
  } kCases[] = {
      {{"upgrade", "/tmp/ud-dir"}, 2, "", "/tmp/ud-dir: is a directory\n"},
      {{"upgrade", "/tmp/ud-fifo"}, 2, "", ": not a regular file (FIFO)\n"},
      {{"upgrade", "/tmp/ud-none"}, 2, "", "/tmp/ud-none: No such file or directory\n"},
      {{"upgrade", "--bogus", f}, 2, "", "unknown option '--bogus'\nusage: device-sim upgrade"},
      {{"run", "-x", "--", "/bin/true"}, 2, "", "run: unknown option '-x'\nusage: device-sim run"},
      {{"--bogus"}, 2, "", "unknown option '--bogus'\nusage:"},
      {{"upgrade", "--timeout=abc", f}, 2, "", "--timeout abc: expected seconds"},
      {{"upgrade", "--json=yes", f}, 2, "", "option '--json' takes no value"},
      {{"upgrade", f, "--timeout"}, 2, "", "option '--timeout' needs a value"},
      {{}, 2, "", "usage: device-sim COMMAND"},
      {{"upgrade", "--upgrader", "/x", f}, 2, "", "upgrader /x: No such file or directory\n"},
      {{"run", "--quiet", "--no-services", "--", "true"}, 0, "", ""},  // COMMAND found in $PATH
      {{"run", "-q", "/bin/echo", "-n", "--quiet"}, 0, "--quiet", ""},
      {{"run", "--quiet", "--", "/bin/echo", "--x"}, 0, "--x\n", ""},
      {{"--version"}, 0, "device-sim " QX_VERSION "\n", ""},
      {{"upgrade", "-V"}, 0, "device-sim " QX_VERSION "\n", ""},
      {{"run", "-qh"}, 0, "usage: device-sim run", ""},
  };
  for (const auto& c : kCases) {
    const SplitOutcome run = RunSim(c.args);
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(c.status, run.status) << run.out << run.err;
    for (const auto& [expected, got] : {std::pair{c.out, run.out}, {c.err, run.err}}) {
      if (*expected == '\0') {
        EXPECT_EQ("", got);
      } else {
        EXPECT_NE(std::string::npos, got.find(expected)) << got;
      }
    }
  }
}

// The validator's standard output and error (its own commands' included, nothing else of the
// run's) reach the text, its terminal escapes made visible, and the JSON intact; the labels say
// what happened: the files were extracted, the validator failed, the reboot was issued.
TEST(UpgradeReportTest, ShowsTheValidatorsOutputAndWhatHappened) {
  EnterPrivateTmp();
  const std::string file =
      UpgradeFile("talk",
                  "echo \"checked $1\"\nsh -c 'echo sub-command'\n"
                  "printf 'bad magic\\033]0;qx-owned\\007\\033[2J\\r\\n' >&2\nexit 3\n");
  const SplitOutcome text = RunSim({"upgrade", file});
  EXPECT_EQ(1, text.status) << text.err;
  for (const std::string& expected : std::vector<std::string>{
           "\nchecked " + std::string(router::kStagedKernel) + "\n",
           "\nbad magic^[]0;qx-owned^G^[[2J^M\n",
           "exit status:      1 (late exit: files extracted)\n", "validator:        FAILED\n",
           "verdict:          " + std::string(router::kValidationFailedPrefix) + "exit status 3\n",
           "reboot command:   issued: " + std::string(router::kRebootCommand) + "\n"}) {
    EXPECT_NE(std::string::npos, text.out.find(expected)) << expected << "\n" << text.out;
  }
  EXPECT_EQ(std::string::npos, text.out.find('\x1b')) << "a terminal escape in the report";
  // A fresh device has no /var/log/upgrade_log for the run's first `mv`: not the validator's.
  EXPECT_EQ(std::string::npos, text.out.find("can't rename")) << text.out;
  const SplitOutcome json = RunSim({"upgrade", "--json", file});
  EXPECT_EQ(1, json.status) << json.err;
  for (const std::string& expected : std::vector<std::string>{
           "\"output_of\":\"validator\",\"stdout\":\"checked " +
               std::string(router::kStagedKernel) + "\\nsub-command\\n\"",
           "\"stderr\":\"bad magic\\u001b]0;qx-owned\\u0007\\u001b[2J\\u000d\\n\"",
           "\"state\":\"FAILED\""}) {
    EXPECT_NE(std::string::npos, json.out.find(expected)) << expected << "\n" << json.out;
  }
}

// --follow shows the log's lines while the run goes on (the banner arrives while the validator
// sleeps), to the last line of a run that ends, and the log read after the run follows them; a
// run that does not end in time exits 124 as `run` does, with labels that say so.
TEST(UpgradeReportTest, FollowShowsTheLogLiveToItsEndOrTheTimeout) {
  EnterPrivateTmp();
  struct Row {
    const char* name;
    const char* validator;
    const char* timeout;
    int status;
    const char* live;  // a line shown before the log read after the run
    std::vector<const char*> labels;
  };
  const Row kRows[] = {
      {"follow", "sleep 8\nexit 0\n", "300", 0, router::kUpgradedLine, {}},
      {"slow",
       "sleep 60\n",
       "5",
       124,
       router::kBannerLine,
       {"exit status:      none: timed out after 5 s;",
        "validator:        did not finish (timed out after 5 s)\n"}},
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    const std::string file = UpgradeFile(row.name, row.validator);
    int fds[2];
    ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
    Child child([&] {
      ::dup2(fds[1], 1);
      ::execl(QX_DEVICE_SIM_PATH, "device-sim", "upgrade", "--follow", "--timeout", row.timeout,
              file.c_str(), nullptr);
      ::_exit(127);
    });
    ::close(fds[1]);
    OutputReader output(fds[0]);
    const bool banner = output.WaitFor(router::kBannerLine, std::chrono::seconds(20));
    EXPECT_TRUE(child.Alive()) << "the banner came only after the run:\n" << output.seen();
    EXPECT_TRUE(banner) << output.seen();
    const std::string& all = output.ReadToEnd();
    ::close(fds[0]);
    const int status = child.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == row.status) << all;
    EXPECT_LT(all.find(row.live), all.find("== upgrade log (")) << all;
    for (const char* label : row.labels) EXPECT_NE(std::string::npos, all.find(label)) << all;
  }
}

}  // namespace
}  // namespace qx::sim::testing
