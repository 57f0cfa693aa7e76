// The interruption matrix behind the README's "What an interruption leaves": the real upgrader
// on simulated routers, killed (SIGKILL, then a power cycle) or its power cut at every shell
// command and at a deterministic sample of its system calls, and failed with ENOSPC and EIO; the
// next run must upgrade, and nothing may go or stay but what a clean run allows. Faults come from
// Debian's strace around the driver process (the driver carries nothing for testing); points from
// one calibration run under strace, its calls labelled with the run's phases as the golden run
// (tests/golden/e7_run.txt) has them. Prints each broken point and the table; --readme FILE fails
// when FILE's table differs (--update rewrites it).
//
// This file: the devices and main. The campaign runs in three steps: calibrate, points, report.
#include "tests/driver/fault_matrix.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "tests/driver/upgrade_run.h"

namespace qx::driver_test::matrix {
namespace {

constexpr std::uint64_t kKiB = 1024, kMiB = 1024 * kKiB, kRotated = 512 * kKiB;

}  // namespace

std::vector<Removable> Removables(bool deep) {
  std::vector<Removable> files = {
      {"/etc/dsl-3.61.img", kMiB, 0, false},  // static list
      {"/usr/bin/msmtp", 256 * kKiB, 0, false},
      {"/lib/modules/2.6.35.3-00108-g29117d2/kernel/net.ko", kMiB, 0, false},
  };
  for (int i = 1; i <= 3; ++i) {
    const std::string n = std::to_string(i);
    files.push_back({"/var/log/messages." + n + ".gz", kRotated, 1700000000 - 300 * i, true});
    files.push_back({"/var/log/sys.log." + n + ".gz", kRotated, 1700000000 - 300 * i - 100, true});
    files.push_back({"/home/logs/log-0000" + n + ".txt.gz", kRotated, 1700000000 + 50 * i, true});
  }
  if (deep) {
    files.push_back({"/usr/bin/rsync", 512 * kKiB, 0, false});   // extra list
    files.push_back({"/var/log/messages", 2 * kMiB, 0, false});  // emptied by stage 6
  }
  return files;
}

std::string KernelImage() {
  std::string kernel(kMiB, '\0');
  for (std::size_t i = 0; i < kernel.size(); ++i) kernel[i] = static_cast<char>((i * 131) >> 3);
  return kernel;
}

const std::string& UpgradeFile() {
  static const std::string file =
      MakeUpgradeFile(UpgradeMembers(CheckingValidatorBody(), KernelImage(), "database\n"));
  return file;
}

std::unique_ptr<Device> MakeDevice(bool deep, std::string& error) {
  qx::sim::DeviceSpec spec;
  spec.root_size = 80 * kMiB;
  AddUpgrader(spec);
  spec.binaries.push_back({kStrace, kStrace});
  spec.directories = {kHarness};
  for (const char* daemon : {"/sbin/qx_monitor", "/usr/sbin/qxsshd.disabled", "/sbin/nvlogger"}) {
    spec.files.push_back({daemon, "#!/bin/sh\n", {}, 0755, {}});
  }
  spec.files.push_back({"/lib/modules/2.6.35.3-00295-gbbbf593/kernel/net.ko", "", {}, 0644, {}});
  spec.files.push_back({kLog, std::string("20240101 00:00:00 - ") + kHistory + "\n", {}, 0644, {}});
  spec.files.push_back({"/var/log/sys.log", "system log\n", {}, 0644, {}});
  spec.files.push_back({kUpgradePath, UpgradeFile(), {}, 0644, {}});
  for (const Removable& file : Removables(deep)) {
    spec.files.push_back({file.path, "", file.size, 0644, file.mtime});
  }
  std::unique_ptr<Device> device = Device::Create(spec, &error);
  // Free space: the 22 MiB the upgrade needs, less static files and modules (2.25 MiB) and 2.5
  // rotated logs (or, deep, all nine, the extra file and half the messages log).
  const std::uint64_t target =
      22 * kMiB - 2304 * kKiB - (deep ? 9 * kRotated + 512 * kKiB + kMiB : 5 * kRotated / 2);
  if (device == nullptr || device->FreeSpace("/") <= target ||
      !device->WriteFile({"/data/ballast", "", device->FreeSpace("/") - target, 0644, {}})) {
    error += " (cannot set the free space)";
    return nullptr;
  }
  return device;
}

// Every path of the root file system (directories with a trailing "/"); mounts and the matrix's
// own directory left out.
namespace {

void Walk(const Device& device, const std::string& dir, std::set<std::string>& out) {
  for (const std::string& name : device.ListDir(dir)) {
    const std::string path = (dir == "/" ? "/" : dir + "/") + name;
    struct stat st {};
    if (path == "/proc" || path == "/sys" || path == "/dev" || path == "/tmp/ramdisk" ||
        path == kHarness || !device.Lstat(path, st)) {
      continue;
    }
    out.insert(S_ISDIR(st.st_mode) ? path + "/" : path);
    if (S_ISDIR(st.st_mode)) Walk(device, path, out);
  }
}

}  // namespace

std::set<std::string> Tree(const Device& device) {
  std::set<std::string> tree;
  Walk(device, "/", tree);
  return tree;
}

std::vector<std::string> StraceArgv(const std::vector<std::string>& options) {
  std::vector<std::string> argv = {kStrace};
  argv.insert(argv.end(), options.begin(), options.end());
  for (const std::string& word : UpgraderArgv({Device::kWatchdogProgram})) argv.push_back(word);
  return argv;
}

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }
bool Starts(const std::string& text, const char* part) { return text.rfind(part, 0) == 0; }

