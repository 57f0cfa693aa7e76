// The interruption matrix in its parts: the simulated routers it runs on (fault_matrix.cpp), the
// calibration that labels each of the driver's calls with the phase of the run it falls in
// (fault_matrix_calibrate.cpp), the points and error runs (fault_matrix_points.cpp) and the
// table that sums them up (fault_matrix_report.cpp).
#ifndef QX_TESTS_DRIVER_FAULT_MATRIX_H_
#define QX_TESTS_DRIVER_FAULT_MATRIX_H_

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/host/device.h"
#include "tests/driver/golden_run.h"

namespace qx::driver_test::matrix {

using qx::sim::Device;

constexpr const char kStrace[] = "/usr/bin/strace";
constexpr const char kHarness[] = "/harness";  // the matrix's own files, never compared
constexpr const char kUpgradePath[] = "/tmp/ramdisk/ud1780000123.bin";
constexpr const char kLog[] = "/var/log/upgrade_log";
constexpr const char kHistory[] = "an earlier upgrade's line";

// --- the device (fault_matrix.cpp)

// Files that each cleanup stage may remove. The main device has room again during stage 4; the
// deep one only after stage 6.
struct Removable {
  std::string path;
  std::uint64_t size;
  std::int64_t mtime;
  bool rotated;
};

std::vector<Removable> Removables(bool deep);
std::string KernelImage();
const std::string& UpgradeFile();
std::unique_ptr<Device> MakeDevice(bool deep, std::string& error);
// Every path of the root file system (directories with a trailing "/"); mounts and the matrix's
// own directory left out.
std::set<std::string> Tree(const Device& device);
std::vector<std::string> StraceArgv(const std::vector<std::string>& options);

bool Has(const std::string& text, const char* part);
bool Starts(const std::string& text, const char* part);

// --- calibration (fault_matrix_calibrate.cpp)

// A phase of the run, as the golden run has it: its tag there ("E3.2"), and its label from the
// driver's exit table and the cleanup's stage numbers ("E3 stage 2").
struct Phase {
  std::string tag;
  std::string label;     // with the golden run's description
  int stage = 0;         // the cleanup stage; 0 outside the cleanup
  GoldenItem begins;     // the item that begins it
  bool reached = false;  // by the reference run; a phase it does not reach may be skipped
};

// The golden run's phases, checked against the driver's exits and the cleanup's stages.
bool RunPhases(std::vector<Phase>& phases, std::string& error);

// The phases whose points run on the deep device: the cleanup stages that only it reaches.
bool DeepPhase(const Phase& phase);

struct Call {
  std::string name;
  std::string line;  // strace's whole line
  int occurrence;    // among the calls of this name, from 1 (strace's "when")
  std::size_t phase;
};

struct Calibration {
  std::vector<Call> calls;
  std::string spawn;      // the call that starts each shell command
  std::size_t first = 0;  // main's first call: the run's claim
  std::size_t clean_rotated_removed = 0;
};

// One clean run under strace, its calls labelled with their phases.
bool Calibrate(bool deep, const std::vector<Phase>& phases, Calibration& out, std::string& error);

// --- points and error runs (fault_matrix_points.cpp)

enum class Cut { kKill, kPower };

struct Point {
  std::string syscall;
  int occurrence;
  std::size_t phase;
  bool deep;
  Cut cut;
};

// What a point showed, as bits of the table's columns.
enum Seen {
  kLeftMarker = 1 << 0,
  kLeftStaging = 1 << 1,
  kLeftRemovals = 1 << 2,
  kLeftNoLog = 1 << 3,
  kNextStale = 1 << 8,
  kNextFinishes = 1 << 9,
  kNextMarker = 1 << 10,
  kLostHistory = 1 << 16,
};

struct Outcome {
  int seen = 0;
  std::vector<std::string> failures;
};

std::vector<Point> ChoosePoints(const Calibration& calibration, const std::vector<Phase>& phases,
                                bool deep, std::size_t budget);
// Every point on its own device, `jobs` devices at a time.
std::map<std::size_t, Outcome> RunAll(const std::vector<Point>& points,
                                      const Calibration* calibrations, int jobs);
// The error runs: each kind of failed call with ENOSPC and EIO; prints each failure, returns
// their number and the number of runs.
int RunErrorCases(const Calibration& calibration, const std::vector<Phase>& phases,
                  std::size_t& runs);

// --- report (fault_matrix_report.cpp)

std::string Name(const Point& point, const std::vector<Phase>& phases);
std::string Table(const std::vector<Point>& points, const std::vector<Phase>& phases,
                  const std::map<std::size_t, Outcome>& done);
// Compares README's table (between the markers) with the matrix's, or writes it there.
bool MatchReadme(const std::string& readme, const std::string& table, bool update);

}  // namespace qx::driver_test::matrix

#endif  // QX_TESTS_DRIVER_FAULT_MATRIX_H_
