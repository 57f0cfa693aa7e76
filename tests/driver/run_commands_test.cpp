// The run's pure decisions at the values no end-to-end run reaches (those runs pin every command
// line and the usual statuses byte for byte).
#include "driver/run_commands.h"

#include <csignal>

#include "gtest/gtest.h"

namespace qx::upgrader::driver {
namespace {

TEST(RunCommandsTest, WatchdogKillNeedsTheDirectoryPrefix) {
  EXPECT_EQ("pkill -9 ", ComposeWatchdogKillCommand("/tmp/"));  // no pattern: kills nothing
  EXPECT_EQ("", ComposeWatchdogKillCommand("/tmp"));            // no command at all
}

TEST(RunCommandsTest, BoardGatePassesOnANonZeroExitCodeByteOnly) {
  EXPECT_TRUE(BoardGatePasses(2 << 8));           // grep failed
  EXPECT_FALSE(BoardGatePasses(SIGSEGV | 0x80));  // killed, core dumped
  EXPECT_TRUE(BoardGatePasses(-1));               // no shell at all
}

TEST(RunCommandsTest, AValidatorThatCouldNotBeStartedIsNoSuccess) {
  EXPECT_EQ("Firmware validation failed: validator could not be started", ValidatorVerdictLine(-1));
}

}  // namespace
}  // namespace qx::upgrader::driver
