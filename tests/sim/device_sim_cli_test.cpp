// device-sim as an engineer uses it: its command lines, what `upgrade` refuses, and what its
// report shows of a run. Every case runs the real device-sim binary.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "sim/host/router_profile.h"
#include "tests/sim/sim_test_util.h"

namespace qx::sim::testing {
namespace {

// The binary under test; QX_TEST_DEVICE_SIM may name another build's to compare.
std::string Sim() {
  const char* other = std::getenv("QX_TEST_DEVICE_SIM");
  return other != nullptr ? other : QX_DEVICE_SIM_PATH;
}

struct SplitOutcome {
  int status = -1;  // -1: did not exit (killed by the 30 s alarm: it hung)
  std::string out;
  std::string err;
};

// device-sim with its standard output and error kept apart.
SplitOutcome RunSim(std::vector<std::string> args) {
  args.insert(args.begin(), Sim());
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

struct CommandLineCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* out;  // expected in standard output ("" for none at all)
  const char* err;  // expected in standard error ("" for none at all)
};

void PrintTo(const CommandLineCase& test, std::ostream* out) { *out << test.name; }

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

// Bad inputs are refused at once, with one line naming the cause on standard error, before
// any device is made; --help and --version answer on standard output.
TEST_P(CommandLineTest, AnswersOnTheRightStreamWithTheRightStatus) {
  EnterPrivateTmp();
  ASSERT_EQ(0, ::mkdir("/tmp/ud-dir", 0755));
  ASSERT_EQ(0, ::mkfifo("/tmp/ud-fifo", 0644));
  const std::string file = UpgradeFile("cli", "exit 0\n");
  std::vector<std::string> args = GetParam().args;
  for (std::string& arg : args) {
    if (arg == "FILE") arg = file;
  }
  const SplitOutcome run = RunSim(args);
  EXPECT_EQ(GetParam().status, run.status) << run.out << run.err;
  for (const auto& [expected, got] :
       {std::pair{GetParam().out, run.out}, {GetParam().err, run.err}}) {
    if (*expected == '\0') {
      EXPECT_EQ("", got);
    } else {
      EXPECT_NE(std::string::npos, got.find(expected)) << got;
    }
  }
}

// A command line refused with status 2, nothing on standard output and err on standard error.
CommandLineCase Refused(const char* name, std::vector<std::string> args, const char* err) {
  return {name, std::move(args), 2, "", err};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTest,
    ::testing::Values(
        Refused("directory", {"upgrade", "/tmp/ud-dir"}, "/tmp/ud-dir: is a directory\n"),
        Refused("fifo", {"upgrade", "/tmp/ud-fifo"}, ": not a regular file (FIFO)\n"),
        Refused("dev_zero", {"upgrade", "/dev/zero"}, "not a regular file (character device)\n"),
        Refused("missing", {"upgrade", "/tmp/ud-none"},
                "/tmp/ud-none: No such file or directory\n"),
        Refused("unknown_long", {"upgrade", "--bogus", "FILE"},
                "upgrade: unknown option '--bogus'\nusage: device-sim upgrade"),
        Refused("unknown_short", {"run", "-x", "--", "/bin/true"},
                "run: unknown option '-x'\nusage: device-sim run"),
        Refused("unknown_top", {"--bogus"}, "unknown option '--bogus'\nusage:"),
        Refused("value_after_equals", {"upgrade", "--timeout=abc", "FILE"},
                "--timeout abc: expected seconds"),
        Refused("flag_with_value", {"upgrade", "--json=yes", "FILE"},
                "option '--json' takes no value"),
        Refused("missing_value", {"upgrade", "FILE", "--timeout"},
                "option '--timeout' needs a value"),
        Refused("no_command", {}, "usage: device-sim COMMAND"),
        Refused("upgrader_missing", {"upgrade", "--upgrader", "/tmp/no-upgrader", "FILE"},
                "cannot run the upgrader /tmp/no-upgrader: No such file or directory\n"),
        CommandLineCase{
            "name_in_path", {"run", "--quiet", "--no-services", "--", "true"}, 0, "", ""},
        CommandLineCase{"version", {"--version"}, 0, "device-sim " QX_VERSION "\n", ""},
        CommandLineCase{"upgrade_version", {"upgrade", "-V"}, 0, "device-sim " QX_VERSION "\n", ""},
        CommandLineCase{"run_help_combined", {"run", "-qh"}, 0, "usage: device-sim run", ""},
        CommandLineCase{"upgrade_help", {"upgrade", "--help"}, 0, "(default 300)", ""}),
    [](const auto& test) { return std::string(test.param.name); });

// `run` leaves COMMAND's own options alone, with or without "--".
TEST(RunCommandLineTest, OptionsEndAtTheCommand) {
  const ProgramOutcome plain = RunProgram({Sim(), "run", "-q", "/bin/echo", "-n", "--quiet"});
  EXPECT_EQ(0, plain.status);
  EXPECT_EQ("--quiet", plain.output);
  const ProgramOutcome dashes = RunProgram({Sim(), "run", "--quiet", "--", "/bin/echo", "--x"});
  EXPECT_EQ("--x\n", dashes.output);
}

// The validator's standard output and error (its own commands' included, nothing else of the
// run's) reach the text and the JSON, and the labels say what happened: the files were
// extracted, the validator failed, the reboot was issued.
TEST(UpgradeReportTest, ShowsTheValidatorsOutputAndWhatHappened) {
  EnterPrivateTmp();
  const std::string file = UpgradeFile(
      "talk", "echo \"checked $1\"\nsh -c 'echo sub-command'\necho 'bad magic' >&2\nexit 3\n");
  const SplitOutcome text = RunSim({"upgrade", file});
  EXPECT_EQ(1, text.status) << text.err;
  for (const std::string& expected : std::vector<std::string>{
           "\nchecked " + std::string(router::kStagedKernel) + "\n", "\nbad magic\n",
           "exit status:      1 (late exit: files extracted)\n", "validator:        FAILED\n",
           "verdict:          " + std::string(router::kValidationFailedPrefix) + "exit status 3\n",
           "reboot command:   issued: " + std::string(router::kRebootCommand) + "\n"}) {
    EXPECT_NE(std::string::npos, text.out.find(expected)) << expected << "\n" << text.out;
  }
  // A fresh device has no /var/log/upgrade_log for the run's first `mv`: not the validator's.
  EXPECT_EQ(std::string::npos, text.out.find("can't rename")) << text.out;
  const SplitOutcome json = RunSim({"upgrade", "--json", file});
  EXPECT_EQ(1, json.status) << json.err;
  for (const std::string& expected : std::vector<std::string>{
           "\"output_of\":\"validator\",\"stdout\":\"checked " +
               std::string(router::kStagedKernel) + "\\nsub-command\\n\"",
           "\"stderr\":\"bad magic\\n\"", "\"extraction\":\"done\"", "\"state\":\"FAILED\"",
           "\"reboot_command\":\"" + std::string(router::kRebootCommand) + "\"",
           "\"power_cut\":null}"}) {
    EXPECT_NE(std::string::npos, json.out.find(expected)) << expected << "\n" << json.out;
  }
}

// A run that does not end in time: exit 124 as `run` does, and labels that say so.
TEST(UpgradeReportTest, TimeoutExits124AndSaysTheValidatorDidNotFinish) {
  EnterPrivateTmp();
  const SplitOutcome run = RunSim({"upgrade", "--timeout", "3", UpgradeFile("slow", "sleep 60\n")});
  EXPECT_EQ(124, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.out.find("exit status:      none: timed out after 3 s"))
      << run.out;
  EXPECT_NE(std::string::npos,
            run.out.find("validator:        did not finish (timed out after 3 s)"))
      << run.out;
}

// --follow shows the log's lines while the run still goes on: the banner arrives while the
// validator sleeps.
TEST(UpgradeFollowTest, PrintsLogLinesWhileTheRunGoesOn) {
  EnterPrivateTmp();
  const std::string file = UpgradeFile("follow", "sleep 8\nexit 0\n");
  int fds[2];
  ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
  const std::string sim = Sim();
  Child child([&] {
    ::dup2(fds[1], 1);
    ::execl(sim.c_str(), sim.c_str(), "upgrade", "--follow", file.c_str(), nullptr);
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
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << all;
  // The live lines come first, the log read after the run follows them.
  EXPECT_LT(all.find(router::kUpgradedLine), all.find("== upgrade log (")) << all;
}

}  // namespace
}  // namespace qx::sim::testing
