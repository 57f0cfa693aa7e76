// The run's pure decisions and composed command lines, at the values no end-to-end run reaches
// (those runs pin the usual ones byte for byte). Statuses are raw system() statuses.
#include "driver/run_commands.h"

#include <cstdint>
#include <string>

#include "gtest/gtest.h"

namespace qx::upgrader::driver {
namespace {

TEST(RunCommandsTest, SweepKeepsTheCurrentWindowAndItsNeighboursInUnsignedArithmetic) {
  struct Row {
    std::uint32_t now;
    const char* command;
  };
  const Row kRows[] = {
      {0,
       R"(find /tmp/ -maxdepth 1 -name "ud*" ! -name "ud0*" ! -name "ud4294967295*" ! -name "ud1*" -exec rm -rf {} \;)"},
      {1234567,
       R"(find /tmp/ -maxdepth 1 -name "ud*" ! -name "ud1234*" ! -name "ud1233*" ! -name "ud1235*" -exec rm -rf {} \;)"},
      {4294967295u,
       R"(find /tmp/ -maxdepth 1 -name "ud*" ! -name "ud4294967*" ! -name "ud4294966*" ! -name "ud4294968*" -exec rm -rf {} \;)"},
  };
  for (const Row& row : kRows) EXPECT_EQ(row.command, ComposeSweepCommand(row.now)) << row.now;
}

TEST(RunCommandsTest, WatchdogCommands) {
  struct Row {
    const char* watchdog;
    const char* start;
    const char* kill;  // "": no command
  };
  const Row kRows[] = {
      {"/tmp/wdprog", "/tmp/wdprog &", "pkill -9 wdprog"},
      {"/usr/bin/wd", "/usr/bin/wd &", "pkill -9 bin/wd"},  // five characters go, whatever
      {"/tmp/", "/tmp/ &", "pkill -9 "},                    // no pattern: pkill kills nothing
      {"/tmp", "/tmp &", ""},
      {"", " &", ""},
  };
  for (const Row& row : kRows) {
    EXPECT_EQ(row.start, ComposeWatchdogStartCommand(row.watchdog)) << row.watchdog;
    EXPECT_EQ(row.kill, ComposeWatchdogKillCommand(row.watchdog)) << row.watchdog;
  }
}

TEST(RunCommandsTest, BoardGatePassesOnANonZeroExitCodeByteOnly) {
  struct Row {
    int status;
    bool passes;
  };
  const Row kRows[] = {
      {0x0000, false},   // a line that does not name board 12
      {0x0100, true},    // every line names board 12
      {0xFF00, true},    // exit 255
      {0x0009, false},   // killed by SIGKILL
      {0x10000, false},  // bits above the exit-code byte
      {-1, true},        // no shell at all
  };
  for (const Row& row : kRows) EXPECT_EQ(row.passes, BoardGatePasses(row.status)) << row.status;
}

TEST(RunCommandsTest, OnlyStatusZeroIsASuccessfulValidation) {
  struct Row {
    int status;
    const char* line;
  };
  const Row kRows[] = {
      {0x0000, "Successfully upgraded firmware\n"},
      {0x0100, "Firmware validation failed: validator exit status 1"},
      {0xFF00, "Firmware validation failed: validator exit status 255"},
      {0x0009, "Firmware validation failed: validator killed by signal 9"},
      {0x008B, "Firmware validation failed: validator killed by signal 11"},
      {-1, "Firmware validation failed: validator could not be started"},
  };
  for (const Row& row : kRows) EXPECT_EQ(row.line, ValidatorVerdictLine(row.status)) << row.status;
}

}  // namespace
}  // namespace qx::upgrader::driver