namespace {

int Main(int argc, char** argv) {
  const int jobs =
      6;  // the runs mostly wait (the driver's pause, its commands): more than the cores
  const std::size_t budget = 200;
  const bool update = argc == 4 && std::strcmp(argv[3], "--update") == 0;
  if ((argc != 3 && !update) || std::strcmp(argv[1], "--readme") != 0) {
    std::fprintf(stderr, "usage: driver_fault_matrix --readme FILE [--update]\n");
    return 2;
  }
  const std::string readme = argv[2];
  const auto start = std::chrono::steady_clock::now();
  // Calibrate: the phases from the golden run, then one clean run on each device.
  std::vector<Phase> phases;
  Calibration calibrations[2];
  std::string error;
  bool calibrated = RunPhases(phases, error);
  for (const bool deep : {false, true}) {
    calibrated = calibrated && Calibrate(deep, phases, calibrations[deep], error);
  }
  if (!calibrated) {
    std::fprintf(stderr, "driver_fault_matrix: %s\n", error.c_str());
    return 1;
  }
  // Points: each on a device of its own; then the error runs.
  std::vector<Point> points = ChoosePoints(calibrations[0], phases, false, budget * 9 / 10);
  const std::vector<Point> deep = ChoosePoints(calibrations[1], phases, true, budget / 10);
  points.insert(points.end(), deep.begin(), deep.end());
  const std::map<std::size_t, Outcome> done = RunAll(points, calibrations, jobs);
  int failed = done.size() == points.size() ? 0 : 1;
  for (const auto& [index, o] : done) {
    for (const std::string& failure : o.failures) {
      std::printf("FAILED %s: %s\n", Name(points[index], phases).c_str(), failure.c_str());
      ++failed;
    }
  }
  std::size_t error_runs = 0;
  failed += RunErrorCases(calibrations[0], phases, error_runs);
  // Report.
  const std::string table = Table(points, phases, done);
  std::printf("%s", table.c_str());
  if (!MatchReadme(readme, table, update)) {
    std::printf("FAILED: the table in %s is not the matrix's (--update writes it)\n",
                readme.c_str());
    ++failed;
  }
  std::printf("driver_fault_matrix: %zu interruption points, %zu error runs, %d failures, %.0f s\n",
              points.size(), error_runs, failed,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qx::driver_test::matrix

int main(int argc, char** argv) { return qx::driver_test::matrix::Main(argc, argv); }
