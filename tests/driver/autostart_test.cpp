// EnableAutoStartBinaries and DisableAutoStartBinaries on a simulated router's own /sbin and
// /usr/sbin, through autostart_probe. Every case starts from a fresh device.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sim/device.h"

namespace {

constexpr const char kProbe[] = "/usr/bin/autostart_probe";

// The three daemons' paths, binary and disabled copy. A file's content says where it started,
// so a test can tell a rename from a copy that was there all along.
const char* const kPaths[] = {
    "/sbin/qx_monitor", "/sbin/qx_monitor.disabled",
    "/usr/sbin/qxsshd", "/usr/sbin/qxsshd.disabled",
    "/sbin/nvlogger",   "/sbin/nvlogger.disabled",
};

using FileSet = std::map<std::string, std::string>;  // path -> content; absent paths missing

struct Case {
  const char* what;
  FileSet before;
  std::vector<std::string> calls;
  const char* output;
  FileSet after;
};

FileSet DaemonFiles(const qx::sim::Device& device) {
  FileSet files;
  for (const char* path : kPaths) {
    std::string content;
    if (device.ReadFile(path, content)) files[path] = content;
  }
  return files;
}

void RunCase(const Case& c) {
  SCOPED_TRACE(c.what);
  qx::sim::DeviceSpec spec;
  spec.start_services = false;
  spec.binaries.push_back({QX_AUTOSTART_PROBE, kProbe});
  for (const auto& [path, content] : c.before) spec.files.push_back({path, content, {}, 0755, {}});
  std::string error;
  const std::unique_ptr<qx::sim::Device> device = qx::sim::Device::Create(spec, &error);
  ASSERT_NE(nullptr, device) << error;
  std::vector<std::string> argv = {kProbe};
  argv.insert(argv.end(), c.calls.begin(), c.calls.end());
  const qx::sim::RunResult result = device->Run(argv);
  ASSERT_TRUE(result.started) << result.error;
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(0, result.exit_status) << result.output;
  EXPECT_EQ(c.output, result.output);
  EXPECT_EQ(c.after, DaemonFiles(*device));
  EXPECT_TRUE(result.trace.empty()) << "auto-start control runs no shell command";
}

const FileSet kAllPresent = {
    {"/sbin/qx_monitor", "mon"}, {"/usr/sbin/qxsshd", "ssh"}, {"/sbin/nvlogger", "nvl"}};
const FileSet kAllDisabled = {{"/sbin/qx_monitor.disabled", "mon"},
                              {"/usr/sbin/qxsshd.disabled", "ssh"},
                              {"/sbin/nvlogger.disabled", "nvl"}};

TEST(EnableAutoStartBinariesTest, RestoresEachDaemonOnItsOwn) {
  const Case kCases[] = {
      {"all present, no disabled copies: nothing renamed",
       kAllPresent,
       {"enable"},
       "enable=true\n",
       kAllPresent},
      {"present binaries lose their stale disabled copies",
       {{"/sbin/qx_monitor", "mon"},
        {"/sbin/qx_monitor.disabled", "old"},
        {"/usr/sbin/qxsshd", "ssh"},
        {"/usr/sbin/qxsshd.disabled", "old"},
        {"/sbin/nvlogger", "nvl"},
        {"/sbin/nvlogger.disabled", "old"}},
       {"enable"},
       "enable=true\n",
       kAllPresent},
      {"all three disabled: all renamed back",
       kAllDisabled,
       {"enable"},
       "enable=true\n",
       kAllPresent},
      {"missing qx_monitor is renamed back",
       {{"/sbin/qx_monitor.disabled", "mon"},
        {"/usr/sbin/qxsshd", "ssh"},
        {"/sbin/nvlogger", "nvl"}},
       {"enable"},
       "enable=true\n",
       kAllPresent},
      // qx_monitor dropped from the firmware: its failed restore must not keep the SSH daemon
      // down, and a present nvlogger still loses its stale copy.
      {"failed first restore leaves the others to their own fate",
       {{"/usr/sbin/qxsshd.disabled", "ssh"},
        {"/sbin/nvlogger", "nvl"},
        {"/sbin/nvlogger.disabled", "old"}},
       {"enable"},
       "enable=false\n",
       {{"/usr/sbin/qxsshd", "ssh"}, {"/sbin/nvlogger", "nvl"}}},
      {"failed middle restore, last one still restored",
       {{"/sbin/qx_monitor.disabled", "mon"}, {"/sbin/nvlogger.disabled", "nvl"}},
       {"enable"},
       "enable=false\n",
       {{"/sbin/qx_monitor", "mon"}, {"/sbin/nvlogger", "nvl"}}},
      {"failed last restore",
       {{"/sbin/qx_monitor", "mon"}, {"/usr/sbin/qxsshd", "ssh"}},
       {"enable"},
       "enable=false\n",
       {{"/sbin/qx_monitor", "mon"}, {"/usr/sbin/qxsshd", "ssh"}}},
  };
  for (const Case& c : kCases) RunCase(c);
}

TEST(DisableAutoStartBinariesTest, RenamesAsideUntilTheFirstFailure) {
  const Case kCases[] = {
      {"all present: all renamed aside", kAllPresent, {"disable"}, "disable=true\n", kAllDisabled},
      {"qx_monitor missing: nothing renamed",
       {{"/usr/sbin/qxsshd", "ssh"}, {"/sbin/nvlogger", "nvl"}},
       {"disable"},
       "disable=false\n",
       {{"/usr/sbin/qxsshd", "ssh"}, {"/sbin/nvlogger", "nvl"}}},
      {"nvlogger missing: the first two renamed",
       {{"/sbin/qx_monitor", "mon"}, {"/usr/sbin/qxsshd", "ssh"}},
       {"disable"},
       "disable=false\n",
       {{"/sbin/qx_monitor.disabled", "mon"}, {"/usr/sbin/qxsshd.disabled", "ssh"}}},
      {"disable then enable is a round trip",
       kAllPresent,
       {"disable", "enable"},
       "disable=true\nenable=true\n",
       kAllPresent},
  };
  for (const Case& c : kCases) RunCase(c);
}

}  // namespace
