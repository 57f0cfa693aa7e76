// The upgrade log as the harness reads it back: its lines without their time stamps, the part
// the last run wrote, and the final word of a run (the validator's verdict, when it ran).
#ifndef QX_SIM_HOST_LOG_LINES_H_
#define QX_SIM_HOST_LOG_LINES_H_

#include <string>
#include <vector>

namespace qx::sim::router {

// The log's lines in order, time stamps removed (continuation lines kept as they are).
std::vector<std::string> LogLines(const std::string& log);

// The lines of the last run: from its banner line on; none when no run began.
std::vector<std::string> LastRunLines(const std::vector<std::string>& lines);

// The last line that is not empty: a run's final word ("" when there is none).
std::string FinalLine(const std::vector<std::string>& lines);

enum class Verdict { kNone, kUpgraded, kValidationFailed };

// What a line says of the validator: kNone unless it is one of the verdict lines.
Verdict VerdictOf(const std::string& line);

}  // namespace qx::sim::router

#endif  // QX_SIM_HOST_LOG_LINES_H_
