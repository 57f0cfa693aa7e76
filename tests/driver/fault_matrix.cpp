// The interruption matrix behind the README's "What an interruption leaves": the real upgrader
// on simulated routers, killed (SIGKILL, then a power cycle) or its power cut at every shell
// command and at a deterministic sample of its system calls, and failed with ENOSPC and EIO; the
// next run must upgrade, and nothing may go or stay but what a clean run allows. Faults come from
// Debian's strace around the driver process (the driver carries nothing for testing). The campaign
// runs in three steps: calibrate (one clean run under strace, its calls labelled with the phases
// of the golden run, tests/golden/e7_run.txt), points (each on a device of its own, then the
// error runs), report (each broken point, and the table; --readme FILE fails when FILE's table
// differs, --update rewrites it).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cleanup/cleanup_stages.h"
#include "driver/exits.h"
#include "sim/host/device.h"
#include "sim/host/log_lines.h"
#include "sim/host/router_profile.h"
#include "tests/driver/golden_run.h"
#include "tests/support/upgrade_files.h"
#include "tests/support/upgrader_install.h"

namespace qx::driver_test {
namespace {

using qx::sim::Device;
using qx::test::AddUpgrader;
using qx::test::CheckingValidatorBody;
using qx::test::MakeUpgradeFile;
using qx::test::UpgradeMembers;
using qx::test::UpgraderArgv;
namespace router = qx::sim::router;
namespace driver = qx::upgrader::driver;
namespace cleanup = qx::upgrader::cleanup;

constexpr const char kStrace[] = "/usr/bin/strace";
constexpr const char kHarness[] = "/harness";  // the matrix's own files, never compared
constexpr const char* const kUpgradePath = qx::test::kUpgradeFilePath;
constexpr const char* const kLog = router::kUpgradeLog;
constexpr const char kHistory[] = "an earlier upgrade's line";
constexpr std::uint64_t kKiB = 1024, kMiB = 1024 * kKiB, kRotated = 512 * kKiB;

// The device: files that each cleanup stage may remove, and a free space that makes the cleanup
// work. The main device has room again during stage 4; the deep one only after stage 6.
struct Removable {
  std::string path;
  std::uint64_t size;
  std::int64_t mtime;
  bool rotated;
};

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
  spec.files.push_back(
      {std::string("/lib/modules/") + router::kKernelRelease + "/kernel/net.ko", "", {}, 0644, {}});
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
std::set<std::string> Tree(const Device& device) {
  std::set<std::string> tree;
  for (const auto& [path, st] : qx::sim::DeviceTree(device, {kHarness})) {
    tree.insert(S_ISDIR(st.st_mode) ? path + "/" : path);
  }
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

// --- 1. Calibrate

// A phase of the run, as the golden run has it: its tag there ("E3.2"), and its label from the
// driver's exit table and the cleanup's stage numbers ("E3 stage 2").
struct Phase {
  std::string tag;
  std::string label;     // with the golden run's description
  int stage = 0;         // the cleanup stage; 0 outside the cleanup
  GoldenItem begins;     // the item that begins it
  bool reached = false;  // by the reference run; a phase it does not reach may be skipped
};

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

constexpr const char kClosingTag[] = "closing";

// A golden tag, "E<n>", "E<n>.<stage>" or "E<n>.closing", as a phase labelled from the driver's
// exit table and the cleanup's stage numbers; false when either does not know it.
bool LabelPhase(const std::string& tag, Phase& phase) {
  const std::size_t dot = tag.find('.');
  const std::string exit = tag.substr(0, dot),
                    part = dot == std::string::npos ? "" : tag.substr(dot + 1);
  const driver::ExitRow* row = nullptr;
  for (const driver::ExitRow& each : driver::kExits) row = exit == each.label ? &each : row;
  if (row == nullptr) return false;
  phase.label = row->label;
  if (part == kClosingTag) {
    phase.label += " closing";
  } else if (!part.empty()) {
    phase.stage = part.size() == 1 ? part[0] - '0' : 0;  // anything but a digit is out of range
    if (row->exit != driver::Exit::kCleanupFailed || phase.stage < cleanup::kStage1TrimLogs ||
        phase.stage > cleanup::kStage6SystemLogs) {
      return false;
    }
    phase.label += " stage " + std::to_string(phase.stage);
  }
  return true;
}

// The golden run's phases, checked against the driver's exits and the cleanup's stages.
bool RunPhases(std::vector<Phase>& phases, std::string& error) {
  const GoldenRun& golden = Golden();
  if (!golden.error.empty()) {
    error = golden.error;
    return false;
  }
  for (const GoldenPhase& declared : golden.phases) {
    Phase phase;
    phase.tag = declared.label;
    if (!LabelPhase(declared.label, phase)) {
      error = "the golden run's phase " + declared.label + " is no exit or cleanup stage";
      return false;
    }
    phase.label += ": " + declared.description;
    const auto first =
        std::find_if(golden.items.begin(), golden.items.end(),
                     [&](const GoldenItem& item) { return item.phase == phase.tag; });
    phase.reached = first != golden.items.end();
    phase.begins = phase.reached ? *first : declared.begins;
    if (phase.begins.kind.empty()) {
      error = "the golden run's phase " + phase.tag + " has no item that begins it";
      return false;
    }
    phases.push_back(phase);
  }
  return !phases.empty();
}

// The phases whose points run on the deep device: the cleanup stages that only it reaches.
bool DeepPhase(const Phase& phase) {
  return phase.stage == cleanup::kStage5ExtraFiles || phase.stage == cleanup::kStage6SystemLogs;
}

// One clean run under strace, its calls labelled with their phases. A phase begins at the call
// that makes its first item in the golden run (a shell command spawned, a log line written).
bool Calibrate(bool deep, const std::vector<Phase>& phases, Calibration& out, std::string& error) {
  std::unique_ptr<Device> device = MakeDevice(deep, error);
  if (device == nullptr) return false;
  const std::set<std::string> before = Tree(*device);
  const std::string file = std::string(kHarness) + "/calibration";
  // -y: a write names its file, so the log's lines are told from the extraction's data.
  const qx::sim::RunResult run = device->Run(StraceArgv({"-o", file, "-y", "-s", "4096"}));
  std::string text;
  if (!run.exited || run.exit_status != 1 || !device->ReadFile(file, text)) {
    error = "the calibration run did not upgrade: " + run.output;
    return false;
  }
  TranscriptReader reader(run.trace);
  std::map<std::string, int> counts;
  std::size_t phase = 0, next = 0;  // the current phase, and the next that has not begun
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t paren = line.find('(');
    if (paren == std::string::npos || Starts(line, "---") || Starts(line, "+++")) continue;
    const std::string name = line.substr(0, paren);
    const std::vector<GoldenItem> items = reader.Read(line);
    if (!items.empty() && items[0].kind == kCommandItem) out.spawn = name;
    if (out.first == 0 && Has(line, "\"/etc/qx-upgrader.lock\"")) out.first = out.calls.size();
    // The next phase that this call begins; phases the reference run does not reach may be
    // passed over, the others may not.
    for (std::size_t p = next; p < phases.size(); ++p) {
      bool begins = false;
      for (const GoldenItem& item : items) {
        begins = begins || (item.kind == phases[p].begins.kind &&
                            GoldenMatches(phases[p].begins.text, item.text));
      }
      if (begins) {
        phase = p;
        next = p + 1;
        break;
      }
      if (phases[p].reached) break;
    }
    out.calls.push_back({name, line, ++counts[name], phase});
  }
  if (reader.commands_read() != run.trace.size() || out.first == 0) {
    error = "the calibration trace does not match the run's commands";
    return false;
  }
  for (std::size_t p = next; p < phases.size(); ++p) {
    if (phases[p].reached) {
      error = "the calibration run never began phase " + phases[p].tag + " of the golden run";
      return false;
    }
  }
  const std::set<std::string> after = Tree(*device);
  for (const Removable& removable : Removables(deep)) {
    out.clean_rotated_removed += removable.rotated && after.count(removable.path) == 0 ? 1 : 0;
  }
  if (before.size() <= after.size()) error = "the clean run removed nothing";
  return before.size() > after.size();
}

// --- 2. Points: each interrupts a run on a device of its own, and the next run must upgrade
// and leave nothing behind; then the error runs, each failing one call.

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

// Points: every shell command, and `budget` of the driver's own calls (nothing of the driver runs
// while a command does) spread over the phases: an equal share each (all of a phase's calls when
// it has fewer), taken evenly through the phase. Each point once with a kill, once with a cut.
std::vector<Point> ChoosePoints(const Calibration& calibration, const std::vector<Phase>& phases,
                                bool deep, std::size_t budget) {
  static const std::set<std::string> kSampled = {
      "read",       "write", "openat", "unlink", "rename", "statfs",   "newfstatat",     "lseek",
      "getdents64", "close", "sync",   "flock",  "fchmod", "unlinkat", "clock_nanosleep"};
  std::vector<Point> points;
  const std::size_t phase_count = phases.size();
  std::vector<std::vector<const Call*>> by_phase(phase_count);
  for (std::size_t i = calibration.first; i < calibration.calls.size(); ++i) {
    const Call& call = calibration.calls[i];
    if (deep != DeepPhase(phases[call.phase])) continue;
    if (call.name == calibration.spawn) {
      points.push_back({call.name, call.occurrence, call.phase, deep, Cut::kKill});
    } else if (kSampled.count(call.name) != 0) {
      by_phase[call.phase].push_back(&call);
    }
  }
  std::vector<std::size_t> share(phase_count, 0);
  for (bool grew = true; grew && budget > 0;) {
    grew = false;
    for (std::size_t p = 0; p < phase_count && budget > 0; ++p) {
      if (share[p] < by_phase[p].size()) {
        ++share[p];
        --budget;
        grew = true;
      }
    }
  }
  for (std::size_t p = 0; p < phase_count; ++p) {
    for (std::size_t j = 0; j < share[p]; ++j) {
      const Call& call = *by_phase[p][(2 * j + 1) * by_phase[p].size() / (2 * share[p])];
      points.push_back({call.name, call.occurrence, call.phase, deep, Cut::kKill});
    }
  }
  const std::size_t kills = points.size();
  for (std::size_t i = 0; i < kills; ++i) {
    points.push_back(points[i]);
    points.back().cut = Cut::kPower;
  }
  return points;
}

// The interrupted run and the power cycle; false (with why) when the point was not reached.
bool Interrupt(Device& device, const Point& point, std::string& why) {
  const std::string output = std::string(kHarness) + "/strace";
  std::string command;
  for (const std::string& word :
       StraceArgv({"-o", point.cut == Cut::kKill ? "/dev/null" : output, "-e",
                   "trace=" + point.syscall, "-e",
                   "inject=" + point.syscall +
                       (point.cut == Cut::kKill ? ":signal=SIGKILL" : ":signal=SIGSTOP") +
                       ":when=" + std::to_string(point.occurrence)})) {
    command += word + " ";
  }
  // A killed driver ends strace with status 137; a stopped one (right after the call) stays there
  // until the power goes.
  const std::string script =
      point.cut == Cut::kKill
          ? command + ">/dev/null 2>&1; echo $?"
          : command + ">/dev/null 2>&1 & s=$!\nuntil grep -q 'stopped by SIGSTOP' " + output +
                " 2>/dev/null; do\n  grep -q '^State:.*Z' /proc/$s/status && exit\n"
                "  usleep 1000\ndone\necho 137";
  const qx::sim::RunResult run = device.Run({"/bin/busybox", "sh", "-c", script});
  if (!run.exited || run.output != "137\n") {
    why = "the point was not reached (" + run.output + run.error + ")";
    return false;
  }
  return device.PowerCycle(&why);
}

std::vector<std::string> LastRun(const std::vector<std::string>& log) {
  const auto banner = std::find(log.rbegin(), log.rend(), router::kBannerLine);
  return banner == log.rend() ? std::vector<std::string>()
                              : std::vector<std::string>(banner.base() - 1, log.end());
}

Outcome RunPoint(const Point& point, const Calibration& calibration) {
  Outcome o;
  const auto fail = [&o](const std::string& what) { o.failures.push_back(what); };
  std::string error;
  std::unique_ptr<Device> device = MakeDevice(point.deep, error);
  const std::set<std::string> before = device != nullptr ? Tree(*device) : std::set<std::string>();
  if (device == nullptr || !Interrupt(*device, point, error)) {
    fail(error);
    return o;
  }
  const std::set<std::string> cut = Tree(*device);
  o.seen |= cut.count(router::kStartedMarker) != 0 ? kLeftMarker : 0;
  o.seen |= cut.count(kLog) == 0 ? kLeftNoLog : 0;
  for (const char* path : {"/tmp/fs-validator", "/tmp/kernel_image", "/tmp/filesystem.db"}) {
    o.seen |= cut.count(path) != 0 ? kLeftStaging : 0;
  }
  for (const Removable& removable : Removables(point.deep)) {
    o.seen |= cut.count(removable.path) == 0 ? kLeftRemovals | kNextFinishes : 0;
  }
  o.seen |= (o.seen & kLeftMarker) != 0 ? kNextMarker : 0;

  // The next upgrade, with a fresh copy of the same file.
  if (!device->WriteFile({kUpgradePath, UpgradeFile(), {}, 0644, {}})) fail("no fresh copy");
  const qx::sim::RunResult second = device->Run(UpgraderArgv({Device::kWatchdogProgram}));
  std::string text, kernel;
  (void)device->ReadFile(kLog, text);
  const std::vector<std::string> log = router::LogLines(text);
  const std::vector<std::string> last = LastRun(log);
  const auto logged = [&last](const std::string& line) {
    return std::find(last.begin(), last.end(), line) != last.end();
  };
  if (!second.exited || second.exit_status != 1 ||
      router::FinalLine(last) != router::kUpgradedLine) {
    fail("the next run did not upgrade");
  }
  if (!logged("Running cleanup to allow for upgrade") ||
      !logged("Upgrade file size " + std::to_string(UpgradeFile().size() - 6 * 128))) {
    fail("the next run's log is not complete");
  }
  if (!device->ReadFile(router::kStagedKernel, kernel) || kernel != KernelImage()) {
    fail("the staged kernel image is not the upgrade's");
  }
  for (const std::string& line : last)
    o.seen |= Starts(line, "Removed stale file ") ? kNextStale : 0;
  o.seen |= std::find(log.begin(), log.end(), kHistory) == log.end() ? kLostHistory : 0;

  // Over both runs: only what the cleanup names went (besides the watchdog program, which every
  // run deletes, and the daemon's disabled name, which the closing restores), no more rotated logs
  // than one clean run, and nothing of the driver's own stayed.
  const std::set<std::string> after = Tree(*device);
  std::set<std::string> may_go = {Device::kWatchdogProgram, "/usr/sbin/qxsshd.disabled",
                                  "/lib/modules/2.6.35.3-00108-g29117d2/",
                                  "/lib/modules/2.6.35.3-00108-g29117d2/kernel/"};
  std::size_t rotated_gone = 0;
  for (const Removable& removable : Removables(point.deep)) {
    may_go.insert(removable.path);
    rotated_gone += removable.rotated && after.count(removable.path) == 0 ? 1 : 0;
  }
  for (const std::string& path : before) {
    if (after.count(path) == 0 && may_go.count(path) == 0) fail("removed: " + path);
  }
  for (const std::string& path : after) {
    // The run claim's file stays on purpose: only the lock on it claims, and that dies with
    // the process.
    if (before.count(path) == 0 && path != "/usr/sbin/qxsshd" && path != "/etc/qx-upgrader.lock") {
      fail("left behind: " + path);
    }
  }
  if (rotated_gone > calibration.clean_rotated_removed) {
    fail(std::to_string(rotated_gone) + " rotated logs removed, one clean run removes " +
         std::to_string(calibration.clean_rotated_removed));
  }
  const qx::sim::RunResult beneath =
      device->Run({"/bin/busybox", "sh", "-c",
                   "while [ \"$(stat -c %d /tmp/ramdisk)\" != \"$(stat -c %d /tmp)\" ]; do\n"
                   "  umount -l /tmp/ramdisk || exit 1\ndone\nls -A /tmp/ramdisk"});
  if (!beneath.exited || beneath.exit_status != 0 || !beneath.output.empty()) {
    fail("hidden beneath the ramdisk: " + beneath.output);
  }
  return o;
}

// Failures without a kill: the first call of a kind (its name, phase and a text of its line;
// strace -y: "<PATH>" names a descriptor's file) fails with the error; the run must reach the exit
// that implies, and the reboot.
struct ErrnoCase {
  const char* kind;
  const char* syscall;
  const char* phase;  // its tag in the golden run; "": any
  const char* after;  // a text that an earlier call of the phase holds; "": none
  const char* argument;
  int exit_status;
  const char* last_line;  // "%s": the error's text
};

const ErrnoCase kErrnoCases[] = {
    {"log append", "write", "E1", "", "</tmp/ramdisk/upgrade_log>", 1, router::kUpgradedLine},
    {"upgrade file read (parse)", "read", "", "", "</tmp/ramdisk/ud", 0,
     "Unable to parse file: Unable to read header bytes"},
    {"upgrade file read (extraction)", "read", "E5", "\"/tmp/fs-validator\"", "</tmp/ramdisk/ud", 1,
     "Unable to extract files: Error reading internal file to extract"},
    {"extraction write", "write", "E5", "", "</tmp/fs-validator>", 1,
     "Unable to extract files: Unable to write extraction file /tmp/fs-validator: error: %s"},
    {"kernel banner read", "read", "E3.3", "", "", 1, router::kUpgradedLine},
    {"static-list unlink", "unlink", "E3.2", "", "/etc/dsl", 1, router::kUpgradedLine},
    {"rotated-log unlink", "unlink", "E3.4", "", "", 0, "Unable to sufficiently cleanup the OS"},
    {"extraction path unlink", "unlink", "E5", "", "\"/tmp/fs-validator\"", 1,
     router::kUpgradedLine},
    {"upgrade file unlink", "unlink", "E5", "", "\"/tmp/ramdisk//ud", 1, router::kUpgradedLine},
    {"daemon restore rename", "rename", "E7.closing", "", "", 1, router::kUpgradedLine},
    {"watchdog program unlink", "unlink", "E7.closing", "", "/tmp/wdprog", 1,
     router::kUpgradedLine},
};

// The first call of the case's kind in its phase, after a call holding `after`.
const Call* FindCall(const ErrnoCase& c, const Calibration& calibration,
                     const std::vector<Phase>& phases) {
  bool after = *c.after == '\0';
  for (std::size_t i = calibration.first; i < calibration.calls.size(); ++i) {
    const Call& call = calibration.calls[i];
    if (*c.phase != '\0' && phases[call.phase].tag != c.phase) continue;
    if (after && call.name == c.syscall && Has(call.line, c.argument)) return &call;
    after = after || Has(call.line, c.after);
  }
  return nullptr;
}

std::vector<std::string> RunErrnoCase(const ErrnoCase& c, const char* error_name, int error,
                                      const Calibration& calibration,
                                      const std::vector<Phase>& phases) {
  const Call* call = FindCall(c, calibration, phases);
  std::string why;
  std::unique_ptr<Device> device = MakeDevice(false, why);
  if (call == nullptr || device == nullptr) return {"no such call, or " + why};
  const qx::sim::RunResult run =
      device->Run(StraceArgv({"-o", "/dev/null", "-e", std::string("trace=") + c.syscall, "-e",
                              std::string("inject=") + c.syscall + ":error=" + error_name +
                                  ":when=" + std::to_string(call->occurrence)}));
  std::string expected = c.last_line, text;
  if (expected.find("%s") != std::string::npos) {
    expected.replace(expected.find("%s"), 2, std::strerror(error));
  }
  (void)device->ReadFile(kLog, text);
  const std::vector<std::string> log = router::LogLines(text);
  std::vector<std::string> failures;
  if (!run.exited || run.exit_status != c.exit_status) {
    failures.push_back("exit status " + std::to_string(run.exit_status));
  }
  if (router::FinalLine(log) != expected) failures.push_back("last line: " + text);
  if (device->SettledRebootRecords() != std::vector<std::string>{router::kRebootCommand}) {
    failures.push_back("no reboot");
  }
  return failures;
}

// Parallel devices: forked workers (each creates its devices single-threaded) send one line per
// point: its index, what it saw, and its failures, tab-separated.
std::map<std::size_t, Outcome> RunAll(const std::vector<Point>& points,
                                      const Calibration* calibrations, int jobs) {
  std::vector<std::pair<pid_t, FILE*>> workers;
  for (int w = 0; w < jobs; ++w) {
    int fds[2];
    if (::pipe(fds) != 0) break;
    const pid_t pid = ::fork();
    if (pid == 0) {
      FILE* out = ::fdopen(fds[1], "w");
      for (std::size_t i = static_cast<std::size_t>(w); i < points.size(); i += jobs) {
        const Outcome o = RunPoint(points[i], calibrations[points[i].deep]);
        std::string line = std::to_string(i) + "\t" + std::to_string(o.seen);
        for (const std::string& failure : o.failures) line += "\t" + failure;
        std::replace(line.begin(), line.end(), '\n', ' ');
        std::fprintf(out, "%s\n", line.c_str());
        std::fflush(out);
      }
      ::_exit(0);
    }
    ::close(fds[1]);
    workers.push_back({pid, ::fdopen(fds[0], "r")});
  }
  std::map<std::size_t, Outcome> outcomes;
  for (auto& [pid, in] : workers) {
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, in) != nullptr) {
      std::istringstream fields(std::string(buffer, std::strcspn(buffer, "\n")));
      std::string index, seen;
      std::getline(fields, index, '\t');
      std::getline(fields, seen, '\t');
      Outcome& o = outcomes[std::stoul(index)];
      o.seen = std::stoi(seen);
      for (std::string failure; std::getline(fields, failure, '\t');) o.failures.push_back(failure);
    }
    std::fclose(in);
    ::waitpid(pid, nullptr, 0);
  }
  return outcomes;
}

