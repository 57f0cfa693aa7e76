// The reference run, tests/golden/e7_run.txt: a validated upgrade (exit E7) on the router that the
// end-to-end fixture builds by default, as its shell commands and log lines in the order the run
// made them, each tagged with the phase of the run it belongs to. The end-to-end tests compare
// whole runs with it; the fault matrix takes the run's phases from it. The file is written by a
// run (tests/golden/regenerate.sh), never by hand, except for its header.
#ifndef QX_TESTS_DRIVER_GOLDEN_RUN_H_
#define QX_TESTS_DRIVER_GOLDEN_RUN_H_

#include <cstdint>
#include <string>
#include <vector>

namespace qx::driver_test {

constexpr const char kCommandItem[] = "command";
constexpr const char kLogItem[] = "log";

struct GoldenItem {
  std::string phase;  // "E2", "E3.2" (exit E3's cleanup, stage 2), "E7.closing"
  std::string kind;   // kCommandItem or kLogItem
  std::string text;   // may hold placeholders (GoldenMatches)
};

struct GoldenPhase {
  std::string label;
  std::string description;
  GoldenItem begins;  // for a phase the reference run does not reach: the item that begins it
};

struct GoldenRun {
  std::vector<GoldenPhase> phases;  // in the order of the run
  std::vector<GoldenItem> items;
  std::string error;  // why the file could not be read; empty when it was
};

// The file that QX_GOLDEN_RUN names, read once.
const GoldenRun& Golden();

// The texts of the items of `kind` in `phases` (every phase when empty), in order.
std::vector<std::string> GoldenTexts(const char* kind, const std::vector<std::string>& phases = {});

// True when text is pattern with each placeholder ("<bytes>", "<T>", ...) standing for a run of
// decimal digits.
bool GoldenMatches(const std::string& pattern, const std::string& text);

// The pattern with the sweep's windows of a run at `now` put in: <T> the thousand-second window,
// <T-1> and <T+1> its neighbours.
std::string WithSweepWindows(std::string pattern, std::uint32_t now);

// The inverse, for writing the file: a run's command or log line with its time- and
// device-dependent parts replaced by placeholders.
std::string GoldenPattern(const std::string& kind, std::string text, std::uint32_t now);

// The items that one line of strace's output of the driver (-y, with clone, clone3, vfork and
// write traced) begins: the shell command a spawn runs (the next of `commands`, the simulator's
// trace of the run), or the lines a write to the upgrade log adds. Empty for any other line.
class TranscriptReader {
 public:
  explicit TranscriptReader(std::vector<std::string> commands) : commands_(std::move(commands)) {}
  std::vector<GoldenItem> Read(const std::string& line);
  std::size_t commands_read() const { return next_command_; }

 private:
  std::vector<std::string> commands_;
  std::size_t next_command_ = 0;
};

}  // namespace qx::driver_test

#endif  // QX_TESTS_DRIVER_GOLDEN_RUN_H_
