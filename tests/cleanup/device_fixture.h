// Shared pieces of the cleanup's simulator tests: a device with the probe program inside, a
// probe run, the upgrade log without its stamps, and the device's file tree.
#ifndef QX_TESTS_CLEANUP_DEVICE_FIXTURE_H_
#define QX_TESTS_CLEANUP_DEVICE_FIXTURE_H_

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sim/device.h"

namespace qx::cleanup_test {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;

// Every kernel release the platform shipped, as its module directory names it, in the order
// the cleanup checks them.
extern const std::vector<std::string> kListedReleases;

// The commands that the static removal list runs, in order.
extern const std::vector<std::string> kStaticCommands;

// A regular file of size real bytes, modified at mtime when given.
sim::DeviceFile SizedFile(const std::string& path, std::uint64_t size, std::int64_t mtime = -1);

// A file with this content.
sim::DeviceFile ContentFile(const std::string& path, const std::string& content);

// A device without services (nothing else writes while the cleanup runs) holding the probe.
sim::DeviceSpec BaseSpec();

class DeviceTest : public testing::Test {
 protected:
  // Creates the device; fails the test when it cannot.
  std::unique_ptr<sim::Device> Create(sim::DeviceSpec spec);

  // Runs the probe with these commands; fails the test unless it exits with status 0.
  sim::RunResult Probe(sim::Device& device, const std::vector<std::string>& commands);

  // The messages of the upgrade log entries, in order, each with its stamp checked and removed;
  // the first skip lines (written by the test itself) are left out.
  static std::vector<std::string> LogMessages(const sim::Device& device, std::size_t skip = 0);

  // Every path of the device's tree (directories with a trailing "/"), but the parts that the
  // system itself changes (/proc, /sys, /dev, /run and the ramdisk holding the log).
  static std::set<std::string> Tree(const sim::Device& device);

  // Splits the probe's output into its lines.
  static std::vector<std::string> Lines(const std::string& text);
};

}  // namespace qx::cleanup_test

#endif  // QX_TESTS_CLEANUP_DEVICE_FIXTURE_H_