// --- 3. Report

std::string Name(const Point& p, const std::vector<Phase>& phases) {
  return std::string(p.cut == Cut::kKill ? "SIGKILL" : "power cut") + " at " + p.syscall + " #" +
         std::to_string(p.occurrence) + (p.deep ? " (deep device)" : "") + " in " +
         phases[p.phase].label;
}

std::string Table(const std::vector<Point>& points, const std::vector<Phase>& phases,
                  const std::map<std::size_t, Outcome>& done) {
  const struct {
    int column, bit;
    const char* text;
  } kCells[] = {
      {0, kLeftMarker, "the upgrade-started marker"},
      {0, kLeftStaging, "staging files under /tmp/, whole or cut short"},
      {0, kLeftRemovals, "what the cleanup removed so far"},
      {0, kLeftNoLog, "no /var/log/upgrade_log: the log was in the ramdisk"},
      {1, kNextStale, "removes the staging files before its cleanup measures"},
      {1, kNextFinishes, "its cleanup removes only what is still needed"},
      {1, kNextMarker, "clears the marker when the validator passes"},
      {2, kLostHistory, "the upgrade log with its history (kept in the ramdisk, lost with it)"}};
  const char* const kNothing[] = {"nothing of the run's", "a normal upgrade", "nothing"};
  std::vector<int> count(phases.size(), 0), seen(phases.size(), 0);
  for (const auto& [index, o] : done) {
    ++count[points[index].phase];
    seen[points[index].phase] |= o.seen;
  }
  std::string table =
      "| Phase | Points | Can be left on the root file system | What the next run does | Can be "
      "lost |\n|---|---|---|---|---|\n";
  for (std::size_t p = 0; p < phases.size(); ++p) {
    if (count[p] == 0) continue;
    table += "| " + phases[p].label + " | " + std::to_string(count[p]);
    for (int column = 0; column < 3; ++column) {
      std::string cell;
      for (const auto& each : kCells) {
        if (each.column == column && (seen[p] & each.bit) != 0) {
          cell += (cell.empty() ? "" : "; ") + std::string(each.text);
        }
      }
      table += " | " + (cell.empty() ? kNothing[column] : cell);
    }
    table += " |\n";
  }
  return table;
}

