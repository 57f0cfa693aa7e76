// Peak resident memory of an upgrader during complete upgrade runs in the simulated router:
// the upgrader's own peak (or, behind an emulator, the emulator process's, which holds the
// emulated program's memory), taken at its exit by qx-peak-rss (peak_rss_wrapper.cpp) inside
// the device. The shell commands the run starts are not counted.
//
//   qx_peak_memory UPGRADER [LAUNCHER [OPTION...]]
//
// UPGRADER is the host path of the upgrader to measure; LAUNCHER, if given, the host path of
// an emulator (qemu-arm-static) copied into the device and put before the upgrader, with the
// OPTIONs (say, -cpu arm926) between them. Runs, on a
// fresh device each: the upgrader without an argument (exit E1: the process and, under an
// emulator, the emulator itself, with no upgrade work: the baseline), then successful upgrades
// (exit E7) of 1 MB and 20 MB, then the worst file for the reader's table: the most inner files
// that fit a 25 MiB ramdisk, all empty but the last five, so that every one is walked (exit E5,
// at the reader's bound). Prints one line per run and the differences; exits 1 if a run did not
// end as expected. Needs root, like every simulator run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "sim/host/device.h"
#include "sim/host/router_profile.h"
#include "tests/support/upgrade_files.h"

namespace {

using qx::sim::router::kUpgrader;
using qx::sim::router::kUpgraderLauncher;
using qx::test::kUpgradeFilePath;
constexpr const char kDeviceWrapper[] = "/usr/bin/qx-peak-rss";
constexpr const char kDeviceFigure[] = "/qx-peak-rss.kib";

struct Subject {
  std::string upgrader;
  std::string launcher;  // empty: runs natively
  std::vector<std::string> options;
};

std::string UpgradeOf1MB() { return qx::test::RandomUpgradeFile(1u << 20); }
std::string UpgradeOf20MB() { return qx::test::RandomUpgradeFile(20u << 20); }

std::string MostInnerFilesIn25MiB() {
  const auto upgrade =
      qx::test::UpgradeMembers(qx::test::CheckingValidatorBody(), "kernel", "database");
  std::size_t size = 128;
  for (const auto& member : upgrade) size += 128 + member.data.size();
  std::vector<qx::test::Member> members;
  for (; size + 128 <= (25u << 20); size += 128) members.push_back({"", ""});
  members.insert(members.end(), upgrade.begin(), upgrade.end());
  return qx::test::MakeUpgradeFile(members);
}

// One run on a fresh device; the peak in KiB, or -1 (with the reason printed).
long MeasureRun(const Subject& subject, const std::string& upgrade, int expected_status) {
  qx::sim::DeviceSpec spec;
  spec.binaries.push_back({QX_PEAK_RSS_WRAPPER, kDeviceWrapper});
  spec.binaries.push_back({subject.upgrader, kUpgrader});
  std::vector<std::string> argv = {kDeviceWrapper, kDeviceFigure};
  if (!subject.launcher.empty()) {
    spec.binaries.push_back({subject.launcher, kUpgraderLauncher});
    argv.push_back(kUpgraderLauncher);
    argv.insert(argv.end(), subject.options.begin(), subject.options.end());
  }
  argv.push_back(kUpgrader);
  if (!upgrade.empty()) {
    spec.files.push_back({kUpgradeFilePath, upgrade, {}, 0644, {}});
    argv.push_back(qx::sim::Device::kWatchdogProgram);
  }
  std::string error;
  const std::unique_ptr<qx::sim::Device> device = qx::sim::Device::Create(spec, &error);
  if (device == nullptr) {
    std::fprintf(stderr, "peak memory: device: %s\n", error.c_str());
    return -1;
  }
  const qx::sim::RunResult result = device->Run(argv, std::chrono::seconds(300));
  if (!result.exited || result.exit_status != expected_status) {
    std::fprintf(stderr, "peak memory: run did not exit with %d: %s%s\n", expected_status,
                 result.error.c_str(), result.output.c_str());
    return -1;
  }
  std::string figure;
  if (!device->ReadFile(kDeviceFigure, figure) || figure.empty()) {
    std::fprintf(stderr, "peak memory: no figure: %s\n", result.output.c_str());
    return -1;
  }
  return std::strtol(figure.c_str(), nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s UPGRADER [LAUNCHER [OPTION...]]\n", argv[0]);
    return 2;
  }
  const Subject subject{argv[1], argc >= 3 ? argv[2] : "",
                        std::vector<std::string>(argv + std::min(argc, 3), argv + argc)};
  struct Case {
    const char* name;
    std::string (*upgrade)();  // nullptr: no upgrade file and no argument (exit E1)
    int expected_status;
  };
  constexpr Case kCases[] = {{"E1, no argument (baseline)", nullptr, 0},
                             {"E7, 1 MB upgrade", UpgradeOf1MB, 1},
                             {"E7, 20 MB upgrade", UpgradeOf20MB, 1},
                             {"E5, 200k inner files", MostInnerFilesIn25MiB, 0}};
  std::string under = subject.launcher.empty() ? "" : " under " + subject.launcher;
  for (const std::string& option : subject.options) under += " " + option;
  std::printf("peak resident memory of %s%s\n", subject.upgrader.c_str(), under.c_str());
  long peaks[4] = {};
  for (std::size_t i = 0; i < 4; ++i) {
    const std::string upgrade = kCases[i].upgrade != nullptr ? kCases[i].upgrade() : "";
    peaks[i] = MeasureRun(subject, upgrade, kCases[i].expected_status);
    if (peaks[i] < 0) return 1;
    std::printf("  %-28s %8ld KiB\n", kCases[i].name, peaks[i]);
  }
  std::printf("  %-28s %8ld KiB\n", "20 MB run over baseline", peaks[2] - peaks[0]);
  std::printf("  %-28s %8ld KiB\n", "20 MB run over 1 MB run", peaks[2] - peaks[1]);
  return 0;
}
