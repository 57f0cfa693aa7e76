// The upgrade log as the harness reads it back: its lines without their time stamps, and the
// final word of a run (the validator's verdict, when it ran). Shared by device-sim's report and
// the tests and benchmarks that judge a run.
#ifndef QX_SIM_HOST_LOG_LINES_H_
#define QX_SIM_HOST_LOG_LINES_H_

#include <string>
#include <vector>

namespace qx::sim::router {

// The log's lines in order, time stamps removed (continuation lines kept as they are).
std::vector<std::string> LogLines(const std::string& log);

// The last line that is not empty: a run's final word ("" when there is none).
std::string FinalLine(const std::vector<std::string>& lines);

enum class Verdict { kNone, kUpgraded, kValidationFailed };

// What a line says of the validator: kNone unless it is one of the verdict lines.
Verdict VerdictOf(const std::string& line);

}  // namespace qx::sim::router

#endif  // QX_SIM_HOST_LOG_LINES_H_