// Compares README's table (between the markers) with the matrix's, or writes it there.
bool MatchReadme(const std::string& readme, const std::string& table, bool update) {
  static const std::string kBegin = "<!-- interruption table: begin -->\n";
  std::stringstream content;
  content << std::ifstream(readme).rdbuf();
  std::string text = content.str();
  const std::size_t begin = text.find(kBegin), end = text.find("<!-- interruption table: end");
  if (begin == std::string::npos || end == std::string::npos || end < begin) return false;
  const std::size_t start = begin + kBegin.size();
  if (text.compare(start, end - start, table) == 0) return true;
  if (!update) return false;
  std::ofstream(readme) << text.replace(start, end - start, table);
  return true;
}

int Main(int argc, char** argv) {
  // The runs mostly wait (the driver's pause, its commands): more jobs than the cores.
  const int jobs = 6;
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
  for (const ErrnoCase& c : kErrnoCases) {
    for (const auto& [name, value] :
         {std::pair<const char*, int>{"ENOSPC", ENOSPC}, {"EIO", EIO}}) {
      for (const std::string& failure : RunErrnoCase(c, name, value, calibrations[0], phases)) {
        std::printf("FAILED %s on the %s: %s\n", name, c.kind, failure.c_str());
        ++failed;
      }
    }
  }
  // Report.
  const std::string table = Table(points, phases, done);
  std::printf("%s", table.c_str());
  if (!MatchReadme(readme, table, update)) {
    std::printf("FAILED: the table in %s is not the matrix's (--update writes it)\n",
                readme.c_str());
    ++failed;
  }
  std::printf("driver_fault_matrix: %zu interruption points, %zu error runs, %d failures, %.0f s\n",
              points.size(), 2 * std::size(kErrnoCases), failed,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qx::driver_test

int main(int argc, char** argv) { return qx::driver_test::Main(argc, argv); }
