// EnableAutoStartBinaries and DisableAutoStartBinaries on a simulated router's own /sbin and
// /usr/sbin, through autostart_probe. Every case starts from a fresh device.
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sim/device.h"

namespace {

constexpr const char kProbe[] = "/usr/bin/autostart_probe";

// The three daemons, each binary followed by its disabled name. A state of the six paths is
// written as six characters, '-' for a missing path and otherwise a letter for the content, so
// that a rename can be told from a copy that was there all along ('o': an old copy).
const char* const kPaths[] = {
    "/sbin/qx_monitor", "/sbin/qx_monitor.disabled",
    "/usr/sbin/qxsshd", "/usr/sbin/qxsshd.disabled",
    "/sbin/nvlogger",   "/sbin/nvlogger.disabled",
};

struct Case {
  const char* what;
  const char* before;
  std::vector<std::string> calls;
  const char* output;
  const char* after;
};

void RunCase(const Case& c) {
  SCOPED_TRACE(c.what);
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

TEST(AutoStartBinariesTest, EnableRestoresEachDaemonOnItsOwnAndDisableStopsAtTheFirstFailure) {
  const Case kCases[] = {
      {"all present, nothing to restore", "m-s-n-", {"enable"}, "enable=true\n", "m-s-n-"},
      {"present binaries lose stale copies", "mosono", {"enable"}, "enable=true\n", "m-s-n-"},
      {"all disabled: all renamed back", "-m-s-n", {"enable"}, "enable=true\n", "m-s-n-"},
      {"a missing first one is renamed back", "-ms-n-", {"enable"}, "enable=true\n", "m-s-n-"},
      // qx_monitor dropped from the firmware: its failed restore must not keep the SSH daemon
      // down, and a present nvlogger still loses its stale copy.
      {"failed first restore", "---sno", {"enable"}, "enable=false\n", "--s-n-"},
      {"failed middle restore", "-m---n", {"enable"}, "enable=false\n", "m---n-"},
      {"failed last restore", "m-s---", {"enable"}, "enable=false\n", "m-s---"},
      {"disable all", "m-s-n-", {"disable"}, "disable=true\n", "-m-s-n"},
      {"disable, first missing", "--s-n-", {"disable"}, "disable=false\n", "--s-n-"},
      {"disable, last missing", "m-s---", {"disable"}, "disable=false\n", "-m-s--"},
      {"round trip", "m-s-n-", {"disable", "enable"}, "disable=true\nenable=true\n", "m-s-n-"},
  };
  for (const Case& c : kCases) RunCase(c);
}

}  // namespace
