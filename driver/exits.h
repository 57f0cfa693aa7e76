// The seven ways a run ends, in the order the run can reach them. Each exit has its label (the
// name the upgrade log's readers and the test transcripts use) and its closing: an early exit
// (nothing extracted) returns status 0, a late one (extraction attempted) returns 1. Everything
// here is a compile-time constant: the labels cost the binary nothing unless something prints
// them.
#ifndef QX_DRIVER_EXITS_H_
#define QX_DRIVER_EXITS_H_

#include <cstddef>

namespace qx::upgrader::driver {

enum class Exit {
  kNoWatchdog,     // E1: no watchdog argument
  kWrongBoard,     // E2: the board gate failed
  kCleanupFailed,  // E3: the cleanup could not make room
  kNotFound,       // E4: no upgrade file in the ramdisk
  kParseFailed,    // E5: the upgrade file did not parse
  kExtractFailed,  // E6: an extraction failed
  kValidated,      // E7: the validator ran, whatever its verdict
};

enum class Closing { kEarly, kLate };

// The process's exit status of a closing.
constexpr int ExitStatus(Closing closing) { return closing == Closing::kLate ? 1 : 0; }

struct ExitRow {
  Exit exit;
  const char* label;
  Closing closing;
};

inline constexpr ExitRow kExits[] = {
    {Exit::kNoWatchdog, "E1", Closing::kEarly},    {Exit::kWrongBoard, "E2", Closing::kEarly},
    {Exit::kCleanupFailed, "E3", Closing::kEarly}, {Exit::kNotFound, "E4", Closing::kEarly},
    {Exit::kParseFailed, "E5", Closing::kEarly},   {Exit::kExtractFailed, "E6", Closing::kLate},
    {Exit::kValidated, "E7", Closing::kLate},
};

constexpr const ExitRow& ExitOf(Exit exit) { return kExits[static_cast<std::size_t>(exit)]; }

// ExitOf indexes the table by the enumeration: one row per exit, in its order.
constexpr bool RowsInOrder() {
  std::size_t index = 0;
  for (const ExitRow& row : kExits) {
    if (static_cast<std::size_t>(row.exit) != index++) return false;
  }
  return index == static_cast<std::size_t>(Exit::kValidated) + 1;
}
static_assert(RowsInOrder(), "one row per exit, in the order of the enumeration");

}  // namespace qx::upgrader::driver

#endif  // QX_DRIVER_EXITS_H_
