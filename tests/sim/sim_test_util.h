// Shared by the simulator's host-side tests.
#ifndef QX_TESTS_SIM_SIM_TEST_UTIL_H_
#define QX_TESTS_SIM_SIM_TEST_UTIL_H_

#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sim/device.h"

namespace qx::sim::testing {

constexpr const char kProbe[] = "/usr/bin/probe";  // sim_probe inside the device

// The spec with the probe copied in.
inline DeviceSpec WithProbe(DeviceSpec spec = {}) {
  spec.binaries.push_back({QX_SIM_PROBE_PATH, kProbe});
  return spec;
}

inline std::unique_ptr<Device> MakeDevice(const DeviceSpec& spec) {
  std::string error;
  std::unique_ptr<Device> device = Device::Create(spec, &error);
  EXPECT_NE(nullptr, device) << error;
  return device;
}

// Runs the commands through system() inside, in order (the probe).
inline RunResult RunCommands(Device& device, const std::vector<std::string>& commands) {
  std::vector<std::string> argv{kProbe};
  argv.insert(argv.end(), commands.begin(), commands.end());
  return device.Run(argv, std::chrono::seconds(30));
}

// One shell command line inside, output returned.
inline std::string Shell(Device& device, const std::string& command) {
  const RunResult result = device.Run({"/bin/sh", "-c", command}, std::chrono::seconds(30));
  EXPECT_TRUE(result.started) << result.error;
  return result.output;
}

}  // namespace qx::sim::testing

#endif  // QX_TESTS_SIM_SIM_TEST_UTIL_H_
