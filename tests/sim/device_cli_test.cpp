// device-sim as a person uses it: help, clear usage errors, and the report of a run.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "gtest/gtest.h"

namespace {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and error
};

Outcome DeviceSim(const std::string& arguments) {
  Outcome outcome;
  FILE* pipe = ::popen((std::string(QX_DEVICE_SIM_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
  const int raw = ::pclose(pipe);
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return outcome;
}

TEST(DeviceCliTest, HelpDocumentsEveryOption) {
  const Outcome help = DeviceSim("run --help");
  EXPECT_EQ(0, help.status);
  for (const char* option :
       {"--root-size", "--ramdisk-size", "--kernel", "--kernel-banner", "--proc-version", "--board",
        "--no-board", "--no-services", "--copy", "--file", "--fill", "--dir", "--symlink",
        "--timeout", "--env", "--cwd", "--quiet"}) {
    EXPECT_NE(std::string::npos, help.output.find(option)) << option;
  }
  EXPECT_EQ(0, DeviceSim("--help").status);
  EXPECT_EQ(0, DeviceSim("shell --help").status);
}

TEST(DeviceCliTest, BadOptionsGiveAClearErrorAndStatusTwo) {
  struct Case {
    const char* arguments;
    const char* message;
  };
  const Case kCases[] = {
      {"", "usage: device-sim COMMAND"},
      {"frobnicate", "device-sim: unknown command \"frobnicate\""},
      {"run --root-size lots -- /bin/true", "--root-size lots: expected a size"},
      {"run --proc-version maybe -- /bin/true", "expected banner, unreadable or absent"},
      {"run --file relative=x -- /bin/true", "--file relative=x: expected /DEVICE_PATH=CONTENT"},
      {"run --timeout", "--timeout needs a value"},
      {"run --bogus -- /bin/true", "run: unknown option --bogus"},
      {"run", "run: no COMMAND given"},
      {"shell --bogus", "shell: unknown option --bogus"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.arguments);
    const Outcome outcome = DeviceSim(c.arguments);
    EXPECT_EQ(2, outcome.status);
    EXPECT_NE(std::string::npos, outcome.output.find(c.message)) << outcome.output;
  }
}

TEST(DeviceCliTest, RunReportsOutputTraceServicesRebootAndStatus) {
  const Outcome run = DeviceSim(
      "run --board 13 --file /etc/note=hi -- /bin/sh -c "
      "'cat /etc/note; cat /sys/kernel/qxfc/board; pkill -SIGINT service-manager; exit 4'");
  EXPECT_EQ(4, run.status);
  EXPECT_EQ(0u, run.output.find("hi13\n--- trace (1 command lines run through /bin/sh -c)\n[1] "))
      << run.output;
  EXPECT_NE(std::string::npos, run.output.find("service-manager  killed by SIGINT\n"));
  EXPECT_NE(std::string::npos, run.output.find("qx_monitor       running\n"));
  EXPECT_NE(std::string::npos, run.output.find("--- exit status 4\n"));
  const Outcome quiet = DeviceSim("run --quiet --timeout 0.3 -- /bin/sleep 10");
  EXPECT_EQ(124, quiet.status);
  EXPECT_NE(std::string::npos, quiet.output.find("timed out after 0.3 s"));
  EXPECT_EQ(127, DeviceSim("run --quiet -- /no/such/program").status);
}

}  // namespace
