// EnableAutoStartBinaries and DisableAutoStartBinaries on a simulated router's own /sbin and
// /usr/sbin, through autostart_probe, from a fresh device each.
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sim/host/device.h"

namespace {

constexpr const char kProbe[] = "/usr/bin/autostart_probe";

// A state of these six paths is six characters: '-' for a missing path, else its content's
// letter, so that a rename can be told from an old copy ('o') that was there all along.
const char* const kPaths[] = {
    "/sbin/qx_monitor", "/sbin/qx_monitor.disabled",
    "/usr/sbin/qxsshd", "/usr/sbin/qxsshd.disabled",
    "/sbin/nvlogger",   "/sbin/nvlogger.disabled",
};

TEST(AutoStartBinariesTest, EnableRestoresEachDaemonOnItsOwnAndDisableStopsAtTheFirstFailure) {
  struct Case {
    const char* before;
    std::vector<std::string> calls;
    const char* output;
    const char* after;
  };
  const Case kCases[] = {
      // A present binary loses its old copy, a disabled one is renamed back.
      {"mo-sn-", {"enable"}, "enable=true\n", "m-s-n-"},
      // qx_monitor dropped from the firmware: its failed restore keeps no other daemon down, and
      // disabling stops at it.
      {"---sno", {"enable", "disable"}, "enable=false\ndisable=false\n", "--s-n-"},
      {"m-s-n-", {"disable"}, "disable=true\n", "-m-s-n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.before);
    qx::sim::DeviceSpec spec;
    spec.start_services = false;
    spec.binaries.push_back({QX_AUTOSTART_PROBE, kProbe});
    for (int i = 0; i < 6; ++i) {
      if (c.before[i] != '-') spec.files.push_back({kPaths[i], {c.before[i]}, {}, 0755, {}});
    }
    std::string error;
    const std::unique_ptr<qx::sim::Device> device = qx::sim::Device::Create(spec, &error);
    ASSERT_NE(nullptr, device) << error;
    std::vector<std::string> argv = {kProbe};
    argv.insert(argv.end(), c.calls.begin(), c.calls.end());
    const qx::sim::RunResult result = device->Run(argv);
    ASSERT_TRUE(result.exited && result.exit_status == 0) << result.error << result.output;
    EXPECT_EQ(c.output, result.output);
    std::string after;
    for (const char* path : kPaths) {
      std::string content;
      after += device->ReadFile(path, content) ? content : "-";
    }
    EXPECT_EQ(c.after, after);
    EXPECT_TRUE(result.trace.empty()) << "auto-start control runs no shell command";
  }
}

}  // namespace
