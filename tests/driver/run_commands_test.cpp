// The command lines into which a value enters, pinned byte for byte, and the two status
// decisions of the run. Pure functions: nothing here runs a command.
#include "driver/run_commands.h"

#include <sys/wait.h>

#include <csignal>
#include <cstring>
#include <string>

#include "gtest/gtest.h"

namespace qx::upgrader::driver {
namespace {

TEST(SweepCommandTest, SparesTheCurrentWindowAndItsNeighbours) {
  struct Case {
    std::uint32_t now;
    const char* command;
  };
  const Case kCases[] = {
      {1780000123u,
       "find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud1780000*\" ! -name \"ud1779999*\" "
       "! -name \"ud1780001*\" -exec rm -rf {} \\;"},
      // Window boundaries: 999 is still window 0, and T-1 wraps as a 32-bit value.
      {999u,
       "find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud0*\" ! -name \"ud4294967295*\" "
       "! -name \"ud1*\" -exec rm -rf {} \\;"},
      {1000u,
       "find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud1*\" ! -name \"ud0*\" "
       "! -name \"ud2*\" -exec rm -rf {} \\;"},
      {4294967295u,
       "find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud4294967*\" ! -name \"ud4294966*\" "
       "! -name \"ud4294968*\" -exec rm -rf {} \\;"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.now);
    EXPECT_EQ(c.command, ComposeSweepCommand(c.now));
  }
}

TEST(WatchdogCommandTest, KillNamesTheProcessAfterTheDirectoryPrefix) {
  struct Case {
    const char* watchdog;
    const char* command;  // "" = no pkill at all
  };
  const Case kCases[] = {
      {"/tmp/wdprog", "pkill -9 wdprog"},
      {"/tmp/", "pkill -9 "},  // five characters: no pattern, kills nothing
      {"/tmp", ""},            // too short to name a process: no command
      {"a", ""},
      {"", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.watchdog);
    EXPECT_EQ(c.command, ComposeWatchdogKillCommand(c.watchdog));
  }
}

TEST(BoardGateTest, PassesOnANonZeroExitCodeByteOnly) {
  struct Case {
    const char* what;
    int status;
    bool passes;
  };
  const Case kCases[] = {
      {"grep found a foreign line", 0, false},
      {"every line names board 12", 1 << 8, true},
      {"grep failed", 2 << 8, true},
      {"no shell at all", -1, true},
      {"pipeline killed by a signal", SIGKILL, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.passes, BoardGatePasses(c.status));
  }
}

TEST(ValidatorVerdictTest, OnlyStatusZeroIsASuccess) {
  struct Case {
    int status;
    const char* line;
  };
  const Case kCases[] = {
      {0, "Successfully upgraded firmware\n"},
      {1 << 8, "Firmware validation failed: validator exit status 1"},
      {127 << 8, "Firmware validation failed: validator exit status 127"},
      {SIGKILL, "Firmware validation failed: validator killed by signal 9"},
      {SIGSEGV | 0x80, "Firmware validation failed: validator killed by signal 11"},  // core
      {-1, "Firmware validation failed: validator could not be started"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(c.line, ValidatorVerdictLine(c.status));
  }
}

}  // namespace
}  // namespace qx::upgrader::driver
