// Points and error runs: each point interrupts a run on a device of its own, and the next run
// must upgrade and leave nothing behind; each error run fails one call and must reach the exit
// that the failure implies, and the reboot.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "tests/driver/fault_matrix.h"
#include "tests/driver/upgrade_run.h"

namespace qx::driver_test::matrix {

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

namespace {

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
  const auto banner = std::find(log.rbegin(), log.rend(), "Upg: V0.0.5: Beginning upgrade");
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
  o.seen |= cut.count("/etc/upgrade_started") != 0 ? kLeftMarker : 0;
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
  const std::vector<std::string> log = LogLines(text);
  const std::vector<std::string> last = LastRun(log);
  const auto logged = [&last](const std::string& line) {
    return std::find(last.begin(), last.end(), line) != last.end();
  };
  if (!second.exited || second.exit_status != 1 || last.size() < 2 ||
      last.end()[-2] != "Successfully upgraded firmware") {
    fail("the next run did not upgrade");
  }
  if (!logged("Running cleanup to allow for upgrade") ||
      !logged("Upgrade file size " + std::to_string(UpgradeFile().size() - 6 * 128))) {
    fail("the next run's log is not complete");
  }
  if (!device->ReadFile("/tmp/ramdisk/kernel_image", kernel) || kernel != KernelImage()) {
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

// Failures without a kill: the first call of a kind (its name, phase and a text of its line)
// fails with the error; the run must reach the exit that implies, and the reboot.
struct ErrnoCase {
  const char* kind;
  const char* syscall;
  const char* phase;  // its tag in the golden run; "": any
  const char* after;  // a text that an earlier call of the phase holds; "": none
  const char*
      argument;  // a text of the call's line (strace -y: "<PATH>" names a descriptor's file)
  int exit_status;
  const char* last_line;  // "%s": the error's text
};

const ErrnoCase kErrnoCases[] = {
    {"log append", "write", "E1", "", "</tmp/ramdisk/upgrade_log>", 1,
     "Successfully upgraded firmware"},
    {"upgrade file read (parse)", "read", "", "", "</tmp/ramdisk/ud", 0,
     "Unable to parse file: Unable to read header bytes"},
    {"upgrade file read (extraction)", "read", "E5", "\"/tmp/fs-validator\"", "</tmp/ramdisk/ud", 1,
     "Unable to extract files: Error reading internal file to extract"},
    {"extraction write", "write", "E5", "", "</tmp/fs-validator>", 1,
     "Unable to extract files: Unable to write extraction file /tmp/fs-validator: error: %s"},
    {"kernel banner read", "read", "E3.3", "", "", 1, "Successfully upgraded firmware"},
    {"static-list unlink", "unlink", "E3.2", "", "/etc/dsl", 1, "Successfully upgraded firmware"},
    {"rotated-log unlink", "unlink", "E3.4", "", "", 0, "Unable to sufficiently cleanup the OS"},
    {"extraction path unlink", "unlink", "E5", "", "\"/tmp/fs-validator\"", 1,
     "Successfully upgraded firmware"},
    {"upgrade file unlink", "unlink", "E5", "", "\"/tmp/ramdisk//ud", 1,
     "Successfully upgraded firmware"},
    {"daemon restore rename", "rename", "E7.closing", "", "", 1, "Successfully upgraded firmware"},
    {"watchdog program unlink", "unlink", "E7.closing", "", "/tmp/wdprog", 1,
     "Successfully upgraded firmware"},
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
  std::vector<std::string> log = LogLines(text);
  while (!log.empty() && log.back().empty()) log.pop_back();
  std::vector<std::string> failures;
  if (!run.exited || run.exit_status != c.exit_status) {
    failures.push_back("exit status " + std::to_string(run.exit_status));
  }
  if (log.empty() || log.back() != expected) failures.push_back("last line: " + text);
  if (SettledRebootRecords(*device) != std::vector<std::string>{"watchdog /dev/watchdog -T 5"}) {
    failures.push_back("no reboot");
  }
  return failures;
}

}  // namespace

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

int RunErrorCases(const Calibration& calibration, const std::vector<Phase>& phases,
                  std::size_t& runs) {
  int failed = 0;
  for (const ErrnoCase& c : kErrnoCases) {
    for (const auto& [name, value] :
         {std::pair<const char*, int>{"ENOSPC", ENOSPC}, {"EIO", EIO}}) {
      ++runs;
      for (const std::string& failure : RunErrnoCase(c, name, value, calibration, phases)) {
        std::printf("FAILED %s on the %s: %s\n", name, c.kind, failure.c_str());
        ++failed;
      }
    }
  }
  return failed;
}

}  // namespace qx::driver_test::matrix
